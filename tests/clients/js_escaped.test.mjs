// The JavaScript client sends a command with quotes, backslashes, a line feed and text
// beyond ASCII, and the shell must get it exactly (ESCAPED_COMMAND and ESCAPED_OUTPUT come
// from tests/blackbox/test_clients.py). Needs the server to decode the "cmd" field as a
// JSON string.
import { test } from 'node:test';
import assert from 'node:assert/strict';
import { Terox } from 'cindervox';

const terox = new Terox({ url: process.env.CINDERVOX_URL, auth: { user: 'terox', pass: 'wickerpod' } });

test('escaped command round trips', async () => {
    await terox.call('POST', '/api/profile', { profile: 1 });
    const result = await terox.exec(process.env.ESCAPED_COMMAND);
    assert.equal(result.stdout, process.env.ESCAPED_OUTPUT);
});

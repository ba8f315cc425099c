// The JavaScript client's requests, without a server: a fetch of the test's own records what
// each method sends and answers what the test gives it, so every field a method takes is seen
// on the wire exactly as the server will read it, and every field of the answer is seen
// where the method returns it.
import { test } from 'node:test';
import assert from 'node:assert/strict';
import { Terox, SandboxError } from 'cindervox';

function recording(answer) {
    const sent = [];
    const fetch = async (url, init) => {
        sent.push({ url, method: init.method, headers: init.headers, body: init.body === undefined ? undefined : JSON.parse(init.body) });
        const { status = 200, json } = typeof answer === 'function' ? answer(sent.at(-1)) : answer;
        return new Response(JSON.stringify(json), { status, headers: { 'Content-Type': 'application/json' } });
    };
    const terox = new Terox({ url: 'http://sandbox.test:7575', token: 't0k', agent: 'default-agent', fetch });
    return { terox, sent };
}

test('exec sends every field it is given, and bytes of stdin as base64', async () => {
    const { terox, sent } = recording({ json: { ok: true, stdout: 'o', stderr: 'e', exit_code: 0, duration_ms: 1 } });
    await terox.exec('make test', {
        agent: 'builder', cwd: 'src', env: { CI: '1', LANG: 'C.UTF-8' }, stdin: 'input\n', timeoutMs: 1500, mergeStderr: true,
        model: 'm', tokensIn: 3, tokensOut: 4,
    });
    assert.equal(sent[0].url, 'http://sandbox.test:7575/api/exec');
    assert.equal(sent[0].method, 'POST');
    assert.equal(sent[0].headers['X-Agent'], 'builder');
    assert.equal(sent[0].headers.Authorization, 'Bearer t0k');
    assert.deepEqual(sent[0].body, {
        cmd: 'make test', cwd: 'src', env: { CI: '1', LANG: 'C.UTF-8' }, stdin: 'input\n', timeout_ms: 1500, merge_stderr: true,
        model: 'm', tokens_in: 3, tokens_out: 4,
    });
    await terox.exec('wc -c', { stdin: new Uint8Array([0, 255, 10, 128]) });
    assert.deepEqual(sent[1].body, { cmd: 'wc -c', stdin: 'AP8KgA==', stdin_encoding: 'base64' });
    assert.equal(sent[1].headers['X-Agent'], 'default-agent');
    await terox.exec('cat', { stdin: 'aGk=', stdinEncoding: 'base64' });
    assert.deepEqual(sent[2].body, { cmd: 'cat', stdin: 'aGk=', stdin_encoding: 'base64' });
    await terox.exec('true');
    assert.deepEqual(sent[3].body, { cmd: 'true' });
});

test('exec returns both streams and says what was cut, killed or ignored', async () => {
    const answer = {
        ok: true, stdout: 'head\n[... 10 bytes omitted ...]\ntail', stderr: 'boom', exit_code: 159, duration_ms: 7,
        stdout_bytes: 3000000, stderr_bytes: 4, stdout_truncated: true, stderr_truncated: false, stdout_lossy: true,
        killed_by: 'seccomp', call: 'ptrace', ignored_fields: ['timeout'],
    };
    const { terox } = recording({ json: answer });
    const result = await terox.exec('x');
    assert.deepEqual({ ...result, raw: undefined }, {
        stdout: answer.stdout, stderr: 'boom', exitCode: 159, durationMs: 7, files: [], timedOut: false,
        stdoutBytes: 3000000, stderrBytes: 4, stdoutTruncated: true, stderrTruncated: false, stdoutLossy: true, stderrLossy: false,
        killedBy: 'seccomp', call: 'ptrace', ignoredFields: ['timeout'], raw: undefined,
    });
    assert.deepEqual(result.raw, answer);
});

test('write sends text or bytes, the mode as octal text and append', async () => {
    const { terox, sent } = recording({ json: { ok: true, path: '/tmp/run.sh', bytes_written: 3, size: 9 } });
    const written = await terox.write('/tmp/run.sh', 'ls\n', { agent: 'w', mode: 0o755, append: true });
    assert.deepEqual(sent[0].body, { path: '/tmp/run.sh', content: 'ls\n', mode: '0755', append: true });
    assert.equal(sent[0].url, 'http://sandbox.test:7575/api/write');
    assert.deepEqual(written, { path: '/tmp/run.sh', bytesWritten: 3, size: 9 });
    await terox.write('/tmp/bin', new Uint8Array([0x89, 0x50, 0x4e, 0x47]).buffer, { mode: '0600' });
    assert.deepEqual(sent[1].body, { path: '/tmp/bin', content: 'iVBORw==', encoding: 'base64', mode: '0600' });
    await terox.write('/tmp/empty', '');
    assert.deepEqual(sent[2].body, { path: '/tmp/empty', content: '' });
    await terox.write('/tmp/b64', 'aGk=', { encoding: 'base64' });
    assert.deepEqual(sent[3].body, { path: '/tmp/b64', content: 'aGk=', encoding: 'base64' });
});

test('read sends offset, length and encoding, and readBytes decodes the bytes', async () => {
    const { terox, sent } = recording(({ body }) => ({
        json: body.encoding === 'base64'
            ? { ok: true, path: body.path, size: 4, offset: 0, bytes: 4, encoding: 'base64', content: 'AP8KgA==', eof: true }
            : { ok: true, path: body.path, size: 100, offset: 10, bytes: 5, encoding: 'utf-8', content: 'ab\ufffdcd', eof: false, lossy: true },
    }));
    const part = await terox.read('/tmp/log', { offset: 10, length: 5, agent: 'r' });
    assert.deepEqual(sent[0].body, { path: '/tmp/log', offset: 10, length: 5 });
    assert.deepEqual(part, {
        path: '/tmp/log', size: 100, content: 'ab\ufffdcd', truncated: true, offset: 10, bytes: 5, encoding: 'utf-8', eof: false, lossy: true,
    });
    const bytes = await terox.readBytes('/tmp/bin');
    assert.deepEqual(sent[1].body, { path: '/tmp/bin', encoding: 'base64' });
    assert.deepEqual([...bytes], [0, 255, 10, 128]);
});

test('list, audit pages and the reset of one agent', async () => {
    const { terox, sent } = recording(({ url }) => ({
        json: url.includes('/api/list')
            ? { ok: true, path: '/tmp', entries: [{ name: 'src', type: 'dir', size: 60, mode: '0755', mtime: 5 }], count: 1, truncated: false }
            : url.endsWith('/profile')
                ? { ok: true, agent: 'a b/c', profile: 'strict', own: true }
            : url.includes('/api/agents/')
                ? { ok: true, agent: 'a b/c', runs_cancelled: 2 }
                : { entries: ['[1] [a b] EXEC OK "ls" exit=0 dur=1ms\n'], total: 9, matched: 3, returned: 1, offset: 2 },
    }));
    assert.deepEqual(await terox.list(), { path: '/tmp', entries: [{ name: 'src', type: 'dir', size: 60, mode: '0755', mtime: 5 }], count: 1, truncated: false });
    assert.deepEqual(sent[0].body, { path: '/tmp' });
    await terox.list('/tmp/src', { agent: 'l' });
    assert.deepEqual(sent[1].body, { path: '/tmp/src' });
    const page = await terox.auditPage('a b+c', { limit: 1, offset: 2, order: 'newest' });
    assert.equal(sent[2].url, 'http://sandbox.test:7575/api/audit?agent=a%20b%2Bc&limit=1&offset=2&order=newest');
    assert.equal(sent[2].method, 'GET');
    assert.deepEqual(page, { entries: ['[1] [a b] EXEC OK "ls" exit=0 dur=1ms\n'], total: 9, matched: 3, returned: 1, offset: 2 });
    assert.deepEqual(await terox.audit(), ['[1] [a b] EXEC OK "ls" exit=0 dur=1ms\n']);
    assert.equal(sent[3].url, 'http://sandbox.test:7575/api/audit');
    assert.deepEqual(await terox.resetAgent('a b/c'), { ok: true, agent: 'a b/c', runs_cancelled: 2 });
    assert.equal(sent[4].url, 'http://sandbox.test:7575/api/agents/a%20b%2Fc');
    assert.equal(sent[4].method, 'DELETE');
    assert.equal(sent[4].body, undefined);
    assert.equal((await terox.setAgentProfile('a b/c', 'strict')).own, true);
    assert.equal(sent[5].url, 'http://sandbox.test:7575/api/agents/a%20b%2Fc/profile');
    assert.equal(sent[5].method, 'POST');
    assert.deepEqual(sent[5].body, { profile: 'strict' });
    await terox.setAgentProfile('a b/c', null);
    assert.deepEqual(sent[6].body, { profile: null });
});

test('a refused field is a SandboxError with the server message', async () => {
    const { terox } = recording({ status: 400, json: { ok: false, error: 'env variable PATH is set by the server' } });
    await assert.rejects(terox.exec('ls', { env: { PATH: '/x' } }),
        err => err instanceof SandboxError && err.status === 400 && err.message === 'env variable PATH is set by the server');
});

// The JavaScript client, as installed from clients/js, against the server that
// tests/blackbox/test_clients.py started: run inside that server's network namespace with
// CINDERVOX_URL and CINDERVOX_TOKEN set. Node's own fetch does every request.
import { test } from 'node:test';
import assert from 'node:assert/strict';
import { Terox, SandboxError, PolicyRefused, RateLimited, AuthError } from 'cindervox';
import { pacedFetch } from './pace.mjs';

const URL = process.env.CINDERVOX_URL;
const TOKEN = process.env.CINDERVOX_TOKEN;
const auth = { user: 'terox', pass: 'wickerpod' };
const terox = new Terox({ url: URL, auth, fetch: pacedFetch });

async function rejection(promise) {
    try {
        await promise;
    } catch (err) {
        return err;
    }
    assert.fail('expected a rejection');
}

test('exec returns output, exit code and duration; reports see the run', async () => {
    const result = await terox.exec('echo hello', { agent: 'js-agent', model: 'gpt-x', tokensIn: 7, tokensOut: 5 });
    assert.equal(result.stdout, 'hello\n');
    assert.equal(result.exitCode, 0);
    assert.equal(Number.isInteger(result.durationMs), true);
    assert.deepEqual(result.files, []);
    assert.equal(result.timedOut, false);
    assert.equal((await terox.exec('ls /no-such-dir')).exitCode, 2);

    const health = await terox.health();
    assert.equal(health.status, 'ok');
    assert.equal(health.total_execs >= 2, true);
    const me = (await terox.agents()).find(a => a.name === 'js-agent');
    assert.equal(me.tokens_total, 12);
    assert.equal(me.model, 'gpt-x');
    const entries = await terox.audit('js-agent');
    assert.equal(entries.length, 1);
    assert.match(entries[0], /\[js-agent\] EXEC OK "echo hello" exit=0/);
    const policy = await terox.policy();
    assert.ok(policy.blacklist.includes('rm -rf /'));
});

test('token and default agent', async () => {
    const bot = new Terox({ url: URL + '/', token: TOKEN, agent: 'js-token-bot', fetch: pacedFetch });
    assert.equal((await bot.exec('echo t')).stdout, 't\n');
    const names = (await terox.agents()).map(a => a.name);
    assert.ok(names.includes('js-token-bot'), names.join());
});

test('write then read', async () => {
    await terox.call('POST', '/api/profile', { profile: 1 });
    const content = 'line 1\n "q" \\ \u00e9\n';
    const written = await terox.write('/tmp/js-note.txt', content, { agent: 'js-writer' });
    assert.deepEqual([written.path, written.bytesWritten], ['/tmp/js-note.txt', Buffer.byteLength(content)]);
    assert.equal((await terox.exec('cat /tmp/js-note.txt', { agent: 'js-writer' })).stdout, content);
    const read = await terox.read('/tmp/js-note.txt', { agent: 'js-writer' });
    assert.deepEqual([read.path, read.size, read.content, read.truncated], ['/tmp/js-note.txt', Buffer.byteLength(content), content, false]);
    await terox.call('POST', '/api/profile', { profile: 0 });
});

test('refusals reject with typed errors', async () => {
    const blocked = await rejection(terox.exec('rm -rf /', { agent: 'js-refused' }));
    assert.ok(blocked instanceof PolicyRefused && blocked instanceof SandboxError);
    assert.equal(blocked.message, 'command blocked by blacklist');
    assert.equal(blocked.status, 403);
    assert.equal(blocked.name, 'PolicyRefused');
    assert.equal(blocked.rule, 'rm -rf /');
    const sensitive = await rejection(terox.exec('cat /etc/passwd'));
    assert.equal(sensitive.message, 'access to sensitive path blocked');
    const outside = await rejection(terox.write('/etc/x', 'x'));
    assert.ok(outside instanceof PolicyRefused);
    assert.equal(outside.message, 'path must start with /tmp/');

    for (const bad of [new Terox({ url: URL, auth: { user: 'terox', pass: 'wrong' }, fetch: pacedFetch }),
        new Terox({ url: URL, token: TOKEN + 'x', fetch: pacedFetch })]) {
        const denied = await rejection(bad.health());
        assert.ok(denied instanceof AuthError);
        assert.equal(denied.message, 'invalid credentials');
        assert.equal(denied.status, 401);
    }
    const empty = await rejection(terox.exec(''));
    assert.equal(empty.constructor, SandboxError);
    assert.equal(empty.status, 400);
    assert.equal(empty.message, 'empty command');

    const unreachable = await rejection(new Terox({ url: 'http://127.0.0.1:9', auth }).health());
    assert.equal(unreachable.constructor, SandboxError);
    assert.equal(unreachable.status, null);
    assert.match(unreachable.message, /cannot reach/);
});

test('budget and rate window reject with RateLimited', async () => {
    await terox.call('POST', '/api/budget', { agent: 'js-spender', max_tokens: 100 });
    await terox.exec('echo ok', { agent: 'js-spender', tokensIn: 60 });
    const budget = await rejection(terox.exec('echo no', { agent: 'js-spender', tokensOut: 50 }));
    assert.ok(budget instanceof RateLimited);
    assert.equal(budget.message, 'token budget exceeded');
    assert.equal(budget.tokensUsed, 110);
    assert.equal(budget.budget, 100);

    await terox.call('POST', '/api/config', { rate_limit: 1 });
    await terox.exec('echo 1', { agent: 'js-hasty' });
    const limited = await rejection(terox.exec('echo 2', { agent: 'js-hasty' }));
    assert.ok(limited instanceof RateLimited);
    assert.equal(limited.message, 'per-agent rate limit exceeded');
    assert.ok(limited.retryAfter === null || limited.retryAfter > 0);
    await terox.call('POST', '/api/config', { rate_limit: 120 });
});

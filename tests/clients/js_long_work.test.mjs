// Long work through the JavaScript client (Node's fetch) against the server that
// tests/blackbox/test_client_streams.py started, inside its network namespace: a streamed
// command's lines arrive while it runs, and a background run reads its stdin, ends on eof
// and ends when killed.
import { test } from 'node:test';
import assert from 'node:assert/strict';
import { createHash } from 'node:crypto';
import { Terox, SandboxError, PolicyRefused, RunTimeout } from 'cindervox';
import { pacedFetch } from './pace.mjs';

const { CINDERVOX_URL: URL, TICKS, TICKS_OUTPUT, SLOW_READER, WIDE_INPUT } = process.env;
const terox = new Terox({ url: URL, auth: { user: 'terox', pass: 'wickerpod' }, agent: 'js-long', fetch: pacedFetch });
const now = () => performance.now() / 1000;

async function rejection(promise) {
    try {
        await promise;
    } catch (err) {
        return err;
    }
    assert.fail('expected a rejection');
}

test('stream yields each line as it is written', async () => {
    const arrivals = [];
    let exit = null;
    for await (const event of terox.stream(TICKS)) {
        if (event.kind === 'exit') exit = { time: now(), event };
        else arrivals.push({ time: now(), kind: event.kind, text: event.text });
    }
    // Whole lines in order, in several events, the first well before the end: lower
    // bounds on time only, which load never breaks.
    assert.equal(arrivals.map(a => a.text).join(''), TICKS_OUTPUT);
    assert.ok(arrivals.every(a => a.kind === 'stdout' && a.text.endsWith('\n')), JSON.stringify(arrivals));
    assert.ok(arrivals.length >= 2, JSON.stringify(arrivals));
    assert.ok(arrivals.at(-1).time - arrivals[0].time > 0.4, JSON.stringify(arrivals));
    assert.ok(exit.time - arrivals[0].time > 0.6, JSON.stringify({ arrivals, exit: exit.time }));
    assert.equal(exit.event.result.stdout, TICKS_OUTPUT);
    assert.equal(exit.event.result.exitCode, 0);
});

test('stream refusals, a run that cannot start, and leaving early', async () => {
    const refused = await rejection(terox.stream('cat /etc/shadow').next());
    assert.ok(refused instanceof PolicyRefused);
    assert.equal(refused.message, 'access to sensitive path blocked');
    const failed = await rejection((async () => { for await (const _ of terox.stream('true', { cwd: '/tmp/nowhere' })); })());
    assert.equal(failed.constructor, SandboxError);
    assert.equal(failed.message, 'no such directory: /tmp/nowhere');

    for await (const event of terox.stream('echo first; sleep 20', { agent: 'js-leaver' })) {
        assert.equal(event.text, 'first\n');
        break;
    }
    let entries = [];
    for (let i = 0; i < 25 && !entries.some(e => e.includes('EXEC CANCELLED')); i++) {
        await new Promise(resolve => setTimeout(resolve, 200));
        entries = await terox.audit('js-leaver');
    }
    assert.ok(entries.some(e => e.includes('EXEC CANCELLED "echo first; sleep 20"')), entries.join());
});

test('a background run echoes its stdin and ends on eof', async () => {
    const run = await terox.start('cat');
    const events = run.events();
    assert.deepEqual(await run.writeStdin('hello\n'), { bytes: 6, written: 6, stdinOpen: true });
    const first = (await events.next()).value;
    assert.deepEqual([first.kind, first.text, first.id], ['stdout', 'hello\n', 6]);
    assert.equal((await run.status()).state, 'running');
    await run.writeStdin(new TextEncoder().encode('caf\u00e9\n'), { eof: true });
    const rest = [];
    for await (const event of events) rest.push(event);
    assert.equal(rest.filter(e => e.kind === 'stdout').map(e => e.text).join(''), 'caf\u00e9\n');
    assert.deepEqual([rest.at(-1).kind, rest.at(-1).result.exitCode, rest.at(-1).result.stdinOpen], ['exit', 0, false]);
    assert.equal((await run.wait({ timeoutMs: 10000 })).exitCode, 0);
    const part = await run.output({ offset: 6 });
    assert.deepEqual([part.output, part.offset, part.nextOffset, part.dropped], ['caf\u00e9\n', 6, 12, 0]);
    const late = await rejection(run.writeStdin('late'));
    assert.deepEqual([late.status, late.message], [409, 'the run has ended']);
});

test('events resume after the last id without repeats', async () => {
    const run = await terox.start('for i in 1 2 3; do echo l$i; sleep 0.3; done');
    let first;
    for await (const event of run.events()) {
        first = event;
        break;
    }
    assert.deepEqual([first.text, first.id], ['l1\n', 3]);
    const rest = [];
    for await (const event of terox.run(run.id).events({ lastEventId: first.id })) rest.push(event);
    assert.equal(rest.filter(e => e.kind === 'stdout').map(e => e.text).join(''), 'l2\nl3\n');
    assert.equal(rest.at(-1).result.outputBytes, 9);
});

test('stdin beyond a pipe goes whole to a command that reads late', async () => {
    const run = await terox.start(SLOW_READER, { agent: 'js-wide' });
    const written = await run.writeStdin(WIDE_INPUT, { eof: true });
    assert.deepEqual(written, { bytes: 100000, written: 100000, stdinOpen: false });
    assert.equal((await run.wait({ timeoutMs: 30000 })).exitCode, 0);
    const digest = createHash('sha256').update(WIDE_INPUT).digest('hex');
    assert.equal((await run.output()).output, `${digest}  -\n`);
});

test('kill ends a run that wait gave up on', async () => {
    const run = await terox.start('sleep 30');
    const timedOut = await rejection(run.wait({ timeoutMs: 500 }));
    assert.ok(timedOut instanceof RunTimeout && timedOut instanceof SandboxError);
    assert.ok((await terox.runs()).some(s => s.runId === run.id && s.state === 'running'));
    assert.equal(await run.kill(), true);
    const final = await run.wait({ timeoutMs: 10000 });
    assert.deepEqual([final.state, final.exitCode, final.stopped], ['exited', 137, true]);
    assert.equal(await run.kill(), false);
});

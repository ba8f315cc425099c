// Long work from headless Chromium against a real sandbox, from a page of the server's own
// origin: a streamed command's lines arrive as separate events while it runs, read with
// fetch's stream reader and with the JavaScript client loaded into the page; through the
// client, a background run echoes its stdin, ends on eof, and ends when killed.
import { describe, test, before, after } from 'node:test';
import assert from 'node:assert/strict';
import fs from 'node:fs';
import path from 'node:path';
import { startInstance, launchBrowser, stopAll, DEFAULT_AUTH, ROOT } from './lib.mjs';

// A line every 200 ms: about a second from the first line to the end.
const TICKS = 'for i in 1 2 3 4 5; do echo line$i; sleep 0.2; done';
const TICKS_OUTPUT = [1, 2, 3, 4, 5].map(i => `line${i}\n`).join('');

let server, browser, page;

// arrivals: [{ time (s), kind, text }] of TICKS's output events; exitTime: when exit came.
// Whole lines in order, in several events, the first well before the end: lower bounds on
// time only, which load never breaks.
function checkStreamed(arrivals, exitTime) {
    const seen = JSON.stringify({ arrivals, exitTime });
    assert.equal(arrivals.map(a => a.text).join(''), TICKS_OUTPUT);
    assert.ok(arrivals.every(a => a.kind === 'stdout' && a.text.endsWith('\n')), seen);
    assert.ok(arrivals.length >= 2, seen);
    assert.ok(arrivals.at(-1).time - arrivals[0].time > 0.4, seen);
    assert.ok(exitTime - arrivals[0].time > 0.6, seen);
}

describe('Chromium reading long work', () => {
    before(async () => {
        server = await startInstance({ mode: 'basic', files: { 'policy.conf': '[config]\nprofile=1\n' } });
        browser = await launchBrowser();
        page = await browser.newPage();
        // A page of the server's own origin that runs no script of its own: the calls below
        // need no preflight.
        await page.goto(server.url + '/about');
        const client = fs.readFileSync(path.join(ROOT, 'clients', 'js', 'index.js'), 'utf8');
        await page.addScriptTag({ type: 'module', content: client + '\nwindow.cindervox = { Terox, RunTimeout };\n' });
        await page.waitForFunction(() => window.cindervox !== undefined);
    });

    after(async () => {
        if (browser) await browser.close();
        await stopAll();
    });

    test('fetch\'s stream reader gets each line as it is written', async () => {
        const { status, type, arrivals, exit } = await page.evaluate(async ({ auth, cmd }) => {
            const res = await fetch('/api/exec', {
                method: 'POST',
                headers: { Authorization: auth, 'Content-Type': 'application/json', 'X-Agent': 'chromium-stream' },
                body: JSON.stringify({ cmd, stream: true }),
            });
            const reader = res.body.getReader();
            const decoder = new TextDecoder();
            const arrivals = [];
            let exit = null;
            let buffer = '';
            for (;;) {
                const { value, done } = await reader.read();
                if (done) break;
                buffer += decoder.decode(value, { stream: true });
                let end;
                while ((end = buffer.indexOf('\n\n')) >= 0) {
                    const block = buffer.slice(0, end);
                    buffer = buffer.slice(end + 2);
                    const kind = /^event: (.*)$/m.exec(block)[1];
                    const data = JSON.parse(/^data: (.*)$/m.exec(block)[1]);
                    const time = performance.now() / 1000;
                    if (kind === 'exit') exit = { time, data };
                    else arrivals.push({ time, kind, text: data.text });
                }
            }
            return { status: res.status, type: res.headers.get('content-type'), arrivals, exit };
        }, { auth: DEFAULT_AUTH, cmd: TICKS });
        assert.equal(status, 200);
        assert.equal(type, 'text/event-stream; charset=utf-8');
        checkStreamed(arrivals, exit.time);
        assert.deepEqual([exit.data.stdout, exit.data.exit_code], [TICKS_OUTPUT, 0]);
    });

    test('the JavaScript client in the page streams a command', async () => {
        const { arrivals, exit } = await page.evaluate(async ({ auth, cmd }) => {
            const terox = new window.cindervox.Terox({ url: location.origin, auth, agent: 'chromium-client' });
            const arrivals = [];
            let exit = null;
            for await (const event of terox.stream(cmd)) {
                const time = performance.now() / 1000;
                if (event.kind === 'exit') exit = { time, stdout: event.result.stdout, exitCode: event.result.exitCode };
                else arrivals.push({ time, kind: event.kind, text: event.text });
            }
            return { arrivals, exit };
        }, { auth: { user: 'terox', pass: 'wickerpod' }, cmd: TICKS });
        checkStreamed(arrivals, exit.time);
        assert.deepEqual([exit.stdout, exit.exitCode], [TICKS_OUTPUT, 0]);
    });

    test('through the client, a background run echoes its stdin, ends on eof, and ends when killed', async () => {
        const seen = await page.evaluate(async ({ auth }) => {
            const { Terox, RunTimeout } = window.cindervox;
            const terox = new Terox({ url: location.origin, auth, agent: 'chromium-runs' });
            const run = await terox.start('cat');
            const events = run.events();
            const written = await run.writeStdin('hello\n');
            const first = (await events.next()).value;
            const stateBeforeEof = (await run.status()).state;
            await run.writeStdin('bye\n', { eof: true });
            const rest = [];
            for await (const event of events) rest.push({ kind: event.kind, text: event.text, exitCode: event.result?.exitCode ?? null });

            const sleeper = await terox.start('sleep 30');
            let gaveUp = false;
            try {
                await sleeper.wait({ timeoutMs: 300 });
            } catch (err) {
                gaveUp = err instanceof RunTimeout;
            }
            const killed = await sleeper.kill();
            const final = await sleeper.wait({ timeoutMs: 10000 });
            return { written, first: [first.kind, first.text, first.id], stateBeforeEof, rest, gaveUp, killed,
                final: [final.state, final.exitCode, final.stopped] };
        }, { auth: { user: 'terox', pass: 'wickerpod' } });
        assert.deepEqual(seen.written, { bytes: 6, written: 6, stdinOpen: true });
        assert.deepEqual(seen.first, ['stdout', 'hello\n', 6]);
        assert.equal(seen.stateBeforeEof, 'running');
        assert.equal(seen.rest.filter(e => e.kind === 'stdout').map(e => e.text).join(''), 'bye\n');
        assert.deepEqual(seen.rest.at(-1), { kind: 'exit', text: '', exitCode: 0 });
        assert.equal(seen.gaveUp, true);
        assert.equal(seen.killed, true);
        assert.deepEqual(seen.final, ['exited', 137, true]);
    });
});

// The JavaScript client's event streams and stdin feeding, without a server: a fetch of the
// test's own answers with bodies cut where the test chooses (inside a line, inside a UTF-8
// character), breaks a run's stream to see it resume from Last-Event-ID, and plays a pipe
// that fills.
import { test } from 'node:test';
import assert from 'node:assert/strict';
import { Terox, SandboxError, RunTimeout } from 'cindervox';

// A response whose body arrives in the given pieces (strings or bytes), then ends or fails.
function streamed(pieces, { fail = null, status = 200 } = {}) {
    const encoder = new TextEncoder();
    let i = 0;
    const body = new ReadableStream({
        pull(controller) {
            if (i < pieces.length) {
                const piece = pieces[i++];
                controller.enqueue(typeof piece === 'string' ? encoder.encode(piece) : piece);
            } else if (fail) {
                controller.error(fail);
            } else {
                controller.close();
            }
        },
    });
    return new Response(body, { status, headers: { 'Content-Type': 'text/event-stream' } });
}

function client(answer) {
    const sent = [];
    const fetch = async (url, init) => {
        sent.push({ url, method: init.method, headers: init.headers, body: init.body === undefined ? undefined : JSON.parse(init.body) });
        return answer(sent.at(-1));
    };
    return { terox: new Terox({ url: 'http://sandbox.test:7575', token: 't0k', agent: 'a', timeoutMs: 5000, fetch }), sent };
}

async function all(iterator) {
    const out = [];
    for await (const event of iterator) out.push(event);
    return out;
}

test('events are read as they are cut: inside lines, inside characters, CR LF, comments', async () => {
    const e9 = new TextEncoder().encode('\u00e9');
    const pieces = [
        ': hi\r\nevent: std', 'out\r\ndata: {"text":"caf', e9.subarray(0, 1), e9.subarray(1), '\\n"}\r\n', '\r\n',
        'event: stderr\ndata: {"text":"x",\ndata: "lossy":true}\n\nretry: 5\n\n',
        'event: dropped\ndata: {"stream":"stdout","bytes":9}\n\nevent: exit\ndata: {"ok":true,"stdout":"caf\u00e9\\n","exit_code":2,"duration_ms":1}\n\n',
    ];
    const { terox, sent } = client(() => streamed(pieces));
    const events = await all(terox.stream('x', { cwd: 'src', mergeStderr: true }));
    assert.deepEqual(sent[0].body, { cmd: 'x', cwd: 'src', merge_stderr: true, stream: true });
    assert.equal(sent[0].headers.Accept, 'text/event-stream');
    assert.deepEqual(events.slice(0, 3).map(e => [e.kind, e.text, e.lossy, e.stream, e.bytes, e.id]), [
        ['stdout', 'caf\u00e9\n', false, 'stdout', 0, null], ['stderr', 'x', true, 'stderr', 0, null], ['dropped', '', false, 'stdout', 9, null]]);
    assert.deepEqual([events[3].kind, events[3].result.exitCode, events[3].result.stdout], ['exit', 2, 'caf\u00e9\n']);
});

test('a streamed exec that breaks, fails or is refused rejects, and is never sent twice', async () => {
    const broken = client(() => streamed(['event: stdout\ndata: {"text":"a"}\n\n'], { fail: new Error('reset') }));
    const cut = await all(broken.terox.stream('x')).catch(err => err);
    assert.ok(cut instanceof SandboxError);
    assert.match(cut.message, /the event stream broke/);
    assert.equal(broken.sent.length, 1);
    const ended = client(() => streamed(['event: stdout\ndata: {"text":"a"}\n\n']));
    assert.equal((await all(ended.terox.stream('x')).catch(err => err)).message, 'the event stream ended before its exit event');
    const failing = client(() => streamed(['event: exit\ndata: {"ok":false,"error":"no such directory: /tmp/a"}\n\n']));
    const failed = await all(failing.terox.stream('x')).catch(err => err);
    assert.deepEqual([failed.message, failed.status, failed.body.ok], ['no such directory: /tmp/a', null, false]);
    const refusing = client(() => new Response('{"ok":false,"error":"too many commands waiting"}', { status: 503 }));
    const refused = await all(refusing.terox.stream('x')).catch(err => err);
    assert.deepEqual([refused.message, refused.status], ['too many commands waiting', 503]);
});

test('a run\'s events resume from the last id after a break or a silence', async () => {
    const answers = [
        () => streamed(['id: 3\nevent: stdout\ndata: {"text":"ab\\n"}\n\n'], { fail: new Error('reset') }),
        () => streamed([]),
        // Silent past the time-out: the client gives up on this connection and opens another.
        () => new Response(new ReadableStream({ pull() { return new Promise(() => {}); } }), { status: 200 }),
        () => streamed(['id: 5\nevent: stdout\ndata: {"text":"c\\n"}\n\nid: 5\nevent: exit\ndata: {"ok":true,"run_id":4,"state":"exited","exit_code":0}\n\n']),
    ];
    const sent = [];
    const fetch = async (url, init) => {
        sent.push({ url, headers: init.headers });
        return answers.shift()();
    };
    const terox = new Terox({ url: 'http://sandbox.test:7575', token: 't', timeoutMs: 300, fetch });
    const events = await all(terox.run(4).events());
    assert.deepEqual(events.map(e => [e.kind, e.text, e.id]), [['stdout', 'ab\n', 3], ['stdout', 'c\n', 5], ['exit', '', 5]]);
    assert.deepEqual(sent.map(s => s.headers['Last-Event-ID']), [undefined, '3', '3', '3']);
    assert.ok(sent.every(s => s.url === 'http://sandbox.test:7575/api/runs/4/events'));
    assert.deepEqual([events[2].result.state, events[2].result.exitCode], ['exited', 0]);

    const empty = client(() => streamed([]));
    const stuck = await all(empty.terox.run(4).events()).catch(err => err);
    assert.equal(stuck.message, 'the event stream keeps ending before its exit event');
    assert.equal(empty.sent.length, 4);
});

test('stdin goes in pieces that a full pipe takes whole or not at all', async () => {
    // A pipe of 10,000 bytes that the command empties every third write: a write of up to
    // 4,096 bytes is whole or nothing, a longer one takes what fits.
    const pipe = { free: 10000, got: [], writes: 0 };
    const { terox, sent } = client(({ body }) => {
        const data = new TextEncoder().encode(body.data ?? '');
        if (++pipe.writes % 3 === 0) pipe.free = 10000;
        let taken = Math.min(data.length, pipe.free);
        if (data.length <= 4096 && taken < data.length) taken = 0;
        pipe.free -= taken;
        pipe.got.push(...data.subarray(0, taken));
        const open = !(body.eof && taken === data.length);
        return new Response(JSON.stringify({ ok: true, bytes: data.length, written: taken, stdin_open: open }));
    });
    const text = 'ascii '.repeat(3000) + '\u00e9\u2713\u{1F600}'.repeat(3000);
    const bytes = new TextEncoder().encode(text);
    const result = await terox.run(9).writeStdin(text, { eof: true });
    assert.deepEqual(new Uint8Array(pipe.got), bytes);
    assert.deepEqual(result, { bytes: bytes.length, written: bytes.length, stdinOpen: false });
    // eof goes only with the last piece, however often that is sent.
    const eofs = sent.filter(s => s.body.eof).map(s => new TextEncoder().encode(s.body.data));
    assert.ok(eofs.length > 0 && eofs.every(d => d.length <= 4096 && Buffer.from(bytes).subarray(-d.length).equals(Buffer.from(d))));
    // The ASCII went in long pieces.
    assert.ok(sent.filter(s => /^[\x00-\x7f]*$/.test(s.body.data)).length < 5);
    await assert.rejects(terox.run(9).writeStdin(new Uint8Array([0xff])), TypeError);
});

test('wait gives up at its time-out, also on a server slow to answer the events', async () => {
    const running = '{"ok":true,"run_id":4,"state":"running","output_bytes":12,"output":""}';
    const sent = [];
    const fetch = (url, init) => {
        sent.push({ url, headers: init.headers });
        if (!url.endsWith('/events')) return Promise.resolve(new Response(running));
        // Never answers; gives up only when the client aborts.
        return new Promise((_, reject) => init.signal.addEventListener('abort', () => reject(init.signal.reason)));
    };
    const terox = new Terox({ url: 'http://sandbox.test:7575', token: 't', fetch });
    const started = Date.now();
    const late = await terox.run(4).wait({ timeoutMs: 300 }).catch(err => err);
    assert.ok(late instanceof RunTimeout, String(late));
    assert.equal(late.message, 'run 4 is still running');
    assert.ok(Date.now() - started < 3000);
    assert.equal(sent[0].url, 'http://sandbox.test:7575/api/runs/4?offset=999999999999999999');
    assert.equal(sent[1].headers['Last-Event-ID'], '12');
});

test('a reader slower than the time-out loses nothing: only the server\'s silence counts', async () => {
    const { terox } = client(() => streamed(['event: stdout\ndata: {"text":"a"}\n\n', 'event: exit\ndata: {"ok":true,"exit_code":0}\n\n']));
    terox.timeoutMs = 100;
    const kinds = [];
    for await (const event of terox.stream('x')) {
        kinds.push(event.kind);
        await new Promise(resolve => setTimeout(resolve, 300));
    }
    assert.deepEqual(kinds, ['stdout', 'exit']);
});

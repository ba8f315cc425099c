// Long work through /mcp driven by the official MCP TypeScript SDK: a call that outlasts the
// client's request time-out lives on progress notifications, an aborted call ends its
// command's whole process tree, and the background-run tools round trip. Run inside the
// namespace of the server that tests/blackbox/test_mcp.py started (CINDERVOX_URL,
// CINDERVOX_AUTH), whose profile is moderate.
import { after, before, test } from 'node:test';
import assert from 'node:assert/strict';
import { readdirSync, readFileSync } from 'node:fs';
import { Client } from '@modelcontextprotocol/sdk/client/index.js';
import { StreamableHTTPClientTransport } from '@modelcontextprotocol/sdk/client/streamableHttp.js';

const url = new URL('/mcp', process.env.CINDERVOX_URL);
const auth = process.env.CINDERVOX_AUTH;
let client;

// Stays under the server's limit of 20 requests per calendar second and credential window.
let second = 0;
let sent = 0;
async function pacedFetch(...args) {
    for (;;) {
        const now = Math.floor(Date.now() / 1000);
        if (now !== second) [second, sent] = [now, 0];
        if (sent < 15) break;
        await new Promise(resolve => setTimeout(resolve, (now + 1) * 1000 - Date.now() + 10));
    }
    sent++;
    return fetch(...args);
}

const sleep = ms => new Promise(resolve => setTimeout(resolve, ms));

before(async () => {
    const transport = new StreamableHTTPClientTransport(url, {
        requestInit: { headers: { Authorization: auth, 'X-Agent': 'sdk-long' } },
        fetch: pacedFetch,
    });
    client = new Client({ name: 'cindervox-long-work-test', version: '1.0.0' });
    await client.connect(transport);
});

after(async () => { await client?.close(); });

// Processes on this host whose arguments, joined by blanks, are command (the runs' PID
// namespaces are inside this one, so their processes are listed here too).
function processesWith(command) {
    const found = [];
    for (const name of readdirSync('/proc')) {
        if (!/^\d+$/.test(name)) continue;
        try {
            if (readFileSync(`/proc/${name}/cmdline`, 'latin1').split('\0').slice(0, -1).join(' ') === command) found.push(name);
        } catch { /* gone meanwhile */ }
    }
    return found;
}

async function until(check, what, timeoutMs = 10000) {
    const deadline = Date.now() + timeoutMs;
    for (;;) {
        const value = await check();
        if (value) return value;
        if (Date.now() > deadline) assert.fail(`timed out waiting for ${what}`);
        await sleep(100);
    }
}

async function audit(agent) {
    const response = await pacedFetch(new URL(`/api/audit?agent=${agent}`, process.env.CINDERVOX_URL), { headers: { Authorization: auth } });
    return (await response.json()).entries;
}

test('a 12-second command outlives a 5-second request time-out on progress and returns all its output', async () => {
    const command = 'for i in 1 2 3 4 5 6 7 8 9 10 11 12; do echo tick$i; sleep 1; done';
    const progress = [];
    const started = Date.now();
    const result = await client.callTool({ name: 'execute_command', arguments: { command } }, undefined,
        { timeout: 5000, resetTimeoutOnProgress: true, onprogress: p => progress.push(p) });
    assert.ok(Date.now() - started >= 11000);
    const expected = Array.from({ length: 12 }, (_, i) => `tick${i + 1}\n`).join('');
    assert.notEqual(result.isError, true, JSON.stringify(result));
    assert.deepEqual(result.content, [{ type: 'text', text: expected }]);
    assert.equal(result.structuredContent.stdout, expected);
    assert.equal(result.structuredContent.exit_code, 0);
    assert.ok(progress.length >= 5, JSON.stringify(progress));
    for (let i = 1; i < progress.length; i++) assert.ok(progress[i].progress > progress[i - 1].progress, JSON.stringify(progress));
    // Each message is the output so far: a prefix of the whole, growing.
    for (const p of progress) assert.ok(expected.startsWith(p.message), JSON.stringify(p));
    assert.ok(progress.at(-1).message.length > progress[0].message.length);
});

test('a command that prints nothing is kept alive by progress all the same', async () => {
    const progress = [];
    const result = await client.callTool({ name: 'execute_command', arguments: { command: 'sleep 7; echo woke' } }, undefined,
        { timeout: 5000, resetTimeoutOnProgress: true, onprogress: p => progress.push(p) });
    assert.equal(result.structuredContent.stdout, 'woke\n');
    // Two notifications at least while it slept, with no output to show.
    assert.ok(progress.filter(p => p.message === '').length >= 2, JSON.stringify(progress));
});

test('aborting a call ends its run and every process it started, and the audit says so', async () => {
    const marker = 'sleep 3073.5';
    const command = `echo started; setsid sh -c '${marker}' & ${marker}`;
    const controller = new AbortController();
    let running = -1;
    const call = client.callTool({ name: 'execute_command', arguments: { command, agent: 'sdk-cancel' } }, undefined, {
        signal: controller.signal,
        onprogress: () => {
            running = processesWith(marker).length;
            controller.abort('no longer needed');
        },
    });
    await assert.rejects(call);
    assert.equal(running, 2, 'both sleeps ran until the abort');
    await until(() => processesWith(marker).length === 0, 'the run\'s processes to end');
    const entries = await until(async () => {
        const found = await audit('sdk-cancel');
        return found.some(e => e.includes(' EXEC CANCELLED ')) && found;
    }, 'the CANCELLED audit entry');
    assert.match(entries.at(-1), /\[sdk-cancel\] EXEC CANCELLED "echo started; setsid sh -c 'sleep 3073\.5' & sleep 3073\.5" exit=137/);
    // The client goes on as before.
    const after = await client.callTool({ name: 'execute_command', arguments: { command: 'echo still here' } });
    assert.equal(after.structuredContent.stdout, 'still here\n');
});

async function tool(name, args) {
    const result = await client.callTool({ name, arguments: args });
    assert.notEqual(result.isError, true, `${name}: ${JSON.stringify(result)}`);
    return result.structuredContent;
}

test('background runs: start, stdin, status from an offset, stop and list, and only for their agent', async () => {
    const { run_id: echo } = await tool('start_command', { command: 'cat' });
    assert.ok(Number.isInteger(echo));
    assert.equal((await tool('write_command_stdin', { run_id: echo, data: 'hello\n' })).written, 6);
    const first = await until(async () => {
        const status = await tool('command_status', { run_id: echo });
        return status.output_bytes >= 6 && status;
    }, 'the echo');
    assert.deepEqual([first.state, first.output, first.next_offset, first.stdin_open], ['running', 'hello\n', 6, true]);
    assert.equal((await tool('write_command_stdin', { run_id: echo, data: 'bye\n', eof: true })).stdin_open, false);
    const done = await until(async () => {
        const status = await tool('command_status', { run_id: echo, offset: 6 });
        return status.state === 'exited' && status;
    }, 'the end of cat');
    assert.deepEqual([done.exit_code, done.output, done.offset, done.next_offset], [0, 'bye\n', 6, 10]);

    const { run_id: sleeper } = await tool('start_command', { command: 'sleep 3074.5' });
    const listed = await tool('list_commands', {});
    assert.deepEqual(listed.runs.map(r => [r.run_id, r.state]).filter(([id]) => id === echo || id === sleeper),
        [[echo, 'exited'], [sleeper, 'running']]);
    for (const [name, args] of [['command_status', { run_id: sleeper }], ['stop_command', { run_id: sleeper }],
        ['write_command_stdin', { run_id: sleeper, data: 'x' }]]) {
        const refused = await client.callTool({ name, arguments: { ...args, agent: 'sdk-intruder' } });
        assert.equal(refused.isError, true, name);
        assert.deepEqual(refused.content, [{ type: 'text', text: 'no such run' }], name);
    }
    assert.equal((await tool('list_commands', { agent: 'sdk-intruder' })).count, 0);
    assert.equal(processesWith('sleep 3074.5').length, 1);
    assert.equal((await tool('stop_command', { run_id: sleeper })).stopped, true);
    const stopped = await until(async () => {
        const status = await tool('command_status', { run_id: sleeper });
        return status.state === 'exited' && status;
    }, 'the stop');
    assert.deepEqual([stopped.exit_code, stopped.stopped], [137, true]);
    await until(() => processesWith('sleep 3074.5').length === 0, 'the stopped run\'s process to end');
});

// clients/mcp/cindervox_mcp.py driven by the official MCP TypeScript SDK over stdio, against
// the server that tests/blackbox/test_clients.py started (run inside its network namespace
// with CINDERVOX_URL and MCP_SERVER set). The SDK checks each structuredContent against the
// tool's outputSchema itself.
import { test, before, after } from 'node:test';
import assert from 'node:assert/strict';
import { Client } from '@modelcontextprotocol/sdk/client/index.js';
import { StdioClientTransport } from '@modelcontextprotocol/sdk/client/stdio.js';
import { Terox } from 'cindervox';
import { pacedFetch } from './pace.mjs';

const admin = new Terox({ url: process.env.CINDERVOX_URL, auth: { user: 'terox', pass: 'wickerpod' }, fetch: pacedFetch });
let client;
let stderr = '';

before(async () => {
    const transport = new StdioClientTransport({
        command: 'python3',
        args: [process.env.MCP_SERVER],
        env: { PATH: process.env.PATH, HOME: process.env.HOME ?? '/root', TEROX_URL: process.env.CINDERVOX_URL },
        stderr: 'pipe',
    });
    transport.stderr.on('data', chunk => { stderr += chunk; });
    client = new Client({ name: 'cindervox-test', version: '1.0.0' });
    await client.connect(transport);
});

after(async () => {
    await client?.close();
});

function text(result) {
    assert.equal(result.content.length, 1);
    assert.equal(result.content[0].type, 'text');
    return result.content[0].text;
}

test('initialize names the server and lists the tools with their hints', async () => {
    assert.equal(client.getServerVersion().name, 'cindervox');
    assert.ok(client.getServerCapabilities().tools);
    assert.match(client.getInstructions(), /sandbox/);
    const { tools } = await client.listTools();
    assert.deepEqual(tools.map(t => t.name), ['execute_command', 'write_file', 'read_file', 'list_files',
        'start_command', 'command_status', 'write_command_stdin', 'stop_command', 'list_commands']);
    assert.deepEqual(tools.map(t => [t.annotations.readOnlyHint, t.annotations.destructiveHint]),
        [[false, true], [false, true], [true, false], [true, false], [false, true], [true, false], [false, false], [false, true], [true, false]]);
    assert.deepEqual(tools.slice(4).map(t => t.inputSchema.required ?? []), [['command'], ['run_id'], ['run_id'], ['run_id'], []]);
    assert.deepEqual(Object.keys(tools[0].inputSchema.properties),
        ['command', 'cwd', 'env', 'stdin', 'stdin_encoding', 'timeout_ms', 'merge_stderr', 'agent']);
    assert.deepEqual(Object.keys(tools[1].inputSchema.properties), ['path', 'content', 'encoding', 'mode', 'append', 'agent']);
    assert.deepEqual(Object.keys(tools[2].inputSchema.properties), ['path', 'offset', 'length', 'encoding', 'agent']);
    for (const tool of tools) {
        assert.equal(tool.inputSchema.type, 'object');
        assert.equal(tool.outputSchema.type, 'object');
        assert.ok(tool.description.length > 80, tool.name);
    }
    assert.deepEqual(tools[0].inputSchema.required, ['command']);
    assert.match(tools[0].description, /no network beyond/i);
    await client.ping();
});

test('execute_command runs in the sandbox as the default agent', async () => {
    const result = await client.callTool({ name: 'execute_command', arguments: { command: 'echo from-mcp' } });
    assert.notEqual(result.isError, true, stderr);
    assert.equal(text(result), 'from-mcp\n');
    assert.equal(result.structuredContent.stdout, 'from-mcp\n');
    assert.equal(result.structuredContent.exit_code, 0);
    assert.equal(Number.isInteger(result.structuredContent.duration_ms), true);
    const entries = await admin.audit('claude-code');
    assert.ok(entries.some(e => e.includes('EXEC OK "echo from-mcp"')), entries.join(''));

    const failed = await client.callTool({ name: 'execute_command', arguments: { command: 'ls /no-such-dir', agent: 'mcp-other' } });
    assert.notEqual(failed.isError, true);
    assert.equal(failed.structuredContent.exit_code, 2);
    assert.match(text(failed), /\[exit code 2\]$/);
    assert.equal((await admin.audit('mcp-other')).length, 1);
});

test('a refusal is a tool result with isError and the server message', async () => {
    const refused = await client.callTool({ name: 'execute_command', arguments: { command: 'rm -rf /' } });
    assert.equal(refused.isError, true);
    assert.match(text(refused), /^command blocked by blacklist/);
    const outside = await client.callTool({ name: 'write_file', arguments: { path: '/etc/x', content: 'x' } });
    assert.equal(outside.isError, true);
    assert.match(text(outside), /^path must start with \/tmp\//);
    const typo = await client.callTool({ name: 'execute_command', arguments: { command: 'ls', timeout: 5 } });
    assert.equal(typo.isError, true);
    assert.equal(text(typo), 'unknown argument: timeout');
});

test('write_file then read_file', async () => {
    const content = 'print("hi from a file")\n';
    const written = await client.callTool({ name: 'write_file', arguments: { path: '/tmp/mcp.py', content } });
    assert.notEqual(written.isError, true, text(written));
    assert.equal(written.structuredContent.path, '/tmp/mcp.py');
    assert.equal(written.structuredContent.bytes_written, content.length);
    const ran = await client.callTool({ name: 'execute_command', arguments: { command: 'python3 /tmp/mcp.py' } });
    assert.equal(ran.structuredContent.stdout, 'hi from a file\n');
    const read = await client.callTool({ name: 'read_file', arguments: { path: '/tmp/mcp.py' } });
    assert.notEqual(read.isError, true, text(read));
    assert.equal(text(read), content);
    assert.equal(read.structuredContent.path, '/tmp/mcp.py');
    assert.equal(read.structuredContent.size, content.length);
    assert.equal(read.structuredContent.content, content);
    assert.equal(read.structuredContent.eof, true);
});

// A strict-profile command of about three seconds (python3 is whitelisted): the server's
// progress notifications reach the client through the bridge, each with the output so far.
test('progress notifications of a long command come through', async () => {
    const script = 'import time\nfor i in range(3):\n    print("tick%d" % i, flush=True)\n    time.sleep(1)\n';
    await client.callTool({ name: 'write_file', arguments: { path: '/tmp/ticks.py', content: script } });
    const progress = [];
    const result = await client.callTool({ name: 'execute_command', arguments: { command: 'python3 /tmp/ticks.py' } }, undefined,
        { timeout: 2500, resetTimeoutOnProgress: true, onprogress: p => progress.push(p) });
    assert.equal(text(result), 'tick0\ntick1\ntick2\n');
    assert.ok(progress.length >= 2, JSON.stringify(progress));
    for (let i = 1; i < progress.length; i++) assert.ok(progress[i].progress > progress[i - 1].progress);
    assert.ok(progress.every(p => 'tick0\ntick1\ntick2\n'.startsWith(p.message) && p.message.length > 0), JSON.stringify(progress));
});

test('a cancelled call ends its command on the server', async () => {
    const script = 'import time\nprint("waiting", flush=True)\ntime.sleep(4.5)\n';
    await client.callTool({ name: 'write_file', arguments: { path: '/tmp/wait.py', content: script, agent: 'stdio-cancel' } });
    const controller = new AbortController();
    const call = client.callTool({ name: 'execute_command', arguments: { command: 'python3 /tmp/wait.py', agent: 'stdio-cancel' } },
        undefined, { signal: controller.signal, onprogress: () => controller.abort('done waiting') });
    await assert.rejects(call);
    let runs = [];
    for (const deadline = Date.now() + 3000; Date.now() < deadline; await new Promise(r => setTimeout(r, 100))) {
        runs = (await admin.audit('stdio-cancel')).filter(e => e.includes(' EXEC '));
        if (runs.length > 0) break;
    }
    assert.equal(runs.length, 1, runs.join(''));
    assert.match(runs[0], /\[stdio-cancel\] EXEC CANCELLED "python3 \/tmp\/wait.py" exit=137/);
    assert.equal(text(await client.callTool({ name: 'execute_command', arguments: { command: 'echo after' } })), 'after\n');
});

// The background-run tools go to the server's /mcp: a strict-profile cat fed through stdin.
test('a background command is started, fed, read from an offset and ended', async () => {
    const started = await client.callTool({ name: 'start_command', arguments: { command: 'cat' } });
    const runId = started.structuredContent.run_id;
    assert.equal(started.content[0].text, `started run ${runId}; read its output with command_status`);
    const fed = await client.callTool({ name: 'write_command_stdin', arguments: { run_id: runId, data: 'one\ntwo\n', eof: true } });
    assert.deepEqual([fed.structuredContent.written, fed.structuredContent.stdin_open], [8, false]);
    let status;
    for (const deadline = Date.now() + 5000; Date.now() < deadline; await new Promise(r => setTimeout(r, 100))) {
        status = (await client.callTool({ name: 'command_status', arguments: { run_id: runId, offset: 4 } })).structuredContent;
        if (status.state === 'exited') break;
    }
    assert.deepEqual([status.state, status.exit_code, status.output, status.next_offset], ['exited', 0, 'two\n', 8]);
    const listed = await client.callTool({ name: 'list_commands', arguments: {} });
    assert.ok(listed.structuredContent.runs.some(r => r.run_id === runId));
    const other = await client.callTool({ name: 'stop_command', arguments: { run_id: runId, agent: 'someone-else' } });
    assert.deepEqual([other.isError, other.content[0].text], [true, 'no such run']);
});


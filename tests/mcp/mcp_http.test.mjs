// The /mcp endpoint of a real sandbox-server driven by the official MCP TypeScript SDK over
// Streamable HTTP, run inside the namespace of the server that tests/blackbox/test_mcp.py
// started (CINDERVOX_URL, CINDERVOX_AUTH). The SDK checks each structuredContent against the
// tool's outputSchema itself.
import { after, before, test } from 'node:test';
import assert from 'node:assert/strict';
import { Client } from '@modelcontextprotocol/sdk/client/index.js';
import { StreamableHTTPClientTransport } from '@modelcontextprotocol/sdk/client/streamableHttp.js';

const url = new URL('/mcp', process.env.CINDERVOX_URL);
let client;

// Stays under the server's global limit of 20 requests per calendar second.
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

before(async () => {
    const transport = new StreamableHTTPClientTransport(url, {
        requestInit: { headers: { Authorization: process.env.CINDERVOX_AUTH, 'X-Agent': 'sdk-agent' } },
        fetch: pacedFetch,
    });
    client = new Client({ name: 'cindervox-http-test', version: '1.0.0' });
    await client.connect(transport);
});

after(async () => { await client?.close(); });

test('initialize negotiates a version and names the server and its tools', async () => {
    assert.equal(client.getServerVersion().name, 'cindervox');
    assert.ok(['2025-06-18', '2025-11-25'].includes(client.transport.protocolVersion));
    assert.deepEqual(client.getServerCapabilities().tools, { listChanged: false });
    assert.match(client.getInstructions(), /sandbox/);
    const { tools } = await client.listTools();
    assert.deepEqual(tools.map(t => t.name), ['execute_command', 'write_file', 'read_file', 'list_files',
        'start_command', 'command_status', 'write_command_stdin', 'stop_command', 'list_commands']);
    assert.deepEqual(tools.map(t => [t.annotations.readOnlyHint, t.annotations.destructiveHint]),
        [[false, true], [false, true], [true, false], [true, false], [false, true], [true, false], [false, false], [false, true], [true, false]]);
    for (const tool of tools) {
        assert.equal(tool.inputSchema.type, 'object');
        assert.ok(tool.description.length > 80, tool.name);
    }
    assert.deepEqual(tools[0].inputSchema.required, ['command']);
    assert.deepEqual(tools[1].inputSchema.required, ['path', 'content']);
    await client.ping();
});

test('execute_command runs the command exactly as given', async () => {
    const command = 'printf \'%s\\n\' "say \\"hi\\"" \'back\\slash\' \'ünï😀\'';
    const result = await client.callTool({ name: 'execute_command', arguments: { command } });
    assert.notEqual(result.isError, true, JSON.stringify(result));
    assert.deepEqual(result.content, [{ type: 'text', text: 'say "hi"\nback\\slash\nünï😀\n' }]);
    assert.equal(result.structuredContent.exit_code, 0);
    assert.ok(Number.isInteger(result.structuredContent.duration_ms));
    const failing = await client.callTool({ name: 'execute_command', arguments: { command: 'ls /nowhere', agent: 'named-agent' } });
    assert.notEqual(failing.isError, true);
    assert.equal(failing.structuredContent.exit_code, 2);
    assert.deepEqual(failing.content.at(-1), { type: 'text', text: 'exit code 2' });
});

test('a refusal is a tool result with isError, naming what matched', async () => {
    const result = await client.callTool({ name: 'execute_command', arguments: { command: 'curl http://example.invalid' } });
    assert.equal(result.isError, true);
    assert.deepEqual(result.content, [{ type: 'text', text: 'command blocked by blacklist (matched: curl)' }]);
    const screened = await client.callTool({ name: 'execute_command', arguments: { command: 'echo $(id) x' } });
    assert.equal(screened.isError, true);
    assert.equal(screened.content[0].text, 'access to sensitive path blocked (matched: $()');
    const bad = await client.callTool({ name: 'execute_command', arguments: {} });
    assert.equal(bad.isError, true);
    assert.equal(bad.content[0].text, 'command must be a string');
    const typo = await client.callTool({ name: 'execute_command', arguments: { command: 'ls', timeout: 5 } });
    assert.equal(typo.isError, true);
    assert.equal(typo.content[0].text, 'unknown argument: timeout');
});

test('write_file writes a file that a command then reads', async () => {
    const result = await client.callTool({ name: 'write_file', arguments: { path: '/tmp/mcp-note.txt', content: 'first\nsecond "line"\n' } });
    assert.notEqual(result.isError, true, JSON.stringify(result));
    assert.equal(result.content[0].text, 'wrote 20 bytes to /tmp/mcp-note.txt');
    assert.equal(result.structuredContent.bytes_written, 20);
    const cat = await client.callTool({ name: 'execute_command', arguments: { command: 'cat /tmp/mcp-note.txt' } });
    assert.equal(cat.content[0].text, 'first\nsecond "line"\n');
    const outside = await client.callTool({ name: 'write_file', arguments: { path: '/etc/x', content: 'x' } });
    assert.equal(outside.isError, true);
    assert.equal(outside.content[0].text, 'path must start with /tmp/');
});

test('read_file returns what was written, and a missing file is an error result', async () => {
    const result = await client.callTool({ name: 'read_file', arguments: { path: '/tmp/mcp-note.txt' } });
    assert.notEqual(result.isError, true, JSON.stringify(result));
    assert.equal(result.content[0].text, 'first\nsecond "line"\n');
    assert.equal(result.structuredContent.size, 20);
    const missing = await client.callTool({ name: 'read_file', arguments: { path: '/tmp/no-such-file' } });
    assert.equal(missing.isError, true);
    assert.equal(missing.content[0].text, 'no such file: /tmp/no-such-file');
});

test('an unknown tool is a protocol error', async () => {
    await assert.rejects(client.callTool({ name: 'format_disk', arguments: {} }), /unknown tool/);
});

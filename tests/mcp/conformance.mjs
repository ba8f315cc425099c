// Runs the MCP conformance suite's server scenarios against /mcp. The suite sends no
// credentials, so a small proxy on loopback adds the Authorization header to every request
// on its way to the server. Run inside the server's network namespace with CINDERVOX_URL
// and CINDERVOX_AUTH set; prints the suite's output and exits with its status.
import http from 'node:http';
import { spawn } from 'node:child_process';
import { mkdtempSync, rmSync } from 'node:fs';
import { tmpdir } from 'node:os';
import { join } from 'node:path';
import { fileURLToPath } from 'node:url';

const target = new URL(process.env.CINDERVOX_URL);
const scenarios = (process.env.SCENARIOS || '').split(',').filter(Boolean);

const proxy = http.createServer((req, res) => {
    // The server matches the header's name as written, so it goes out as "Authorization".
    const headers = { ...req.headers, host: target.host };
    delete headers.authorization;
    headers.Authorization = process.env.CINDERVOX_AUTH;
    const upstream = http.request({ host: target.hostname, port: target.port, path: req.url, method: req.method, headers }, answer => {
        res.writeHead(answer.statusCode, answer.headers);
        answer.pipe(res);
    });
    upstream.on('error', err => { res.writeHead(502); res.end(String(err)); });
    req.pipe(upstream);
});

await new Promise(resolve => proxy.listen(0, '127.0.0.1', resolve));
const url = `http://127.0.0.1:${proxy.address().port}/mcp`;
const cli = fileURLToPath(new URL('./node_modules/@modelcontextprotocol/conformance/dist/index.js', import.meta.url));

// The suite saves its results in its working directory; they are not kept.
const scratch = mkdtempSync(join(tmpdir(), 'cvx-conformance-'));

async function run(args) {
    const child = spawn(process.execPath, [cli, 'server', '--url', url, ...args], { stdio: 'inherit', cwd: scratch });
    return new Promise(resolve => child.on('exit', code => resolve(code ?? 1)));
}

let status = 0;
if (scenarios.length === 0) status = await run([]);
for (const scenario of scenarios) {
    console.log(`=== scenario ${scenario}`);
    status = (await run(['--scenario', scenario])) || status;
}
proxy.close();
rmSync(scratch, { recursive: true, force: true });
process.exit(status);

// Shared helpers of the browser tests: start the programs in namespaces of their own with
// per-test directories, talk raw HTTP to them, and drive Debian's headless Chromium through
// playwright-core.
//
// run.sh puts the whole test run in a private mount and network namespace first, so every
// server, the Node client and the browser see only loopback and the interfaces made here.
// Each program then gets a nested mount namespace in which /etc and /var are overlaid with
// per-instance upper directories and the instance's own directories are bound over
// /etc/cindervox, /var/log/cindervox, /var/terox and /tmp (as the black-box harness does).
// By default it shares the test's network namespace and is reached on 127.0.0.1; with an
// `address` it gets a network namespace of its own, joined to the test's by a veth pair on
// a bridge, and is reached at that address.
import { spawn, execFileSync } from 'node:child_process';
import fs from 'node:fs';
import net from 'node:net';
import os from 'node:os';
import path from 'node:path';
import { fileURLToPath } from 'node:url';

const HERE = path.dirname(fileURLToPath(import.meta.url));
export const ROOT = path.resolve(HERE, '..', '..');
export const BUILD = process.env.CINDERVOX_BUILD || 'build';
export const ARTIFACTS = path.join(HERE, 'artifacts');
export const CHROMIUM = '/usr/bin/chromium';
export const DEFAULT_USER = 'terox';
export const DEFAULT_PASS = 'wickerpod';
export const DEFAULT_AUTH = 'Basic ' + Buffer.from(DEFAULT_USER + ':' + DEFAULT_PASS).toString('base64');

const CHROMIUM_ARGS = [
    '--headless', '--no-sandbox', '--disable-gpu', '--disable-background-networking',
    '--disable-component-update', '--disable-sync', '--disable-quic', '--no-first-run',
];

// Mounts, loopback and the optional veth address are set up by this script, which the
// black-box harness uses as well.
const SETUP_SCRIPT = path.join(ROOT, 'tests', 'instance_setup.sh');

const BASIC_LAUNCH = 'setpriv --reuid=65534 --regid=65534 --clear-groups --inh-caps=-all --bounding-set=-all';

const live = new Set();
// A test run that dies must not leave servers running in the namespace.
process.on('exit', () => {
    for (const instance of live) instance.kill();
});
const bridges = new Map();
let vethCount = 0;

// Refuses to run where the network namespace has any interface besides loopback and the
// tests' own (cvx*): bridges, addresses and the browser's traffic must stay inside the
// namespace that run.sh made.
export function requirePrivateNetwork() {
    const names = fs.readFileSync('/proc/self/net/dev', 'utf8').split('\n').slice(2)
        .map(line => line.split(':')[0].trim()).filter(Boolean);
    const foreign = names.filter(n => n !== 'lo' && !n.startsWith('cvx'));
    if (foreign.length > 0)
        throw new Error(`browser tests must run in a network namespace of their own (found ${foreign.join(', ')}); use tests/browser/run.sh`);
}

export function binary(name) {
    const p = path.join(ROOT, BUILD, name);
    if (!fs.existsSync(p)) throw new Error(`build ${name} first: ${p} missing`);
    return p;
}

export const sleep = ms => new Promise(resolve => setTimeout(resolve, ms));

function ip(...args) { execFileSync('ip', args, { stdio: ['ignore', 'ignore', 'pipe'] }); }

// One bridge per /24 in the test's namespace, holding the subnet's .1 address.
function bridgeFor(address) {
    const parts = address.split('.');
    if (parts.length !== 4 || parts[3] === '1') throw new Error(`address ${address}: want a.b.c.N with N other than 1`);
    const subnet = parts.slice(0, 3).join('.');
    if (!bridges.has(subnet)) {
        const name = 'cvxbr' + bridges.size;
        ip('link', 'add', name, 'type', 'bridge');
        ip('addr', 'add', subnet + '.1/24', 'dev', name);
        ip('link', 'set', name, 'up');
        bridges.set(subnet, name);
    }
    return bridges.get(subnet);
}

function attachNamespace(pid, address) {
    const bridge = bridgeFor(address);
    const hostEnd = 'cvxh' + (vethCount++);
    ip('link', 'add', hostEnd, 'type', 'veth', 'peer', 'name', 'cvx0', 'netns', String(pid));
    ip('link', 'set', hostEnd, 'master', bridge);
    ip('link', 'set', hostEnd, 'up');
}

function makeDirectories(files, etcMode) {
    const dir = fs.mkdtempSync(path.join(os.tmpdir(), 'cvx-browser-'));
    fs.chmodSync(dir, 0o755);
    for (const sub of ['etc', 'log', 'terox', 'tmp', 'bin', 'ov/etc-up', 'ov/etc-work', 'ov/var-up', 'ov/var-work'])
        fs.mkdirSync(path.join(dir, sub), { recursive: true });
    fs.chmodSync(path.join(dir, 'tmp'), 0o1777);
    fs.chmodSync(path.join(dir, 'etc'), etcMode);
    for (const [name, content] of Object.entries(files))
        fs.writeFileSync(path.join(dir, 'etc', name), content);
    return dir;
}

async function waitFor(check, timeoutMs, what) {
    const deadline = Date.now() + timeoutMs;
    for (;;) {
        if (await check()) return;
        if (Date.now() > deadline) throw new Error('timed out waiting for ' + what);
        await sleep(20);
    }
}

function canConnect(host, port) {
    return new Promise(resolve => {
        const s = net.connect({ host, port });
        s.setTimeout(500);
        s.once('connect', () => { s.destroy(); resolve(true); });
        s.once('error', () => resolve(false));
        s.once('timeout', () => { s.destroy(); resolve(false); });
    });
}

/**
 * Starts one program in namespaces of its own and waits until it is ready.
 *   program   name of the built binary (default sandbox-server), or binaryPath for any other
 *   mode      'kernel' (root) or 'basic' (uid 65534)
 *   files     { name: content } written to the instance's /etc/cindervox
 *   port      where it listens; a sandbox-server on another port than 7575 gets a
 *             config file naming it unless files.config is given
 *   address   when set, the program gets a network namespace of its own at this address
 *   args      command-line arguments; extraSetup: shell lines run before the exec
 *   ready     console text that means "listening" (sandbox-server: 'API: POST'); null
 *             probes the port instead
 * Returns an instance: { url, host, port, dir, pid, path(), writeEtc(), console(), stop(), kill() }.
 */
export async function startInstance(options = {}) {
    requirePrivateNetwork();
    const program = options.program || 'sandbox-server';
    const port = options.port || (program === 'sandbox-server' ? 7575 : 8888);
    const files = { ...(options.files || {}) };
    if (program === 'sandbox-server' && port !== 7575 && files.config === undefined)
        files.config = `port=${port}\n`;
    const dir = makeDirectories(files, options.etcMode || 0o755);
    const exe = path.join(dir, 'bin', program);
    fs.copyFileSync(options.binaryPath || binary(program), exe);
    fs.chmodSync(exe, 0o755);
    const launch = (options.mode || 'kernel') === 'basic' ? BASIC_LAUNCH : '';
    const consolePath = path.join(dir, 'console.txt');
    const consoleFd = fs.openSync(consolePath, 'w');
    const unshareArgs = ['--mount', '--propagation', 'private'];
    if (options.address) unshareArgs.push('--net');
    const child = spawn('unshare', [...unshareArgs, 'sh', SETUP_SCRIPT, ...(options.args || [])], {
        cwd: '/',
        stdio: ['ignore', consoleFd, consoleFd],
        env: {
            T: dir, PROGRAM: program, ADDR: options.address || '', LAUNCH: launch,
            EXTRA: options.extraSetup || '', PATH: '/usr/sbin:/usr/bin:/sbin:/bin',
        },
    });
    fs.closeSync(consoleFd);
    const host = options.address || '127.0.0.1';
    const instance = {
        program, host, port, dir, pid: child.pid,
        url: `http://${host}:${port}`,
        exited: false,
        path: (...parts) => path.join(dir, ...parts),
        writeEtc: (name, content) => fs.writeFileSync(path.join(dir, 'etc', name), content),
        console: () => fs.readFileSync(consolePath, 'utf8'),
        kill: () => { if (!instance.exited) child.kill('SIGKILL'); },
        stop: () => stopInstance(instance, child),
    };
    child.once('exit', () => { instance.exited = true; });
    live.add(instance);
    try {
        if (options.address) attachNamespace(child.pid, options.address);
        const ready = options.ready !== undefined ? options.ready : (program === 'sandbox-server' ? 'API: POST' : null);
        await waitFor(async () => {
            if (instance.exited) throw new Error(`${program} exited:\n${instance.console()}`);
            return ready ? instance.console().includes(ready) : canConnect(host, port);
        }, 10000, `${program} to listen:\n${instance.console()}`);
    } catch (err) {
        await instance.stop();
        throw err;
    }
    return instance;
}

// Starts count instances with the same options; options.addresses (one per instance)
// puts each in a network namespace of its own.
export async function startInstances(count, options = {}) {
    const started = [];
    for (let i = 0; i < count; i++) {
        const address = options.addresses ? options.addresses[i] : undefined;
        started.push(await startInstance({ ...options, address }));
    }
    return started;
}

async function stopInstance(instance, child) {
    if (!live.delete(instance)) return;
    if (!instance.exited) {
        const gone = new Promise(resolve => child.once('exit', resolve));
        child.kill('SIGKILL');
        await gone;
    }
    fs.rmSync(instance.dir, { recursive: true, force: true });
}

export async function stopAll() {
    for (const instance of [...live]) await instance.stop();
}

// ---- raw HTTP to an instance ----

// The server counts at most 20 requests per calendar second over all clients; the client
// keeps its own share well below that and retries a request refused by the global cap.
const pace = { second: 0, sent: 0 };

async function paced() {
    for (;;) {
        const now = Math.floor(Date.now() / 1000);
        if (now !== pace.second) { pace.second = now; pace.sent = 0; }
        if (pace.sent < 8) { pace.sent++; return; }
        await sleep((now + 1) * 1000 - Date.now() + 5);
    }
}

function exchange(host, port, bytes) {
    return new Promise((resolve, reject) => {
        const chunks = [];
        // The request is written without a half-close: a client that shuts its side while
        // its command waits has gone, and the server drops the command.
        const s = net.connect({ host, port }, () => s.write(bytes));
        s.setTimeout(30000, () => s.destroy(new Error('no answer within 30 s')));
        s.on('data', c => chunks.push(c));
        s.on('error', reject);
        s.on('close', () => resolve(Buffer.concat(chunks)));
    });
}

function parseResponse(raw) {
    const text = raw.toString('latin1');
    // The header block ends at the first empty line, whether lines end in CR LF or LF.
    const end = /\r?\n\r?\n/.exec(text);
    const head = end ? text.slice(0, end.index) : text;
    const body = end ? raw.subarray(end.index + end[0].length) : Buffer.alloc(0);
    const lines = head.split(/\r?\n/);
    const status = Number(lines[0].split(' ')[1]) || 0;
    const headers = {};
    for (const line of lines.slice(1)) {
        const at = line.indexOf(': ');
        if (at > 0) headers[line.slice(0, at).toLowerCase()] = line.slice(at + 2);
    }
    const result = { status, headers, raw, body: body.toString('utf8') };
    result.json = () => JSON.parse(result.body);
    return result;
}

/**
 * Sends one HTTP/1.1 request (CR LF line ends, headers and body in one write) and returns
 * { status, headers, body, json() }. body: an object is sent as JSON, a string as it is.
 * headers: extra header lines; auth: the Authorization value (false for none).
 */
export async function request(instance, method, target, { body, headers = {}, auth = DEFAULT_AUTH } = {}) {
    const lines = [`${method} ${target} HTTP/1.1`, `Host: ${instance.host}:${instance.port}`];
    if (auth) lines.push('Authorization: ' + auth);
    for (const [k, v] of Object.entries(headers)) lines.push(`${k}: ${v}`);
    let payload = Buffer.alloc(0);
    if (body !== undefined) {
        payload = Buffer.from(typeof body === 'string' ? body : JSON.stringify(body));
        lines.push('Content-Type: application/json', 'Content-Length: ' + payload.length);
    }
    const bytes = Buffer.concat([Buffer.from(lines.join('\r\n') + '\r\n\r\n'), payload]);
    for (let attempt = 0; ; attempt++) {
        await paced();
        const res = parseResponse(await exchange(instance.host, instance.port, bytes));
        if (res.status !== 429 || !res.body.includes('"rate limit exceeded"') || attempt >= 5) return res;
        await sleep(1000);
    }
}

// Runs a command as an agent; extra fields (tokens_in, model, ...) join the body.
export function exec(instance, cmd, { agent, extra = {}, auth } = {}) {
    const headers = agent !== undefined ? { 'X-Agent': agent } : {};
    return request(instance, 'POST', '/api/exec', { body: { cmd, ...extra }, headers, auth });
}

// ---- the browser ----

/**
 * Launches headless Chromium (a fresh temporary profile, the flags above). Each test takes
 * its own context and tab from newPage, so clocks, dialogs and cached logins never leak
 * between tests. newPage options: credentials { username, password } answered to the
 * server's Basic challenge (default terox/wickerpod; null for none), viewport, and any
 * other browser.newContext option. Returns { browser, newPage(), close() }.
 */
export async function launchBrowser() {
    requirePrivateNetwork();
    const { chromium } = await import('playwright-core');
    const browser = await chromium.launch({ executablePath: CHROMIUM, headless: true, args: CHROMIUM_ARGS });
    const newPage = async ({ credentials, viewport = { width: 1360, height: 900 }, ...more } = {}) => {
        const httpCredentials = credentials === null ? undefined
            : (credentials || { username: DEFAULT_USER, password: DEFAULT_PASS });
        const context = await browser.newContext({ httpCredentials, viewport, acceptDownloads: true, ...more });
        context.setDefaultTimeout(10000);
        return watchPage(await context.newPage());
    };
    return { browser, newPage, close: () => browser.close() };
}

/**
 * Records what a page does that a test may want to forbid or inspect: page.events.dialogs
 * (type and message; each dialog is answered by page.onDialog if set, else dismissed),
 * page.events.errors (uncaught exceptions) and page.events.console (console errors).
 */
export function watchPage(page) {
    page.events = { dialogs: [], errors: [], console: [] };
    page.onDialog = null;
    page.on('dialog', async dialog => {
        page.events.dialogs.push({ type: dialog.type(), message: dialog.message() });
        if (page.onDialog) await page.onDialog(dialog);
        else await dialog.dismiss();
    });
    page.on('pageerror', err => page.events.errors.push(err.message));
    page.on('console', m => { if (m.type() === 'error') page.events.console.push(m.text()); });
    return page;
}

/**
 * Answers the page's API calls inside the browser, so renderers can be driven with exact
 * data; nothing reaches the network. handlers: { 'GET /api/health': call => answer }, where
 * the answer is an object sent as JSON with status 200, { status, json } for another
 * status, or { abort: true } for a failed request. Unlisted API calls get 404. Returns the
 * list of calls seen ({ method, path, search, body, headers, time }).
 */
export async function mockApi(page, handlers) {
    const calls = [];
    await page.route(url => new URL(url).pathname.startsWith('/api/'), async route => {
        const req = route.request();
        const url = new URL(req.url());
        const call = { method: req.method(), url: req.url(), path: url.pathname, search: url.search,
            body: req.postData(), headers: req.headers(), time: Date.now() };
        calls.push(call);
        const handler = handlers[`${call.method} ${call.path}`];
        let answer = { status: 404, json: { ok: false, error: 'unknown endpoint' } };
        try {
            if (handler) answer = await handler(call);
        } catch (err) {
            call.error = err;
            answer = { status: 500, json: { ok: false, error: 'test handler failed: ' + err.message } };
        }
        if (answer && answer.abort) return route.abort().catch(() => {});
        const wrapped = answer && answer.json !== undefined && typeof answer.status === 'number';
        const status = wrapped ? answer.status : 200;
        const body = JSON.stringify(wrapped ? answer.json : answer);
        return route.fulfill({ status, contentType: 'application/json', body }).catch(() => {});
    });
    return calls;
}

// Saves a PNG of the page into artifacts/. scroller: the selector of an inner element
// that scrolls (a page whose body does not); the viewport grows to show all of it.
export async function screenshot(page, name, { scroller } = {}) {
    fs.mkdirSync(ARTIFACTS, { recursive: true });
    const file = path.join(ARTIFACTS, name + '.png');
    const before = page.viewportSize();
    if (scroller) {
        const extra = await page.$eval(scroller, e => e.scrollHeight - e.clientHeight).catch(() => 0);
        if (extra > 0) await page.setViewportSize({ width: before.width, height: Math.min(before.height + extra, 6000) });
    }
    await page.screenshot({ path: file, fullPage: true });
    if (scroller) await page.setViewportSize(before);
    return file;
}

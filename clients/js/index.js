// JavaScript client of the Cindervox command sandbox: an ES module without dependencies.
// It uses the global fetch, so it runs on Node 18 and later and in browsers (where the
// page's origin must be allowed by the server, as the fleet dashboard is).
//
//   import { Terox } from 'cindervox'
//   const terox = new Terox({ url: 'http://127.0.0.1:7575', auth: { user: 'terox', pass: 'wickerpod' } })
//   const result = await terox.exec('echo hello', { agent: 'my-agent' })
//
// Refusals reject with PolicyRefused (403), RateLimited (429) or AuthError (401), all
// subclasses of SandboxError, carrying the server's message.

// The permissive profile lets a command run for 300 s; the answer comes after it ends.
const DEFAULT_TIMEOUT_MS = 330000;

export class SandboxError extends Error {
    constructor(message, { status = null, body = {}, cause } = {}) {
        super(message, cause === undefined ? undefined : { cause });
        this.name = 'SandboxError';
        this.status = status;
        this.body = body;
    }
}

export class PolicyRefused extends SandboxError {
    constructor(message, options) {
        super(message, options);
        this.name = 'PolicyRefused';
        this.rule = typeof this.body.rule === 'string' ? this.body.rule : null;
    }
}

export class RateLimited extends SandboxError {
    constructor(message, options = {}) {
        super(message, options);
        this.name = 'RateLimited';
        this.retryAfter = options.retryAfter ?? null;
        this.tokensUsed = Number.isInteger(this.body.tokens_used) ? this.body.tokens_used : null;
        this.budget = Number.isInteger(this.body.budget) ? this.body.budget : null;
    }
}

export class AuthError extends SandboxError {
    constructor(message, options) {
        super(message, options);
        this.name = 'AuthError';
    }
}

// Base64 of bytes, in Node and in browsers alike.
function base64Bytes(bytes) {
    let binary = '';
    for (let i = 0; i < bytes.length; i += 0x8000)
        binary += String.fromCharCode(...bytes.subarray(i, i + 0x8000));
    return btoa(binary);
}

function base64Utf8(text) { return base64Bytes(new TextEncoder().encode(text)); }

function bytesOfBase64(text) {
    const binary = atob(text);
    const bytes = new Uint8Array(binary.length);
    for (let i = 0; i < binary.length; i++) bytes[i] = binary.charCodeAt(i);
    return bytes;
}

// Bytes (a Uint8Array, an ArrayBuffer or a Node Buffer) as opposed to text.
function isBytes(value) { return value instanceof Uint8Array || value instanceof ArrayBuffer; }

function asBytes(value) { return value instanceof ArrayBuffer ? new Uint8Array(value) : value; }

// File permissions as the server takes them: octal text such as "0755".
function modeText(mode) { return typeof mode === 'number' ? mode.toString(8).padStart(4, '0') : String(mode); }

function retryAfterSeconds(value) {
    if (value === null || value === undefined || value.trim() === '') return null;
    const seconds = Number(value);
    return Number.isFinite(seconds) ? Math.max(0, seconds) : null;
}

function errorFor(status, body, headers) {
    const message = typeof body.error === 'string' ? body.error : `HTTP ${status}`;
    if (status === 401) return new AuthError(message, { status, body });
    if (status === 403) return new PolicyRefused(message, { status, body });
    if (status === 429)
        return new RateLimited(message, { status, body, retryAfter: retryAfterSeconds(headers.get('retry-after')) });
    return new SandboxError(message, { status, body });
}

export class Terox {
    // options: { url, auth: { user, pass } | token, agent, timeoutMs, fetch }; fetch
    // replaces the global one (a wrapper that adds a proxy agent, paces or logs requests).
    constructor({ url = 'http://127.0.0.1:7575', auth, token, agent, timeoutMs = DEFAULT_TIMEOUT_MS, fetch: fetcher } = {}) {
        if (auth && token) throw new TypeError('give either auth or token, not both');
        if (!/^https?:\/\/[^/]/.test(url)) throw new TypeError(`url must look like http://host:port, got ${url}`);
        this.url = url.replace(/\/+$/, '');
        this.agent = agent;
        this.timeoutMs = timeoutMs;
        this.fetch = fetcher ?? ((...args) => globalThis.fetch(...args));
        this.authorization = auth ? 'Basic ' + base64Utf8(`${auth.user}:${auth.pass}`)
            : token ? 'Bearer ' + token : null;
    }

    // Runs a shell command in the sandbox. A nonzero exit code is a result, not an error.
    // cwd is the working directory inside the workspace; env adds variables; stdin is text,
    // or bytes (sent as base64); timeoutMs shortens the profile's time-out; mergeStderr gives
    // one combined stream in stdout.
    async exec(cmd, { agent, model, tokensIn, tokensOut, cwd, env, stdin, stdinEncoding, timeoutMs, mergeStderr } = {}) {
        const body = { cmd };
        if (cwd !== undefined) body.cwd = cwd;
        if (env !== undefined) body.env = env;
        if (stdin !== undefined) {
            if (isBytes(stdin)) {
                body.stdin = base64Bytes(asBytes(stdin));
                body.stdin_encoding = 'base64';
            } else {
                body.stdin = String(stdin);
            }
        }
        if (stdinEncoding !== undefined) body.stdin_encoding = stdinEncoding;
        if (timeoutMs !== undefined) body.timeout_ms = timeoutMs;
        if (mergeStderr !== undefined) body.merge_stderr = mergeStderr;
        if (model !== undefined) body.model = model;
        if (tokensIn !== undefined) body.tokens_in = tokensIn;
        if (tokensOut !== undefined) body.tokens_out = tokensOut;
        const data = await this.call('POST', '/api/exec', body, { agent });
        const stdout = String(data.stdout ?? '');
        const stderr = String(data.stderr ?? '');
        return {
            stdout,
            stderr,
            exitCode: Number(data.exit_code ?? -1),
            durationMs: Number(data.duration_ms ?? 0),
            files: Array.isArray(data.files) ? data.files.map(String) : [],
            timedOut: data.timed_out === true,
            stdoutBytes: Number(data.stdout_bytes ?? new TextEncoder().encode(stdout).length),
            stderrBytes: Number(data.stderr_bytes ?? new TextEncoder().encode(stderr).length),
            stdoutTruncated: data.stdout_truncated === true,
            stderrTruncated: data.stderr_truncated === true,
            stdoutLossy: data.stdout_lossy === true,
            stderrLossy: data.stderr_lossy === true,
            killedBy: typeof data.killed_by === 'string' ? data.killed_by : null,
            call: typeof data.call === 'string' ? data.call : null,
            ignoredFields: Array.isArray(data.ignored_fields) ? data.ignored_fields.map(String) : [],
            raw: data,
        };
    }

    // Writes a file under /tmp/: content is text, or bytes (sent as base64 and written
    // exactly). mode is 0o755 or '0755'; append adds to the end; missing parent directories
    // are made.
    async write(path, content, { agent, encoding, mode, append } = {}) {
        const body = { path };
        if (isBytes(content)) {
            body.content = base64Bytes(asBytes(content));
            body.encoding = 'base64';
        } else {
            body.content = String(content);
        }
        if (encoding !== undefined) body.encoding = encoding;
        if (mode !== undefined) body.mode = modeText(mode);
        if (append !== undefined) body.append = append;
        const data = await this.call('POST', '/api/write', body, { agent });
        const written = { path: String(data.path ?? path), bytesWritten: Number(data.bytes_written ?? 0) };
        if (data.size !== undefined) written.size = Number(data.size);
        return written;
    }

    // Reads a file under /tmp/: from offset, at most length bytes (default: to the end,
    // within the server's limit). encoding 'base64' returns the bytes exactly, in data.
    async read(path, { agent, offset, length, encoding } = {}) {
        const body = { path };
        if (offset !== undefined) body.offset = offset;
        if (length !== undefined) body.length = length;
        if (encoding !== undefined) body.encoding = encoding;
        const data = await this.call('POST', '/api/read', body, { agent });
        const content = String(data.content ?? '');
        const answered = String(data.encoding ?? encoding ?? 'utf-8');
        const eof = data.eof !== undefined ? data.eof === true : data.truncated !== true;
        const read = {
            path: String(data.path ?? path),
            size: Number(data.size ?? 0),
            content,
            truncated: data.truncated !== undefined ? data.truncated === true : !eof,
        };
        if (data.offset !== undefined) read.offset = Number(data.offset);
        if (data.bytes !== undefined) read.bytes = Number(data.bytes);
        if (data.encoding !== undefined) read.encoding = answered;
        if (data.eof !== undefined) read.eof = eof;
        if (data.lossy !== undefined) read.lossy = data.lossy === true;
        if (answered === 'base64') read.data = bytesOfBase64(content);
        return read;
    }

    // The file's bytes exactly, as a Uint8Array.
    async readBytes(path, { agent, offset, length } = {}) {
        return (await this.read(path, { agent, offset, length, encoding: 'base64' })).data;
    }

    // The entries of a directory under /tmp: name, type, size, mode and mtime.
    async list(path = '/tmp', { agent } = {}) {
        const data = await this.call('POST', '/api/list', { path }, { agent });
        const entries = Array.isArray(data.entries) ? data.entries : [];
        return {
            path: String(data.path ?? path),
            entries: entries.map(e => ({
                name: String(e.name ?? ''), type: String(e.type ?? 'other'), size: Number(e.size ?? 0),
                mode: String(e.mode ?? ''), mtime: Number(e.mtime ?? 0),
            })),
            count: Number(data.count ?? entries.length),
            truncated: data.truncated === true,
        };
    }

    health() { return this.call('GET', '/api/health'); }

    async agents() { return (await this.call('GET', '/api/agents')).agents ?? []; }

    // Audit entries, oldest first or with order 'newest' newest first: 20 by default, or up
    // to 50 of one agent's; limit (up to 256) and offset page through them.
    async audit(agent, { limit, offset, order } = {}) {
        return (await this.auditPage(agent, { limit, offset, order })).entries;
    }

    // A page of audit entries with the counts: total retained, matched, returned.
    async auditPage(agent, { limit, offset, order } = {}) {
        const query = new URLSearchParams();
        if (agent) query.set('agent', agent);
        if (limit !== undefined) query.set('limit', String(limit));
        if (offset !== undefined) query.set('offset', String(offset));
        if (order !== undefined) query.set('order', order);
        // URLSearchParams writes a blank as "+", which the server keeps as it is.
        const text = query.toString().replace(/\+/g, '%20');
        const data = await this.call('GET', '/api/audit' + (text ? '?' + text : ''));
        const entries = Array.isArray(data.entries) ? data.entries.map(String) : [];
        return {
            entries,
            total: Number(data.total ?? entries.length),
            matched: Number(data.matched ?? entries.length),
            returned: Number(data.returned ?? entries.length),
            offset: Number(data.offset ?? offset ?? 0),
        };
    }

    // Resets one agent (admin): its runs cancelled, its workspace removed, its counters cleared.
    resetAgent(name) { return this.call('DELETE', '/api/agents/' + encodeURIComponent(name)); }

    // Gives one agent a profile of its own (admin): 'strict', 'moderate', 'permissive' or 0 to
    // 2; null clears it, so the agent follows the global profile. Resolves to the profile and
    // limits that now hold for the agent's runs.
    setAgentProfile(name, profile) {
        return this.call('POST', '/api/agents/' + encodeURIComponent(name) + '/profile', { profile: profile ?? null });
    }

    policy() { return this.call('GET', '/api/policy'); }

    // One request to any route; resolves to the decoded JSON answer, rejects with the
    // matching error class for any status other than 200.
    async call(method, path, body, { agent } = {}) {
        const headers = { Accept: 'application/json' };
        if (this.authorization) headers.Authorization = this.authorization;
        const name = agent ?? this.agent;
        if (name !== undefined && name !== null) headers['X-Agent'] = name;
        const init = { method, headers, signal: AbortSignal.timeout(this.timeoutMs) };
        if (body !== undefined) {
            headers['Content-Type'] = 'application/json';
            init.body = JSON.stringify(body);
        }
        let response, text;
        try {
            response = await this.fetch(this.url + path, init);
            text = await response.text();
        } catch (err) {
            throw new SandboxError(`cannot reach ${this.url}: ${err.cause?.message ?? err.message}`, { cause: err });
        }
        let data;
        try {
            data = JSON.parse(text);
        } catch {
            data = null;
        }
        if (response.status !== 200) throw errorFor(response.status, data ?? {}, response.headers);
        if (data === null || typeof data !== 'object' || Array.isArray(data))
            throw new SandboxError(`answer is not a JSON object: ${text.slice(0, 200)}`, { status: response.status });
        return data;
    }
}

export default Terox;

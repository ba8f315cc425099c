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

// Base64 of the UTF-8 bytes of a text, in Node and in browsers alike.
function base64Utf8(text) {
    let binary = '';
    for (const byte of new TextEncoder().encode(text)) binary += String.fromCharCode(byte);
    return btoa(binary);
}

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
    async exec(cmd, { agent, model, tokensIn, tokensOut } = {}) {
        const body = { cmd };
        if (model !== undefined) body.model = model;
        if (tokensIn !== undefined) body.tokens_in = tokensIn;
        if (tokensOut !== undefined) body.tokens_out = tokensOut;
        const data = await this.call('POST', '/api/exec', body, { agent });
        return {
            stdout: String(data.stdout ?? ''),
            stderr: String(data.stderr ?? ''),
            exitCode: Number(data.exit_code ?? -1),
            durationMs: Number(data.duration_ms ?? 0),
            files: Array.isArray(data.files) ? data.files.map(String) : [],
            timedOut: data.timed_out === true,
            raw: data,
        };
    }

    // Writes a text file under /tmp/ (at most 65,000 bytes are kept).
    async write(path, content, { agent } = {}) {
        const data = await this.call('POST', '/api/write', { path, content }, { agent });
        return { path: String(data.path ?? path), bytesWritten: Number(data.bytes_written ?? 0) };
    }

    // Reads up to 65,000 bytes of a file under /tmp/.
    async read(path, { agent } = {}) {
        const data = await this.call('POST', '/api/read', { path }, { agent });
        return {
            path: String(data.path ?? path),
            size: Number(data.size ?? 0),
            content: String(data.content ?? ''),
            truncated: data.truncated === true,
        };
    }

    health() { return this.call('GET', '/api/health'); }

    async agents() { return (await this.call('GET', '/api/agents')).agents ?? []; }

    async audit(agent) {
        const query = agent ? '?agent=' + encodeURIComponent(agent) : '';
        return (await this.call('GET', '/api/audit' + query)).entries ?? [];
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

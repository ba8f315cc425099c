// JavaScript client of the Cindervox command sandbox: an ES module without dependencies.
// It uses the global fetch, so it runs on Node 18 and later and in browsers (where the
// page's origin must be allowed by the server, as the fleet dashboard is).
//
//   import { Terox } from 'cindervox'
//   const terox = new Terox({ url: 'http://127.0.0.1:7575', auth: { user: 'terox', pass: 'wickerpod' } })
//   const result = await terox.exec('echo hello', { agent: 'my-agent' })
//   for await (const event of terox.stream('make')) console.log(event.kind, event.text)
//   const run = await terox.start('cat')          // a background run
//   await run.writeStdin('hello\n', { eof: true })
//   console.log((await run.wait()).exitCode)
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

// run.wait({ timeoutMs }) ended with the run still going (it goes on).
export class RunTimeout extends SandboxError {
    constructor(message, options) {
        super(message, options);
        this.name = 'RunTimeout';
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

// A stream's connection failed or went silent: SandboxErrors that a resumable stream
// answers by opening it again.
class StreamIdle extends SandboxError {}
class StreamBroken extends SandboxError {}

// Reconnections in a row that bring no event before a resumable stream gives up.
const MAX_EMPTY_RECONNECTS = 3;
// An offset no run reaches: a status read from there carries no output.
const PAST_THE_END = '999999999999999999';
// A write of at most this many bytes to a pipe is whole or nothing (Linux's PIPE_BUF), so
// text beyond ASCII goes in pieces of this size and no retry starts inside a character.
const PIPE_ATOMIC = 4096;
// The most the stdin route takes in one request.
const STDIN_MAX = 65536;

function execBody(cmd, { model, tokensIn, tokensOut, cwd, env, stdin, stdinEncoding, timeoutMs, mergeStderr } = {}) {
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
    return body;
}

function execResult(data) {
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

function runStatus(data) {
    return {
        runId: Number(data.run_id ?? 0),
        state: String(data.state ?? ''),
        agent: String(data.agent ?? ''),
        cmd: String(data.cmd ?? ''),
        cmdBytes: Number(data.cmd_bytes ?? 0),
        started: Number(data.started ?? 0),
        durationMs: Number(data.duration_ms ?? 0),
        exitCode: data.exit_code === undefined || data.exit_code === null ? null : Number(data.exit_code),
        timedOut: data.timed_out === true,
        killedBy: typeof data.killed_by === 'string' ? data.killed_by : null,
        error: typeof data.error === 'string' ? data.error : null,
        stopped: data.stopped === true,
        stdinOpen: data.stdin_open === true,
        outputBytes: Number(data.output_bytes ?? 0),
        raw: data,
    };
}

// The events of a text/event-stream body given as chunks of bytes, as each one's blank line
// arrives: { name, data, id }. Comments and retry fields are skipped; several data lines
// are joined by line feeds, as the format has it.
async function* readEvents(chunks) {
    const decoder = new TextDecoder();
    let buffer = '';
    let scanned = 0;
    let name = '';
    let data = [];
    let id = null;
    const lines = function* (final) {
        for (;;) {
            const at = buffer.indexOf('\n', scanned);
            if (at < 0) {
                scanned = buffer.length;
                if (final && buffer !== '') {
                    const rest = buffer;
                    buffer = '';
                    scanned = 0;
                    yield rest;
                }
                return;
            }
            const line = buffer.slice(0, at);
            buffer = buffer.slice(at + 1);
            scanned = 0;
            yield line.endsWith('\r') ? line.slice(0, -1) : line;
        }
    };
    const take = function* (final) {
        for (const line of lines(final)) {
            if (line === '') {
                if (data.length > 0 || name !== '') yield { name: name || 'message', data: data.join('\n'), id };
                name = '';
                data = [];
                continue;
            }
            if (line.startsWith(':')) continue;
            const colon = line.indexOf(':');
            const key = colon < 0 ? line : line.slice(0, colon);
            let value = colon < 0 ? '' : line.slice(colon + 1);
            if (value.startsWith(' ')) value = value.slice(1);
            if (key === 'event') name = value;
            else if (key === 'data') data.push(value);
            else if (key === 'id') id = value;
        }
    };
    for await (const chunk of chunks) {
        buffer += decoder.decode(chunk, { stream: true });
        yield* take(false);
    }
    buffer += decoder.decode();
    yield* take(true);
}

// A stream's event as the client hands it over: { kind, text, lossy, stream, bytes,
// result, id, data }; result is filled for the exit event by its stream.
function makeEvent({ name, data: text, id }) {
    let data;
    try {
        data = JSON.parse(text);
    } catch {
        throw new SandboxError(`an event's data is not JSON: ${text.slice(0, 200)}`);
    }
    if (data === null || typeof data !== 'object' || Array.isArray(data))
        throw new SandboxError(`an event's data is not a JSON object: ${text.slice(0, 200)}`);
    const event = { kind: name, text: '', lossy: false, stream: null, bytes: 0, result: null, id: null, data };
    if (id !== null && /^[0-9]+$/.test(id)) event.id = Number(id);
    if (name === 'stdout' || name === 'stderr') {
        event.text = String(data.text ?? '');
        event.lossy = data.lossy === true;
        event.stream = name;
    } else if (name === 'dropped') {
        event.stream = String(data.stream ?? 'stdout');
        event.bytes = Number(data.bytes ?? 0);
    }
    return event;
}

// UTF-8 bytes cut for the stdin route: runs of ASCII in pieces of up to 65,536 bytes (a
// pipe that takes part of one leaves a rest that is text again), the rest in pieces of up
// to 4,096 bytes ending on a character's end, which a pipe takes whole or not at all.
function stdinPieces(bytes) {
    const pieces = [];
    let at = 0;
    while (at < bytes.length) {
        const limit = Math.min(at + STDIN_MAX, bytes.length);
        let end = at;
        while (end < limit && bytes[end] < 0x80) end++;
        if (end === at) {
            end = Math.min(at + PIPE_ATOMIC, bytes.length);
            while (end < bytes.length && (bytes[end] & 0xC0) === 0x80) end--;
        }
        pieces.push(bytes.subarray(at, end));
        at = end;
    }
    return pieces;
}

const sleep = ms => new Promise(resolve => setTimeout(resolve, ms));

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
        const body = execBody(cmd, { model, tokensIn, tokensOut, cwd, env, stdin, stdinEncoding, timeoutMs, mergeStderr });
        return execResult(await this.call('POST', '/api/exec', body, { agent }));
    }

    // Runs a command as exec does and yields its output as it is written: an async iterator
    // of events { kind, text, lossy, stream, bytes, result, id, data }: 'stdout' and
    // 'stderr' (text), 'dropped' (stream, bytes: output this reader fell too far behind to
    // get) and 'exit' last, whose result is what exec would have resolved to. Refusals
    // reject the first step, as for exec; a run that could not start rejects at its exit
    // event. Leaving the loop early (break, return, a throw) cancels the command. The request
    // goes when the iteration begins.
    async *stream(cmd, options = {}) {
        const body = { ...execBody(cmd, options), stream: true };
        yield* this.followEvents('POST', '/api/exec', body, { agent: options.agent, finish: execResult });
    }

    // Starts a command in the background (the same checks as exec) and resolves to its Run
    // at once. Its standard output and standard error are one stream; its input stays open
    // until writeStdin(..., { eof: true }); timeoutMs may shorten max_background_seconds.
    async start(cmd, { agent, model, tokensIn, tokensOut, cwd, env, timeoutMs } = {}) {
        const body = { ...execBody(cmd, { model, tokensIn, tokensOut, cwd, env, timeoutMs }), background: true };
        const data = await this.call('POST', '/api/exec', body, { agent });
        return new Run(this, Number(data.run_id), agent ?? this.agent);
    }

    // The Run of an id (from start or runs), acting for agent; nothing is sent.
    run(id, { agent } = {}) { return new Run(this, id, agent ?? this.agent); }

    // The background runs the caller may see (its agent's; the admin without an agent sees
    // all), running or finished within the last 10 minutes.
    async runs({ agent } = {}) {
        const data = await this.call('GET', '/api/runs', undefined, { agent });
        return (Array.isArray(data.runs) ? data.runs : []).map(runStatus);
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

    // One request to any route; resolves to the decoded JSON answer (of any 2xx status),
    // rejects with the matching error class for any other status.
    async call(method, path, body, { agent } = {}) {
        const init = { method, headers: this.requestHeaders(agent, 'application/json', body), signal: AbortSignal.timeout(this.timeoutMs) };
        if (body !== undefined) init.body = JSON.stringify(body);
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
        if (response.status < 200 || response.status > 299) throw errorFor(response.status, data ?? {}, response.headers);
        if (data === null || typeof data !== 'object' || Array.isArray(data))
            throw new SandboxError(`answer is not a JSON object: ${text.slice(0, 200)}`, { status: response.status });
        return data;
    }

    requestHeaders(agent, accept, body, extra = {}) {
        const headers = { Accept: accept };
        if (this.authorization) headers.Authorization = this.authorization;
        const name = agent ?? this.agent;
        if (name !== undefined && name !== null) headers['X-Agent'] = name;
        if (body !== undefined) headers['Content-Type'] = 'application/json';
        return { ...headers, ...extra };
    }

    // Sends one request and resolves to the open answer, read as it comes:
    // { response, chunks(), close() }. An answer or a read that waits idleMs (default
    // timeoutMs) for the server ends the answer (with a StreamIdle). A status other than 2xx
    // rejects as call() does.
    async openStream(method, path, body, { agent, headers = {}, idleMs = this.timeoutMs } = {}) {
        const controller = new AbortController();
        let timer = null;
        let idle = false;
        let reader = null;
        // Cancelling the reader too ends a pending read whatever the fetch does with the signal.
        const arm = () => {
            clearTimeout(timer);
            timer = setTimeout(() => {
                idle = true;
                controller.abort();
                reader?.cancel().catch(() => {});
            }, idleMs);
        };
        const close = () => {
            clearTimeout(timer);
            controller.abort();
        };
        const init = { method, headers: this.requestHeaders(agent, 'text/event-stream', body, headers), signal: controller.signal };
        if (body !== undefined) init.body = JSON.stringify(body);
        let response;
        arm();
        try {
            response = await this.fetch(this.url + path, init);
        } catch (err) {
            close();
            if (idle) throw new StreamIdle(`no answer from ${this.url} within ${idleMs} ms`);
            throw new SandboxError(`cannot reach ${this.url}: ${err.cause?.message ?? err.message}`, { cause: err });
        }
        if (response.status < 200 || response.status > 299) {
            const text = await response.text().catch(() => '');
            close();
            let data = null;
            try { data = JSON.parse(text); } catch { data = null; }
            throw errorFor(response.status, data ?? {}, response.headers);
        }
        async function* chunks() {
            reader = response.body.getReader();
            try {
                for (;;) {
                    arm();
                    let step;
                    try {
                        step = await reader.read();
                    } catch (err) {
                        if (idle) throw new StreamIdle(`no event within ${idleMs} ms`);
                        throw new StreamBroken(`the event stream broke: ${err.cause?.message ?? err.message}`, { cause: err });
                    }
                    // Only the wait for the server counts, not the reader's own pace.
                    clearTimeout(timer);
                    if (idle) throw new StreamIdle(`no event within ${idleMs} ms`);
                    if (step.done) return;
                    yield step.value;
                }
            } finally {
                close();
                reader.cancel().catch(() => {});
            }
        }
        return { response, chunks, close };
    }

    // The events of one stream (see stream and Run.events). finish makes the exit event's
    // result of its data. A resumable stream that breaks before its exit event, or stays
    // silent for idleMs, is opened again from the last event's id; without progress it
    // gives up after a few tries. deadline (Date.now() ms) bounds the whole reading.
    async *followEvents(method, path, body, { agent, finish, resumable = false, lastEventId = null, deadline = null, late } = {}) {
        let lastId = lastEventId;
        let emptyTries = 0;
        for (;;) {
            let idleMs = this.timeoutMs;
            if (deadline !== null) {
                const left = deadline - Date.now();
                if (left <= 0) throw late ? late() : new RunTimeout('time is up');
                idleMs = Math.min(idleMs, left);
            }
            const headers = lastId === null || lastId === undefined ? {} : { 'Last-Event-ID': String(lastId) };
            let opened;
            try {
                opened = await this.openStream(method, path, body, { agent, headers, idleMs });
            } catch (err) {
                // An answer slower than idleMs is tried again, as a silent stream is; the
                // deadline and the count of fruitless tries bound it.
                if (!resumable || !(err instanceof StreamIdle)) throw err;
                if (++emptyTries > MAX_EMPTY_RECONNECTS) throw err;
                continue;
            }
            let progressed = false;
            let silent = false;
            try {
                for await (const raw of readEvents(opened.chunks())) {
                    const event = makeEvent(raw);
                    progressed = true;
                    if (event.id !== null) lastId = event.id;
                    if (event.kind === 'exit') {
                        if (event.data.ok === false)
                            throw new SandboxError(String(event.data.error || 'the run failed'), { body: event.data });
                        event.result = finish(event.data);
                        yield event;
                        return;
                    }
                    yield event;
                }
            } catch (err) {
                // A stream that broke or went silent is opened again where it can be.
                if (!resumable || !(err instanceof StreamIdle || err instanceof StreamBroken)) throw err;
                silent = err instanceof StreamIdle;
            } finally {
                opened.close();
            }
            if (!resumable) throw new SandboxError('the event stream ended before its exit event');
            emptyTries = progressed || silent ? 0 : emptyTries + 1;
            if (emptyTries > MAX_EMPTY_RECONNECTS) throw new SandboxError('the event stream keeps ending before its exit event');
        }
    }
}

// A background run of one server, named by its id. Every method is one request or one
// stream; the object holds no state but the id and the agent it acts for.
export class Run {
    constructor(terox, id, agent) {
        this.terox = terox;
        this.id = Number(id);
        this.agent = agent;
    }

    path(suffix = '') { return `/api/runs/${this.id}${suffix}`; }

    // The run's state, without its output: { runId, state, exitCode, ... }.
    async status() {
        return runStatus(await this.terox.call('GET', this.path('?offset=' + PAST_THE_END), undefined, { agent: this.agent }));
    }

    // The run's output from offset (as much as the server's ring holds) and its state:
    // { output, offset, nextOffset, dropped, lossy, status }.
    async output({ offset = 0 } = {}) {
        const data = await this.terox.call('GET', this.path('?offset=' + offset), undefined, { agent: this.agent });
        return {
            output: String(data.output ?? ''),
            offset: Number(data.offset ?? offset),
            nextOffset: Number(data.next_offset ?? offset),
            dropped: Number(data.dropped ?? 0),
            lossy: data.lossy === true,
            status: runStatus(data),
        };
    }

    // The run's output as events from the start, or after lastEventId (an event's id, the
    // output offset after it): 'stdout' (the run's one stream), 'dropped' for output the
    // server's ring no longer held, and 'exit' last with the run's status as result. A
    // connection that breaks, or stays silent for the client's timeoutMs, is opened again
    // from the last id, so no output is read twice or missed.
    events({ lastEventId = null } = {}) { return this.followFrom(lastEventId, null); }

    followFrom(lastEventId, deadline) {
        return this.terox.followEvents('GET', this.path('/events'), undefined, {
            agent: this.agent, finish: runStatus, resumable: true, lastEventId, deadline,
            late: () => new RunTimeout(`run ${this.id} is still running`),
        });
    }

    // Writes data (text, or bytes holding UTF-8 text) to the run's input; eof closes the
    // input after it. Text beyond ASCII goes in pieces of 4,096 bytes, which the input pipe
    // takes whole or not at all. While the pipe is full (the command is not reading) the
    // rest is sent again, with growing pauses, for up to the client's timeoutMs; a request
    // refused by the server's per-second window waits its Retry-After. Resolves to
    // { bytes, written, stdinOpen }.
    async writeStdin(data, { eof = false } = {}) {
        const bytes = isBytes(data) ? asBytes(data) : new TextEncoder().encode(String(data));
        try {
            new TextDecoder('utf-8', { fatal: true }).decode(bytes);
        } catch {
            throw new TypeError('stdin of a background run is text: the bytes given are not UTF-8');
        }
        const pieces = stdinPieces(bytes);
        if (pieces.length === 0) pieces.push(bytes.subarray(0, 0));
        let written = 0;
        let answer = {};
        for (const [index, piece] of pieces.entries()) {
            answer = await this.writePiece(piece, eof && index === pieces.length - 1, bytes.length, written);
            written += piece.length;
        }
        return { bytes: bytes.length, written, stdinOpen: answer.stdin_open ?? !eof };
    }

    async writePiece(piece, eof, total, before) {
        let pause = 20;
        let stalledSince = Date.now();
        for (;;) {
            const body = piece.length > 0 ? { data: new TextDecoder().decode(piece) } : {};
            if (eof) body.eof = true;
            let answer;
            try {
                answer = await this.terox.call('POST', this.path('/stdin'), body, { agent: this.agent });
            } catch (err) {
                // A long input takes many requests: the per-second window paces them.
                if (!(err instanceof RateLimited) || err.message !== 'rate limit exceeded' || Date.now() - stalledSince > this.terox.timeoutMs)
                    throw err;
                await sleep((err.retryAfter ?? 1) * 1000);
                continue;
            }
            const taken = Number(answer.written ?? piece.length);
            if (taken >= piece.length) return answer;
            if (taken > 0) {
                piece = piece.subarray(taken);
                if ((piece[0] & 0xC0) === 0x80) throw new SandboxError(`run ${this.id} took part of a character of its input`);
                before += taken;
                stalledSince = Date.now();
                pause = 20;
            }
            if (Date.now() - stalledSince > this.terox.timeoutMs)
                throw new SandboxError(`run ${this.id} is not reading its input: ${before} of ${total} bytes written in ${this.terox.timeoutMs} ms`);
            await sleep(pause);
            pause = Math.min(pause * 2, 500);
        }
    }

    // Kills the run with its whole process tree: true when it was running, false when it
    // had ended already.
    async kill() {
        return (await this.terox.call('DELETE', this.path(), undefined, { agent: this.agent })).stopped === true;
    }

    // Waits for the run's end and resolves to its final status (exitCode, ...), following
    // its events from the output's current end; rejects with RunTimeout after timeoutMs.
    async wait({ timeoutMs } = {}) {
        const deadline = timeoutMs === undefined || timeoutMs === null ? null : Date.now() + timeoutMs;
        const status = await this.status();
        if (status.state !== 'running') return status;
        for await (const event of this.followFrom(status.outputBytes, deadline))
            if (event.kind === 'exit') return event.result;
        throw new SandboxError(`run ${this.id}: its events ended without an exit`);
    }
}

export default Terox;

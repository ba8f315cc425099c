// Type declarations of the cindervox client.

export interface TeroxOptions {
    /** The server's base URL, for example "http://127.0.0.1:7575". */
    url?: string;
    /** HTTP Basic login (the admin user and password). */
    auth?: { user: string; pass: string };
    /** A bearer token instead of auth: the admin token or an agent token. */
    token?: string;
    /** Default agent name sent as X-Agent; a method's own agent wins. */
    agent?: string;
    /** Milliseconds to wait for each answer (default 330,000). */
    timeoutMs?: number;
    /** Replaces the global fetch (to add a proxy agent, pace or log requests). */
    fetch?: typeof fetch;
}

export interface ExecOptions {
    agent?: string;
    model?: string;
    tokensIn?: number;
    tokensOut?: number;
    /** Working directory inside the workspace: /tmp or below, absolute or relative to /tmp. */
    cwd?: string;
    /** Variables to add (PATH, HOME, TERM and LD_* are refused by the server). */
    env?: Record<string, string>;
    /** Standard input: text, or bytes (sent as base64). Default: none (/dev/null). */
    stdin?: string | Uint8Array | ArrayBuffer;
    /** How a text stdin is given; bytes set 'base64' themselves. */
    stdinEncoding?: 'utf-8' | 'base64';
    /** This run's time-out in milliseconds, at most the profile's. */
    timeoutMs?: number;
    /** One combined stream in stdout (stderr is then ""). */
    mergeStderr?: boolean;
}

export interface ExecResult {
    /** Standard output of the command (with mergeStderr, both streams as a terminal shows them). */
    stdout: string;
    /** Standard error of the command ("" with mergeStderr). */
    stderr: string;
    exitCode: number;
    durationMs: number;
    /** Names the command printed after the file-list marker line. */
    files: string[];
    /** True when the server ended the run at its time-out. */
    timedOut: boolean;
    /** Bytes the command wrote to each stream in all. */
    stdoutBytes: number;
    stderrBytes: number;
    /** The stream was longer than the server keeps: its first and last halves are kept. */
    stdoutTruncated: boolean;
    stderrTruncated: boolean;
    /** Bytes that were not UTF-8 were replaced. */
    stdoutLossy: boolean;
    stderrLossy: boolean;
    /** 'memory' or 'seccomp' when the run was ended that way, else null. */
    killedBy: string | null;
    /** The system call the seccomp filter killed the run for, when known. */
    call: string | null;
    /** Request fields the server did not know. */
    ignoredFields: string[];
    /** The server's JSON answer as it came. */
    raw: Record<string, unknown>;
}

export interface StartOptions {
    agent?: string;
    model?: string;
    tokensIn?: number;
    tokensOut?: number;
    /** Working directory inside the workspace: /tmp or below, absolute or relative to /tmp. */
    cwd?: string;
    /** Variables to add (PATH, HOME, TERM and LD_* are refused by the server). */
    env?: Record<string, string>;
    /** The run's time-out in milliseconds, at most the server's max_background_seconds. */
    timeoutMs?: number;
}

interface EventBase {
    /** A background run's output offset after this event (Last-Event-ID); null for a streamed exec. */
    id: number | null;
    /** The event's JSON as it came. */
    data: Record<string, unknown>;
    text: string;
    lossy: boolean;
    bytes: number;
}

/** Output as the command wrote it (a background run's one stream is 'stdout'). */
export interface OutputEvent<K extends 'stdout' | 'stderr' = 'stdout' | 'stderr'> extends EventBase {
    kind: K;
    stream: K;
    /** Bytes that were not UTF-8 became U+FFFD. */
    lossy: boolean;
    result: null;
}

/** Output this reader did not get: `bytes` of `stream` were dropped where the event stands. */
export interface DroppedEvent extends EventBase {
    kind: 'dropped';
    stream: 'stdout' | 'stderr';
    result: null;
}

/** The last event: the exec's result, or the run's final status. */
export interface ExitEvent<R> extends EventBase {
    kind: 'exit';
    stream: null;
    result: R;
}

export type StreamEvent<R> = OutputEvent<'stdout'> | OutputEvent<'stderr'> | DroppedEvent | ExitEvent<R>;
export type ExecEvent = StreamEvent<ExecResult>;
export type RunEvent = StreamEvent<RunStatus>;

export interface RunStatus {
    runId: number;
    state: 'running' | 'exited';
    agent: string;
    /** The command's first 256 bytes; cmdBytes is its whole length. */
    cmd: string;
    cmdBytes: number;
    /** Unix seconds. */
    started: number;
    durationMs: number;
    /** Once exited: the exit status (137 after a kill or the time-out), else null. */
    exitCode: number | null;
    timedOut: boolean;
    /** 'memory' or 'seccomp' when the run was ended that way. */
    killedBy: string | null;
    /** Why the command could not start, else null. */
    error: string | null;
    /** kill() ended it. */
    stopped: boolean;
    stdinOpen: boolean;
    /** Every byte the run wrote. */
    outputBytes: number;
    raw: Record<string, unknown>;
}

export interface RunOutput {
    output: string;
    /** Where output starts: later than asked when the server's ring no longer held that part. */
    offset: number;
    /** Where the next read goes on. */
    nextOffset: number;
    /** Bytes between the offset asked and offset that were missed. */
    dropped: number;
    lossy: boolean;
    status: RunStatus;
}

export interface StdinResult {
    bytes: number;
    written: number;
    stdinOpen: boolean;
}

export interface WriteOptions {
    agent?: string;
    /** How a text content is given; bytes set 'base64' themselves. */
    encoding?: 'utf-8' | 'base64';
    /** Permissions: 0o755 or '0755' (setuid, setgid and sticky are refused). */
    mode?: number | string;
    /** Add to the end of the file instead of replacing it. */
    append?: boolean;
}

export interface WriteResult {
    path: string;
    bytesWritten: number;
    /** The file's size after the write, where the server says it. */
    size?: number;
}

export interface ReadOptions {
    agent?: string;
    /** First byte to read. */
    offset?: number;
    /** Bytes to read at most (default: to the end, within the server's limit). */
    length?: number;
    /** 'base64' returns the bytes exactly, in data. */
    encoding?: 'utf-8' | 'base64';
}

export interface ReadResult {
    path: string;
    /** The file's size on disk. */
    size: number;
    /** The text, or with encoding 'base64' the base64 text. */
    content: string;
    /** The read did not reach the file's end. */
    truncated: boolean;
    offset?: number;
    /** Bytes returned. */
    bytes?: number;
    encoding?: 'utf-8' | 'base64';
    /** The read reached the file's end. */
    eof?: boolean;
    /** Bytes that were not UTF-8 were replaced in content. */
    lossy?: boolean;
    /** The bytes, when read as base64. */
    data?: Uint8Array;
}

export interface FileEntry {
    name: string;
    type: 'file' | 'dir' | 'link' | 'other';
    size: number;
    /** Octal text, "0644". */
    mode: string;
    /** Seconds since 1970. */
    mtime: number;
}

export interface ListResult {
    path: string;
    entries: FileEntry[];
    count: number;
    /** More entries than the server lists. */
    truncated: boolean;
}

export interface AuditOptions {
    /** Entries listed at most, 0 to 256 (default 20, or 50 with an agent). */
    limit?: number;
    /** Matching entries skipped first. */
    offset?: number;
    order?: 'oldest' | 'newest';
}

export interface AuditPage {
    entries: string[];
    /** Entries retained. */
    total: number;
    /** Entries of the agent asked for (all without one). */
    matched: number;
    returned: number;
    offset: number;
}

export interface AgentReset {
    ok: true;
    agent: string;
    runs_cancelled: number;
}

export type ProfileName = 'strict' | 'moderate' | 'permissive';

export interface AgentProfile {
    ok: true;
    agent: string;
    /** The profile that now holds for the agent's runs. */
    profile: ProfileName;
    /** Whether it is the agent's own (false: it follows the global profile). */
    own: boolean;
    timeout_ms: number;
    max_mem_mb: number;
    max_cpu_sec: number;
    max_procs: number;
    max_fsize: number;
    max_nofile: number;
    persisted: false;
    reason?: string;
}

export interface Health {
    status: string;
    version: string;
    uptime_sec: number;
    total_execs: number;
    blocked_cmds: number;
    bytes_captured: number;
    profile: 'strict' | 'moderate' | 'permissive';
    timeout_ms: number;
    max_mem_mb: number;
    max_cpu_sec: number;
    isolation: 'kernel' | 'basic';
    agents_count: number;
    rate_1m: number;
    max_rate_per_agent: number;
    default_token_budget: number;
    [key: string]: unknown;
}

export interface AgentInfo {
    name: string;
    execs: number;
    blocked: number;
    bytes: number;
    last_active: number;
    rate_1m: number;
    rate_limit: number;
    tokens_in: number;
    tokens_out: number;
    tokens_total: number;
    token_budget: number;
    model: string;
    /** The profile whose limits and rules hold for its runs. */
    profile: ProfileName;
    /** Whether that profile is the agent's own (false: it follows the global profile). */
    profile_own: boolean;
    active: boolean;
    workspace_bytes?: number;
    [key: string]: unknown;
}

export interface Policy {
    blacklist: string[];
    whitelist: string[];
    blacklist_count: number;
    whitelist_count: number;
    /** 0 strict, 1 moderate, 2 permissive. */
    profile: 0 | 1 | 2;
    max_rate_per_agent: number;
    default_token_budget: number;
    [key: string]: unknown;
}

export declare class SandboxError extends Error {
    constructor(message: string, options?: { status?: number | null; body?: Record<string, unknown>; cause?: unknown });
    /** The HTTP status, or null when no answer arrived. */
    status: number | null;
    /** The decoded JSON body of the answer ({} when there was none). */
    body: Record<string, unknown>;
}

/** 403: refused by the sensitive-path screen, the policy, the path rules or the route. */
export declare class PolicyRefused extends SandboxError {
    /** What matched, when the server names it. */
    rule: string | null;
}

/** 429: the global request limit, the agent's rate window or its token budget. */
export declare class RateLimited extends SandboxError {
    constructor(message: string, options?: { status?: number | null; body?: Record<string, unknown>; retryAfter?: number | null });
    /** Seconds from the server's Retry-After header, or null. */
    retryAfter: number | null;
    tokensUsed: number | null;
    budget: number | null;
}

/** 401: the login or token was not accepted. */
export declare class AuthError extends SandboxError {}

/** run.wait({ timeoutMs }) ended with the run still going (it goes on). */
export declare class RunTimeout extends SandboxError {}

/** A background run, named by its id. */
export declare class Run {
    constructor(terox: Terox, id: number, agent?: string);
    readonly terox: Terox;
    readonly id: number;
    agent?: string;
    /** The run's state, without its output. */
    status(): Promise<RunStatus>;
    /** The output from offset (default 0) as far as the server's ring holds it, and the state. */
    output(options?: { offset?: number }): Promise<RunOutput>;
    /** The output as events, from the start or after lastEventId; reconnects by itself from the last id. */
    events(options?: { lastEventId?: number | null }): AsyncGenerator<RunEvent, void, undefined>;
    /** Writes text (or UTF-8 bytes) to the run's input, all of it; eof closes the input after it. */
    writeStdin(data: string | Uint8Array | ArrayBuffer, options?: { eof?: boolean }): Promise<StdinResult>;
    /** Kills the run's whole process tree: true when it was running. */
    kill(): Promise<boolean>;
    /** The final status once the run has ended; rejects with RunTimeout after timeoutMs. */
    wait(options?: { timeoutMs?: number | null }): Promise<RunStatus>;
}

export declare class Terox {
    constructor(options?: TeroxOptions);
    readonly url: string;
    agent?: string;
    timeoutMs: number;
    exec(cmd: string, options?: ExecOptions): Promise<ExecResult>;
    /** exec's output as it is written; leaving the loop early cancels the command. */
    stream(cmd: string, options?: ExecOptions): AsyncGenerator<ExecEvent, void, undefined>;
    /** Starts a background run and resolves to it at once. */
    start(cmd: string, options?: StartOptions): Promise<Run>;
    /** The Run of an id; nothing is sent. */
    run(id: number, options?: { agent?: string }): Run;
    /** The background runs the caller may see. */
    runs(options?: { agent?: string }): Promise<RunStatus[]>;
    write(path: string, content: string | Uint8Array | ArrayBuffer, options?: WriteOptions): Promise<WriteResult>;
    read(path: string, options?: ReadOptions): Promise<ReadResult>;
    readBytes(path: string, options?: { agent?: string; offset?: number; length?: number }): Promise<Uint8Array>;
    list(path?: string, options?: { agent?: string }): Promise<ListResult>;
    health(): Promise<Health>;
    agents(): Promise<AgentInfo[]>;
    audit(agent?: string, options?: AuditOptions): Promise<string[]>;
    auditPage(agent?: string, options?: AuditOptions): Promise<AuditPage>;
    resetAgent(name: string): Promise<AgentReset>;
    setAgentProfile(name: string, profile: ProfileName | 0 | 1 | 2 | null): Promise<AgentProfile>;
    policy(): Promise<Policy>;
    call(method: string, path: string, body?: unknown, options?: { agent?: string }): Promise<Record<string, any>>;
}

export default Terox;

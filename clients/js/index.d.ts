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
}

export interface ExecResult {
    /** Standard output and standard error of the command, merged. */
    stdout: string;
    /** Always "" (the server merges standard error into stdout). */
    stderr: string;
    exitCode: number;
    durationMs: number;
    /** Names the command printed after the file-list marker line. */
    files: string[];
    /** True when the server ended the run at its time-out. */
    timedOut: boolean;
    /** The server's JSON answer as it came. */
    raw: Record<string, unknown>;
}

export interface WriteResult { path: string; bytesWritten: number }

export interface ReadResult { path: string; size: number; content: string; truncated: boolean }

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

export declare class Terox {
    constructor(options?: TeroxOptions);
    readonly url: string;
    agent?: string;
    timeoutMs: number;
    exec(cmd: string, options?: ExecOptions): Promise<ExecResult>;
    write(path: string, content: string, options?: { agent?: string }): Promise<WriteResult>;
    read(path: string, options?: { agent?: string }): Promise<ReadResult>;
    health(): Promise<Health>;
    agents(): Promise<AgentInfo[]>;
    audit(agent?: string): Promise<string[]>;
    policy(): Promise<Policy>;
    call(method: string, path: string, body?: unknown, options?: { agent?: string }): Promise<Record<string, any>>;
}

export default Terox;

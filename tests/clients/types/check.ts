// Compiled (never run) against clients/js/index.d.ts: the declarations must accept the
// documented use and refuse misuse (each @ts-expect-error line must be an error).
import { Terox, Run, SandboxError, PolicyRefused, RateLimited, AuthError, RunTimeout, type ExecResult, type RunStatus } from 'cindervox';

export async function documentedUse(): Promise<string> {
    const terox = new Terox({ url: 'http://127.0.0.1:7575', auth: { user: 'terox', pass: 'wickerpod' } });
    const byToken = new Terox({ url: 'http://127.0.0.1:7575', token: 't', agent: 'bot', timeoutMs: 1000 });
    const result: ExecResult = await terox.exec('echo hello', { agent: 'my-agent', model: 'm', tokensIn: 1, tokensOut: 2 });
    const code: number = result.exitCode;
    const files: string[] = result.files;
    const written = await terox.write('/tmp/x', 'x', { agent: 'a' });
    const read = await byToken.read('/tmp/x');
    const full = await terox.exec('make', { cwd: 'src', env: { CI: '1' }, stdin: new Uint8Array([1]), timeoutMs: 500, mergeStderr: true });
    const cut: boolean = full.stdoutTruncated || full.stderrTruncated;
    const killed: string | null = full.killedBy;
    await terox.write('/tmp/run.sh', new Uint8Array([35, 33]), { mode: 0o755, append: false });
    await terox.write('/tmp/b', 'aGk=', { encoding: 'base64', mode: '0600' });
    const part = await terox.read('/tmp/x', { offset: 5, length: 10, encoding: 'utf-8' });
    const bytes: Uint8Array = await terox.readBytes('/tmp/x');
    const listing = await terox.list('/tmp', { agent: 'a' });
    const kind: 'file' | 'dir' | 'link' | 'other' | undefined = listing.entries[0]?.type;
    const page = await terox.auditPage('my-agent', { limit: 5, offset: 5, order: 'newest' });
    const newest: string[] = await terox.audit(undefined, { order: 'newest' });
    const reset = await terox.resetAgent('my-agent');
    const own = await terox.setAgentProfile('my-agent', 'strict');
    const cleared: boolean = (await terox.setAgentProfile('my-agent', null)).own;
    const health = await terox.health();
    const profile: 'strict' | 'moderate' | 'permissive' = health.profile;
    const agents = await terox.agents();
    const entries: string[] = await terox.audit('my-agent');
    const policy = await terox.policy();
    try {
        await terox.exec('rm -rf /');
    } catch (err) {
        if (err instanceof PolicyRefused) return err.rule ?? err.message;
        if (err instanceof RateLimited) return String(err.retryAfter ?? err.tokensUsed ?? err.budget);
        if (err instanceof AuthError) return String(err.status);
        if (err instanceof SandboxError) return JSON.stringify(err.body);
    }
    return [code, files, written.bytesWritten, read.truncated, profile, agents[0]?.tokens_total,
        entries.length, policy.blacklist.length, cut, killed, part.eof, bytes.length, kind, page.matched, newest.length,
        reset.runs_cancelled, full.stderr, own.timeout_ms, cleared, agents[0]?.profile, agents[0]?.profile_own].join();
}

export async function longWork(terox: Terox): Promise<string> {
    const seen: string[] = [];
    for await (const event of terox.stream('make', { agent: 'a', cwd: 'src', mergeStderr: true })) {
        if (event.kind === 'stdout' || event.kind === 'stderr') seen.push(event.text, String(event.lossy));
        else if (event.kind === 'dropped') seen.push(event.stream, String(event.bytes));
        else seen.push(String(event.result.exitCode), event.result.stdout);
    }
    const run: Run = await terox.start('cat', { agent: 'a', timeoutMs: 60000 });
    const input = await run.writeStdin('hello\n');
    await run.writeStdin(new Uint8Array([104, 105]), { eof: true });
    const part = await run.output({ offset: 3 });
    for await (const event of run.events({ lastEventId: part.nextOffset })) {
        if (event.kind === 'exit') seen.push(event.result.state, String(event.id));
    }
    const stopped: boolean = await run.kill();
    try {
        const final: RunStatus = await run.wait({ timeoutMs: 1000 });
        seen.push(String(final.exitCode ?? final.error));
    } catch (err) {
        if (err instanceof RunTimeout) seen.push(err.message);
    }
    const listed: RunStatus[] = await terox.runs({ agent: 'a' });
    const again: Run = terox.run(listed[0]?.runId ?? run.id);
    const state: 'running' | 'exited' = (await again.status()).state;
    return [...seen, input.written, input.stdinOpen, part.dropped, stopped, state].join();
}

export async function misuse(terox: Terox): Promise<void> {
    // @ts-expect-error the password field is pass
    new Terox({ url: 'x', auth: { user: 'u', password: 'p' } });
    // @ts-expect-error tokens are counted in camelCase
    await terox.exec('ls', { tokens_in: 5 });
    // @ts-expect-error exitCode is a number
    const code: string = (await terox.exec('ls')).exitCode;
    // @ts-expect-error write needs content
    await terox.write('/tmp/x');
    // @ts-expect-error the time-out of one run is camelCase
    await terox.exec('ls', { timeout_ms: 5 });
    // @ts-expect-error the order is oldest or newest
    await terox.audit('a', { order: 'latest' });
    // @ts-expect-error environment values are strings
    await terox.exec('ls', { env: { N: 1 } });
    // @ts-expect-error a background run takes its stdin through writeStdin
    await terox.start('cat', { stdin: 'x' });
    // @ts-expect-error eof is an option
    await (await terox.start('cat')).writeStdin('x', true);
    for await (const event of terox.stream('ls')) {
        // @ts-expect-error only the exit event has a result
        if (event.kind === 'stdout') void event.result.exitCode;
    }
    void code;
}

// Compiled (never run) against clients/js/index.d.ts: the declarations must accept the
// documented use and refuse misuse (each @ts-expect-error line must be an error).
import { Terox, SandboxError, PolicyRefused, RateLimited, AuthError, type ExecResult } from 'cindervox';

export async function documentedUse(): Promise<string> {
    const terox = new Terox({ url: 'http://127.0.0.1:7575', auth: { user: 'terox', pass: 'wickerpod' } });
    const byToken = new Terox({ url: 'http://127.0.0.1:7575', token: 't', agent: 'bot', timeoutMs: 1000 });
    const result: ExecResult = await terox.exec('echo hello', { agent: 'my-agent', model: 'm', tokensIn: 1, tokensOut: 2 });
    const code: number = result.exitCode;
    const files: string[] = result.files;
    const written = await terox.write('/tmp/x', 'x', { agent: 'a' });
    const read = await byToken.read('/tmp/x');
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
        entries.length, policy.blacklist.length].join();
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
    void code;
}

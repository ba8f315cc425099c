// Headless Chromium's own fetch against a real sandbox: 50 commands from a page of the
// server's origin, paced under the global limit of 20 requests per second; every answer
// must parse and carry the command's output.
import { describe, test, before, after } from 'node:test';
import assert from 'node:assert/strict';
import { startInstance, launchBrowser, stopAll, DEFAULT_AUTH } from './lib.mjs';

let server, browser, page;

describe('Chromium fetch against /api/exec', () => {
    before(async () => {
        server = await startInstance({ mode: 'basic' });
        browser = await launchBrowser();
        page = await browser.newPage();
        // A page of the server's own origin that runs no script of its own, so the calls
        // below need no preflight and nothing else counts against the global limit.
        await page.goto(server.url + '/about');
    });

    after(async () => {
        if (browser) await browser.close();
        await stopAll();
    });

    test('50 commands, every answer right', async () => {
        const answers = await page.evaluate(async ({ auth, count }) => {
            const out = [];
            for (let i = 0; i < count; i++) {
                const res = await fetch('/api/exec', {
                    method: 'POST',
                    headers: { Authorization: auth, 'Content-Type': 'application/json', 'X-Agent': 'chromium' },
                    body: JSON.stringify({ cmd: `echo chromium ${i}` }),
                });
                out.push({ status: res.status, body: await res.json() });
                await new Promise(r => setTimeout(r, 1000 / 15));
            }
            return out;
        }, { auth: DEFAULT_AUTH, count: 50 });
        assert.equal(answers.length, 50);
        answers.forEach(({ status, body }, i) => {
            assert.equal(status, 200, JSON.stringify(body));
            assert.equal(body.ok, true);
            assert.equal(body.stdout, `chromium ${i}\n`);
            assert.equal(body.exit_code, 0);
        });
    });
});

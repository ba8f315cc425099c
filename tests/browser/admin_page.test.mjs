// The admin page end to end: each test starts its own sandbox-server (kernel isolation,
// its own directories), seeds it over raw HTTP, and drives the page the server serves in
// headless Chromium against the real endpoints. Exact renderer edges are covered with
// answers given inside the browser in admin_page_render.test.mjs.
import { after, afterEach, before, beforeEach, describe, test } from 'node:test';
import assert from 'node:assert/strict';
import { exec, launchBrowser, request, screenshot, startInstance, stopAll } from './lib.mjs';
import { COLORS, assertNothingInjected, openAdminPage, styleOf, waitForText } from './admin_support.mjs';

const POLL_WAIT = 8000;
let browser;
let server;
let page;

before(async () => { browser = await launchBrowser(); });
after(async () => {
    if (browser) await browser.close();
    await stopAll();
});
beforeEach(async () => { server = await startInstance(); });
afterEach(async () => {
    if (page) await page.context().close();
    page = null;
    await server.stop();
});

async function open(options = {}) {
    ({ page } = await openAdminPage(browser, server, options));
    return page;
}

function section(label) { return page.click(`#sidebar nav a:has-text("${label}")`); }

async function health() { return (await request(server, 'GET', '/api/health')).json(); }

describe('login', () => {
    test('the page needs the login and carries the credential it was served with', async () => {
        await server.stop();
        server = await startInstance({ files: { config: 'ops:correct-horse-9\nport=7575\n' } });
        const anonymous = await request(server, 'GET', '/', { auth: false });
        assert.equal(anonymous.status, 401);
        assert.ok(!anonymous.body.includes('<html'));

        const wrong = await browser.newPage({ credentials: { username: 'ops', password: 'wrong' } });
        const refused = await wrong.goto(server.url + '/');
        assert.equal(refused.status(), 401);
        await wrong.context().close();

        await open({ credentials: { username: 'ops', password: 'correct-horse-9' } });
        assert.equal(await page.title(), 'Cindervox Admin');
        const b64 = Buffer.from('ops:correct-horse-9').toString('base64');
        const html = (await request(server, 'GET', '/', { auth: 'Basic ' + b64 })).body;
        assert.ok(html.includes(`<script>const H='Authorization';const T='Basic ${b64}';`));
        await section('Connect Agents');
        assert.equal(await page.textContent('#conn-user'), 'ops');
        await page.click('#eye-icon');
        assert.equal(await page.textContent('#conn-pass'), 'correct-horse-9');
        await waitForText(page, '#conn-url', server.url, POLL_WAIT);
        assert.deepEqual(page.events.errors, []);
    });
});

describe('overview', () => {
    test('polling fills the cards, the agent table and the audit log', async () => {
        const one = await exec(server, 'echo one', { agent: 'bot-1', extra: { tokens_in: 1200, model: 'gpt-x' } });
        assert.equal(one.status, 200, one.body);
        assert.equal((await exec(server, 'rm -rf /', { agent: 'bot-1' })).status, 403);
        await open();
        await waitForText(page, '#ov-agents', 'bot-1', POLL_WAIT);
        assert.equal(await page.textContent('#execs'), '1');
        assert.equal(await page.textContent('#blocked'), '1');
        assert.equal(await page.textContent('#agents-count'), '1');
        assert.equal(await page.textContent('#isolation'), 'kernel');
        assert.equal(await styleOf(page, '#isolation', 'color'), COLORS.accent);
        assert.equal(await page.textContent('#plimits'), 'Time-out 5 s \u00b7 Memory 64 MiB \u00b7 CPU 5 s');
        const row = await page.$$eval('#ov-agents tr:first-child td', tds => tds.map(td => td.textContent));
        assert.deepEqual([row[1], row[2], row[3], row[6], row[9]], ['bot-1', '1', '1', '1K', 'gpt-x']);
        assert.match(row[10], /^(just now|\d+ s ago)$/);
        await waitForText(page, '#audit-log', 'EXEC OK "echo one"', POLL_WAIT);
        await waitForText(page, '#audit-log', 'BLOCK BLACKLIST "rm -rf /"', POLL_WAIT);

        assert.equal((await exec(server, 'echo two', { agent: 'bot-2' })).status, 200);
        await waitForText(page, '#execs', '2', POLL_WAIT);
        await waitForText(page, '#ov-agents', 'bot-2', POLL_WAIT);
        await screenshot(page, 'overview', { scroller: '#main' });
    });

    test('the terminal runs a command and shows its output', async () => {
        await open();
        await page.fill('#cmd', 'echo hello-from-the-page');
        await page.press('#cmd', 'Enter');
        // The echoed command line holds the same words: wait for the line the command printed,
        // or the next command would be typed while this one still runs.
        await waitForText(page, '#out', 'hello-from-the-page\nhello-from-the-page\n', POLL_WAIT);
        await page.fill('#cmd', 'rm -rf /');
        await page.press('#cmd', 'Enter');
        await waitForText(page, '#out', 'BLOCKED: command blocked by blacklist', POLL_WAIT);
        assert.equal(await page.textContent('#out'),
            '$ echo hello-from-the-page\nhello-from-the-page\n$ rm -rf /\nBLOCKED: command blocked by blacklist\n');
        await waitForText(page, '#execs', '1', POLL_WAIT);
        await waitForText(page, '#audit-log', ' admin EXEC OK "echo hello-from-the-page"', POLL_WAIT);
    });

    test('a command with double quotes reaches the shell as typed', async () => {
        await open();
        await page.fill('#cmd', 'echo "hi"');
        await page.press('#cmd', 'Enter');
        await waitForText(page, '#out', '$ echo "hi"\nhi\n', POLL_WAIT);
        await page.fill('#cmd', 'echo "a \\"b\\" c"');
        await page.press('#cmd', 'Enter');
        await waitForText(page, '#out', '$ echo "a \\"b\\" c"\na "b" c\n', POLL_WAIT);
    });

    test('the audit filter asks the server for one agent', async () => {
        assert.equal((await exec(server, 'echo a', { agent: 'alpha' })).status, 200);
        assert.equal((await exec(server, 'echo b', { agent: 'beta' })).status, 200);
        await open();
        await waitForText(page, '#audit-log', ' beta EXEC', POLL_WAIT);
        await page.locator('#af').pressSequentially('alpha', { delay: 30 });
        await page.waitForFunction(() => {
            const text = document.querySelector('#audit-log').textContent;
            return text.includes(' alpha EXEC') && !text.includes(' beta EXEC');
        }, null, { timeout: 3000 });
        await page.fill('#af', 'nobody');
        await waitForText(page, '#audit-log', 'No entries', 3000);
    });
});

describe('policies', () => {
    test('switching the profile recolours the buttons and changes the limits', async () => {
        await open();
        await section('Security');
        await waitForText(page, '#lim-cpu', '5 s', POLL_WAIT);
        await page.click('#prof-2');
        await page.waitForFunction(() => document.querySelector('#profile').textContent === 'permissive', null, { timeout: POLL_WAIT });
        assert.equal(await styleOf(page, '#prof-2', 'backgroundColor'), COLORS.danger);
        assert.equal(await styleOf(page, '#prof-0', 'backgroundColor'), COLORS.border);
        assert.equal(await page.textContent('#lim-cpu'), '5 min');
        assert.equal(await page.textContent('#lim-timeout'), '5 min');
        assert.equal((await health()).profile, 'permissive');
        await screenshot(page, 'security', { scroller: '#main' });
        await section('Overview');
        await page.selectOption('#ov-prof', '1');
        await page.waitForFunction(() => document.querySelector('#profile').textContent === 'moderate', null, { timeout: POLL_WAIT });
        assert.equal(await styleOf(page, '#prof-1', 'backgroundColor'), COLORS.warning);
    });

    test('rules are added and removed through the lists, and the preview uses them', async () => {
        await open();
        await section('Policies');
        await waitForText(page, '#bl-list', 'rm -rf /', POLL_WAIT);
        await page.fill('#bl-input', 'forbidden-word');
        await page.press('#bl-input', 'Enter');
        await waitForText(page, '#bl-list', 'forbidden-word', POLL_WAIT);
        await page.fill('#wl-input', 'git');
        await page.click('#sec-policies .btn-primary');
        await waitForText(page, '#wl-list', 'git', POLL_WAIT);
        let p = (await request(server, 'GET', '/api/policy')).json();
        assert.equal(p.blacklist.at(-1), 'forbidden-word');
        assert.equal(p.whitelist.at(-1), 'git');

        const preview = async cmd => {
            await page.fill('#test-cmd', cmd);
            await page.click('#sec-policies button:has-text("Test")');
            await page.waitForFunction(c => document.querySelector('#test-cmd-result').dataset.seen !== c
                && document.querySelector('#test-cmd-result').textContent !== '', cmd);
            const text = await page.textContent('#test-cmd-result');
            await page.$eval('#test-cmd-result', (e, c) => { e.dataset.seen = c; e.textContent = ''; }, cmd);
            return text;
        };
        const judged = ' \u2014 anonymous, strict profile, bytes matcher';
        assert.equal(await preview('echo forbidden-word'), 'BLOCKED \u2014 blacklist: forbidden-word' + judged);
        assert.equal(await preview('git status'), 'ALLOWED \u2014 this command would execute' + judged);
        assert.equal(await preview('vim x'), 'BLOCKED \u2014 not in whitelist (strict mode): vim' + judged);
        assert.equal((await exec(server, 'vim x')).status, 403, 'the preview judges as the server does');
        await screenshot(page, 'policies', { scroller: '#main' });

        await page.click('#bl-list .rule:has-text("forbidden-word") button');
        await page.waitForFunction(() => !document.querySelector('#bl-list').textContent.includes('forbidden-word'), null, { timeout: POLL_WAIT });
        p = (await request(server, 'GET', '/api/policy')).json();
        assert.ok(!p.blacklist.includes('forbidden-word'));
        assert.equal((await exec(server, 'echo forbidden-word')).status, 200, 'the removed rule no longer refuses');
    });
});

describe('budgets and settings', () => {
    test('Set stores a budget and the usage bar shows how much is spent', async () => {
        assert.equal((await exec(server, 'echo spend', { agent: 'spender', extra: { tokens_in: 950 } })).status, 200);
        await open();
        await section('Token Budgets');
        await waitForText(page, '#budget-body', 'spender', POLL_WAIT);
        page.onDialog = d => d.accept('1000');
        await page.click('#budget-body tr:has-text("spender") button');
        await page.waitForFunction(() => document.querySelector('#budget-body .bar > div'), null, { timeout: POLL_WAIT });
        const [width, color] = await page.$eval('#budget-body .bar > div', f => [f.getBoundingClientRect().width, getComputedStyle(f).backgroundColor]);
        assert.deepEqual([width, color], [95, COLORS.danger]);
        const agents = (await request(server, 'GET', '/api/agents')).json().agents;
        assert.equal(agents.find(a => a.name === 'spender').token_budget, 1000);
        await screenshot(page, 'budgets', { scroller: '#main' });
    });

    test('rate and timeout are checked in the page and saved by the server', async () => {
        await open();
        await section('Settings');
        await page.fill('#set-rate', '0');
        await page.click('#set-rate ~ button');
        await waitForText(page, '#rate-result', 'Invalid (1-1000)');
        await page.fill('#set-rate', '50');
        await page.click('#set-rate ~ button');
        await waitForText(page, '#rate-result', 'Rate limit: 50/min (saved)', POLL_WAIT);
        await page.fill('#set-timeout', '2000');
        await page.click('#set-timeout ~ button');
        // The time-out lasts until the next profile change, and the answer says so.
        await waitForText(page, '#timeout-result', 'Timeout: 2000ms (not saved: no file holds the time-out', POLL_WAIT);
        const h = await health();
        assert.equal(h.max_rate_per_agent, 50);
        assert.equal(h.timeout_ms, 2000);
        await waitForText(page, '#usage-execs', '0');
        await screenshot(page, 'settings', { scroller: '#main' });
    });

    test('new credentials take effect at once and the old login stops working', async () => {
        await open();
        await section('Settings');
        await page.fill('#set-user', 'ops');
        await page.fill('#set-pass', 'short');
        await page.click('button:has-text("Update Credentials")');
        await waitForText(page, '#pass-result', 'Password must be at least 8 characters');
        await page.fill('#set-pass', 'battery-staple');
        await page.click('button:has-text("Update Credentials")');
        await waitForText(page, '#pass-result', 'Credentials updated. Reload the page and login with the new credentials.', POLL_WAIT);
        assert.equal((await request(server, 'GET', '/api/health')).status, 401);
        const fresh = 'Basic ' + Buffer.from('ops:battery-staple').toString('base64');
        assert.equal((await request(server, 'GET', '/api/health', { auth: fresh })).status, 200);
        assert.equal(await page.textContent('#conn-user'), 'ops');
    });

    test('reset clears the counters only after the operator confirms', async () => {
        assert.equal((await exec(server, 'echo before-reset', { agent: 'bot' })).status, 200);
        await open();
        await waitForText(page, '#execs', '1', POLL_WAIT);
        await section('Settings');
        page.onDialog = d => d.dismiss();
        await page.click('button:has-text("Reset Everything")');
        await page.waitForTimeout(300);
        assert.equal((await health()).total_execs, 1);
        page.onDialog = d => d.accept();
        await page.click('button:has-text("Reset Everything")');
        await waitForText(page, '#reset-result', 'Sandbox reset', POLL_WAIT);
        await page.waitForFunction(() => document.querySelector('#execs').textContent === '0', null, { timeout: POLL_WAIT });
        assert.equal((await health()).total_execs, 0);
        await section('Overview');
        await waitForText(page, '#audit-log', 'RESET OK', POLL_WAIT);
        await waitForText(page, '#ov-agents', 'No agents connected', POLL_WAIT);
    });
});

describe('connect agents', () => {
    test('the connection test round-trips and the snippets name this server', async () => {
        await open();
        await section('Connect Agents');
        await page.click('#test-btn');
        await page.waitForFunction(() => /^Connected \(\d+ ms\)$/.test(document.querySelector('#test-result').textContent), null, { timeout: POLL_WAIT });
        assert.ok((await page.textContent('#snip-curl')).includes(`-d '{"cmd":"echo hello"}' ${server.url}/api/exec`));
        await waitForText(page, '#conn-url', server.url, POLL_WAIT);
        await screenshot(page, 'connect-agents', { scroller: '#main' });
    });
});

describe('agent profiles', () => {
    test('the Profile select gives one agent its own profile and its next run follows it', async () => {
        assert.equal((await exec(server, 'id', { agent: 'roomy' })).status, 403);
        await open();
        await section('Connect Agents');
        await waitForText(page, '#agent-body', 'roomy', POLL_WAIT);
        await page.selectOption('#agent-body tr:has-text("roomy") select', 'permissive');
        await waitForText(page, '#agent-profile-result', 'roomy: permissive (its own profile)', POLL_WAIT);
        const record = (await request(server, 'GET', '/api/agents')).json().agents.find(a => a.name === 'roomy');
        assert.deepEqual([record.profile, record.profile_own], ['permissive', true]);
        assert.equal((await exec(server, 'id', { agent: 'roomy' })).status, 200);
        assert.equal((await exec(server, 'id', { agent: 'other' })).status, 403, 'other agents keep the global profile');
        await page.waitForFunction(() => document.querySelector('#agent-body select').value === 'permissive', null, { timeout: POLL_WAIT });
        await page.selectOption('#agent-body tr:has-text("roomy") select', 'global');
        await waitForText(page, '#agent-profile-result', 'roomy: strict (the global profile)', POLL_WAIT);
        assert.equal((await exec(server, 'id', { agent: 'roomy' })).status, 403);
    });
});

describe('agent tokens', () => {
    test('the Agents list shows the token-bound names and never a token', async () => {
        await server.stop();
        const hostile = '<img src=x onerror=alert(1)>';
        server = await startInstance({ files: { agents: `coder:tok-secret-1\n${hostile}:tok-secret-2\n` } });
        await open();
        await section('Connect Agents');
        await page.waitForFunction(() => document.querySelectorAll('#token-agents .name').length === 2, null, { timeout: POLL_WAIT });
        assert.deepEqual(await page.$$eval('#token-agents .name', ns => ns.map(n => n.textContent)), ['coder', hostile]);
        assert.ok(!(await page.content()).includes('tok-secret'));
        await assertNothingInjected(page);
    });
});

describe('cross-site requests', () => {
    // A page of another origin that the operator opens after using the dashboard: its form
    // posts text/plain, which needs no preflight, and the browser adds the login it holds.
    async function submitFromOtherSite(path, field, value) {
        const evil = await page.context().newPage();
        const form = `<form method=post enctype=text/plain action="${server.url}${path}">` +
            `<input type=hidden name='${field}' value='${value}'></form><script>document.forms[0].submit()</script>`;
        await evil.route('http://evil.test/**', route => route.fulfill({ contentType: 'text/html', body: form }));
        const answer = evil.waitForResponse(r => r.url() === server.url + path && r.status() !== 401);
        await evil.goto('http://evil.test/');
        const response = await answer;
        const result = [response.status(), await response.text()];
        await evil.close();
        return result;
    }

    test('a form posted from another origin changes nothing, and the page still works', async () => {
        await open();
        await waitForText(page, '#profile', 'strict', POLL_WAIT);
        const refused = [403, '{"ok":false,"error":"cross-site request refused"}'];
        assert.deepEqual(await submitFromOtherSite('/api/profile', '{"profile":2,"x":"', '"}'), refused);
        assert.deepEqual(await submitFromOtherSite('/api/exec', '{"cmd":"echo pwned","x":"', '"}'), refused);
        assert.equal((await health()).profile, 'strict');
        const audit = (await request(server, 'GET', '/api/audit')).json().entries;
        assert.ok(!audit.some(e => e.includes(' EXEC ')), 'no command ran');
        assert.equal(audit.filter(e => e.includes('BLOCK CROSS_SITE')).length, 2);
        await section('Security');
        await page.click('#prof-1');
        await page.waitForFunction(() => document.querySelector('#profile').textContent === 'moderate', null, { timeout: POLL_WAIT });
        assert.equal((await health()).profile, 'moderate');
    });
});

describe('server text stays text', () => {
    test('markup in output, audit, agent, model and rule names is shown, not run', async () => {
        const img = n => `<img src=x onerror=alert(${n})>`;
        const echoed = await exec(server, `echo '${img(1)}'`, { agent: img(2), extra: { model: '<b id=xm>m</b>' } });
        assert.equal(echoed.status, 200, echoed.body);
        const added = await request(server, 'POST', '/api/policy', { body: { action: 'add_bl', rule: img(3) } });
        assert.equal(added.status, 200, added.body);
        await open();
        await waitForText(page, '#ov-agents', img(2), POLL_WAIT);
        await waitForText(page, '#ov-agents', '<b id=xm>m</b>', POLL_WAIT);
        await waitForText(page, '#audit-log', `EXEC OK "echo '${img(1)}'"`, POLL_WAIT);
        await page.fill('#cmd', `echo '${img(4)}'`);
        await page.press('#cmd', 'Enter');
        await waitForText(page, '#out', img(4) + '\n', POLL_WAIT);
        await section('Policies');
        await waitForText(page, '#bl-list', img(3), POLL_WAIT);
        await section('Connect Agents');
        await waitForText(page, '#agent-body', img(2), POLL_WAIT);
        await section('Token Budgets');
        await waitForText(page, '#budget-body', img(2), POLL_WAIT);
        await page.waitForTimeout(500);
        await assertNothingInjected(page);
    });
});

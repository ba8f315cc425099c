// The fleet page in headless Chromium, watching two real sandboxes: sandbox-01 on this
// namespace's loopback with the built-in login, and sandbox-02 in a namespace of its own
// at 192.168.77.2, joined to this one by a veth pair, with a login of its own that only
// the fleet file gives the page. The dashboard itself shares this namespace; the browser
// logs in as admin and everything after that goes from the page straight to the
// sandboxes.
import { describe, test, before, after } from 'node:test';
import assert from 'node:assert/strict';
import { startInstance, launchBrowser, screenshot, stopAll, exec as execDefault, request as requestDefault, sleep } from './lib.mjs';

const FLEET = 'http://localhost:8888';
const RED = 'rgb(239, 68, 68)';
const ACCENT = 'rgb(0, 212, 170)';
const HOSTILE = '<img src=x onerror=alert(1)>';

const TWO_LOGIN = 'ops:tidewater-9';
const TWO_AUTH = 'Basic ' + Buffer.from(TWO_LOGIN).toString('base64');
const FLEET_FILE = '# watched by the page\r\n'
    + 'sandbox-01 http://localhost:7575\r\n'
    + 'sandbox-02 http://192.168.77.2:7575 ' + TWO_LOGIN + '\r\n';

let one, two, fleet, browser, page;
const posts = [];

// The test's own calls use each sandbox's login.
const authOf = box => (box === two ? TWO_AUTH : undefined);
const request = (box, method, target, opts = {}) => requestDefault(box, method, target, { auth: authOf(box), ...opts });
const exec = (box, cmd, opts = {}) => execDefault(box, cmd, { auth: authOf(box), ...opts });

describe('fleet page with two sandboxes', () => {
    before(async () => {
        one = await startInstance();
        two = await startInstance({ address: '192.168.77.2', files: { config: TWO_LOGIN + '\n' } });
        fleet = await startInstance({ program: 'fleet-dashboard', ready: 'Login: admin / wickerpod',
            files: { fleet: FLEET_FILE } });
        // Each sandbox already holds a run and a refusal for an agent with a hostile name.
        for (const box of [one, two]) {
            await exec(box, 'echo seeded');
            await exec(box, 'rm -rf /', { agent: HOSTILE });
        }
        browser = await launchBrowser();
        page = await browser.newPage({ credentials: { username: 'admin', password: 'wickerpod', origin: FLEET } });
        page.on('request', r => { if (r.method() === 'POST') posts.push({ url: r.url(), headers: r.headers() }); });
    });

    after(async () => {
        if (browser) await browser.close();
        await stopAll();
    });

    async function waitText(selector, expected, timeout = 15000) {
        await page.waitForFunction(([sel, want]) => {
            const el = document.querySelector(sel);
            return el && (want instanceof RegExp ? want.test(el.textContent) : el.textContent === want);
        }, [selector, expected], { timeout });
    }

    const text = selector => page.textContent(selector);
    const color = selector => page.$eval(selector, el => getComputedStyle(el).color);

    test('the page needs the fleet login and loads with it', async () => {
        const refused = await request(fleet, 'GET', '/', { auth: false });
        assert.equal(refused.status, 401);
        assert.match(fleet.console(), /Fleet sandboxes from \/etc\/cindervox\/fleet:\n2\n/);
        // sandbox-02 refuses the built-in login the page would otherwise send.
        assert.equal((await requestDefault(two, 'GET', '/api/health')).status, 401);
        assert.equal(refused.headers['www-authenticate'], 'Basic realm="Cindervox Fleet"');
        const answer = await page.goto(FLEET + '/');
        assert.equal(answer.status(), 200);
        assert.equal(await page.title(), 'Cindervox Fleet');
        assert.deepEqual(await page.$$eval('#target option', os => os.map(o => [o.value, o.textContent])),
            [['0', 'sandbox-01'], ['1', 'sandbox-02']]);
    });

    test('both cards come online with their sandbox counters', async () => {
        await page.waitForSelector('#d0.dot.on');
        await page.waitForSelector('#d1.dot.on');
        await waitText('#s-online', '2/2');
        await waitText('#s-sandboxes', '2');
        const h1 = (await request(one, 'GET', '/api/health')).json();
        const h2 = (await request(two, 'GET', '/api/health')).json();
        for (const [i, h] of [[0, h1], [1, h2]]) {
            assert.equal(await text(`#bl${i}`), String(h.blocked_cmds || 0));
            assert.equal(await text(`#by${i}`), String(h.bytes_captured || 0));
            assert.equal(await text(`#ag${i}`), String(h.agents_count || 0));
            assert.equal(await text(`#sb${i}`), '1');
            assert.match(await text(`#up${i}`), /^\d+s$/);
            assert.equal(await text(`#prof${i}`), h.profile);
            assert.equal(await page.getAttribute(`#prof${i}`, 'class'), 'badge ' + h.profile);
            assert.equal(await text(`#iso${i}`), h.isolation);
        }
        assert.ok(h1.blocked_cmds >= 1 && h2.blocked_cmds >= 1);
        assert.equal(await text('#s-blocked'), String(h1.blocked_cmds + h2.blocked_cmds));
        assert.match(await text('#lastup'), /^Updated: /);
        await screenshot(page, 'fleet-online');
    });

    test('audit entries from the sandboxes are shown as text, refusals in red', async () => {
        await page.waitForSelector('#audit-log .audit-entry');
        const entries = await page.$$eval('#audit-log .audit-entry', els => els.map(e => ({
            text: e.textContent, cls: e.className, color: getComputedStyle(e).color,
        })));
        assert.ok(entries.every(e => /^\[sandbox-0[12]\] \[\d+\] /.test(e.text)), JSON.stringify(entries));
        const refusals = entries.filter(e => e.text.includes('] BLOCK BLACKLIST '));
        assert.ok(refusals.length >= 1, JSON.stringify(entries));
        for (const e of refusals) {
            assert.equal(e.cls, 'audit-entry audit-blocked');
            assert.equal(e.color, RED);
        }
        for (const e of entries.filter(e => e.text.includes('] EXEC ')))
            assert.equal(e.cls, 'audit-entry');
        // The hostile agent name arrives as characters, not as an element.
        assert.ok(entries.some(e => e.text.includes('[' + HOSTILE + ']')), JSON.stringify(entries));
        assert.equal(await page.$$eval('#audit-log img', els => els.length), 0);
        assert.deepEqual(page.events.dialogs, []);
    });

    test('a command runs on sandbox-02 through the page', async () => {
        const cmd = "echo '<b>fleet-hello</b>'";
        const before = (await request(two, 'GET', '/api/health')).json();
        await page.selectOption('#target', '1');
        await page.fill('#cmd', cmd);
        await page.press('#cmd', 'Enter');
        await waitText('#exec-out', /^\$ echo /);
        // The output is shown as the characters the command printed.
        assert.equal(await text('#exec-out'), '$ ' + cmd + '\n<b>fleet-hello</b>\n');
        assert.equal(await page.$$eval('#exec-out b', els => els.length), 0);
        assert.equal(await color('#exec-out'), ACCENT);
        assert.equal(await page.inputValue('#cmd'), '');
        const sent = posts.filter(p => p.url === 'http://192.168.77.2:7575/api/exec');
        assert.equal(sent.length, 1);
        assert.equal(sent[0].headers['content-type'], 'application/json');
        assert.equal(sent[0].headers.authorization, TWO_AUTH);
        const after = (await request(two, 'GET', '/api/health')).json();
        assert.equal(after.total_execs, before.total_execs + 1);
        const audit = (await request(two, 'GET', '/api/audit')).json();
        assert.ok(audit.entries.some(e => e.includes('"' + cmd + '"')), JSON.stringify(audit));
        await screenshot(page, 'fleet-exec');
    });

    test('a blocked command shows the sandbox error in red', async () => {
        await page.selectOption('#target', '1');
        await page.fill('#cmd', 'rm -rf / ' + HOSTILE);
        await page.click('.exec-row button');
        await waitText('#exec-out', /^BLOCKED: /);
        assert.equal(await text('#exec-out'), 'BLOCKED: command blocked by blacklist');
        assert.equal(await color('#exec-out'), RED);
        // An empty command sends nothing and leaves the last answer in place.
        await page.press('#cmd', 'Enter');
        await sleep(300);
        assert.equal(await text('#exec-out'), 'BLOCKED: command blocked by blacklist');
        await screenshot(page, 'fleet-blocked');
    });

    test('a stopped sandbox turns its card offline and leaves the other online', async () => {
        await two.stop();
        await page.waitForSelector('#d1.dot.off', { timeout: 20000 });
        await waitText('#s-online', '1/2');
        assert.equal(await text('#s-sandboxes'), '1');
        assert.equal(await text('#prof1'), 'offline');
        assert.equal(await page.getAttribute('#prof1', 'class'), 'badge');
        for (const p of ['ex', 'bl', 'by', 'up', 'sb', 'iso', 'ag'])
            assert.equal(await text(`#${p}1`), '--');
        assert.equal(await page.getAttribute('#d0', 'class'), 'dot on');
        assert.deepEqual(page.events.errors, []);
        await screenshot(page, 'fleet-offline');
    });
});

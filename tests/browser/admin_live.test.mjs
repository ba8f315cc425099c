// The admin page against a real server, for what only the live server can show: the
// profile select after a change made through the API, the Security page under each
// profile, the audit log newest first with its filters and pages, an agent's page and its
// reset, the narrow layout, the console's streamed output, stopping a run, the history
// chart of the test's own runs, and the README's snippets.
import { after, before, beforeEach, describe, test } from 'node:test';
import assert from 'node:assert/strict';
import fs from 'node:fs';
import path from 'node:path';
import { ROOT, exec, launchBrowser, request, screenshot, sleep, startInstance, stopAll } from './lib.mjs';
import { assertNothingInjected, openAdminPage, waitForText } from './admin_support.mjs';

const WAIT = 8000;
const POLICY = '[config]\nprofile=1\n[blacklist]\ncurl\nrm -rf /\n[whitelist]\nls\necho\n';
let browser;
let server;
let page;

before(async () => {
    browser = await launchBrowser();
    // Agent uids of its own, apart from the default range other servers on the host use.
    server = await startInstance({ files: { 'policy.conf': POLICY, config: 'uid_base=20000\n' } });
});
after(async () => {
    if (browser) await browser.close();
    await stopAll();
});
beforeEach(async () => {
    if (page) await page.context().close();
    page = null;
});

async function open(options = {}) {
    ({ page } = await openAdminPage(browser, server, options));
    return page;
}

function section(label) { return page.click(`#sidebar nav a:has-text("${label}")`); }

async function setProfile(p) {
    const r = await request(server, 'POST', '/api/profile', { body: { profile: p } });
    assert.equal(r.status, 200);
}

describe('profiles', () => {
    test('the select follows a profile change made through the API, and choosing sends it', async () => {
        await setProfile(2);
        await open();
        await page.waitForFunction(() => document.getElementById('ov-prof').value === '2', null, { timeout: WAIT });
        await setProfile(0);
        await page.waitForFunction(() => document.getElementById('ov-prof').value === '0', null, { timeout: WAIT });
        await waitForText(page, '#profile', 'strict', WAIT);
        // Strict shows as chosen, so picking Moderate is a change and reaches the server.
        await page.selectOption('#ov-prof', '1');
        await waitForText(page, '#profile', 'moderate', WAIT);
        assert.equal((await request(server, 'GET', '/api/health')).json().profile, 'moderate');
        assert.deepEqual(page.events.errors, []);
    });

    test('the Security page shows the profile in force, its limits and the layers of this mode', async () => {
        await open();
        await section('Security');
        const expected = {
            0: { name: 'strict', timeout: '5 s', mem: '64 MiB', procs: '16', fsize: '10 MiB', nofile: '32', note: 'whitelist admits' },
            1: { name: 'moderate', timeout: '30 s', mem: '256 MiB', procs: '16', fsize: '50 MiB', nofile: '64', note: 'no whitelist' },
            2: { name: 'permissive', timeout: '5 min', mem: '1.0 GiB', procs: '50', fsize: '100 MiB', nofile: '256', note: 'No profile turns the rules off' },
        };
        for (const p of [0, 1, 2]) {
            await setProfile(p);
            const e = expected[p];
            await waitForText(page, '#prof-table tr.on', e.name + ' (in force)', WAIT);
            assert.equal(await page.$$eval('#prof-table tr.on', rows => rows.length), 1);
            assert.deepEqual(await page.$eval('#sec-limits', n => [...n.querySelectorAll('span:not(.lbl)')].map(s => s.textContent)),
                [e.timeout, e.timeout, e.mem, e.procs, e.fsize, e.nofile]);
            assert.ok((await page.textContent('#prof-note')).includes(e.note));
            assert.equal(await page.$eval('#prof-2', b => getComputedStyle(b).backgroundColor), p === 2 ? 'rgb(255, 107, 107)' : 'rgb(30, 45, 74)');
        }
        // Under permissive the blacklist still refuses, and the page says so.
        const refused = await exec(server, 'curl x', { agent: 'perm-bot' });
        assert.equal(refused.status, 403);
        assert.match(await page.textContent('#prof-table'), /permissive \(in force\)screen, blacklist/);
        // The layers are the health report's: this server runs as root.
        const h = (await request(server, 'GET', '/api/health')).json();
        const layers = await page.$$eval('#layers tr', rows => Object.fromEntries(rows.map(r => [r.cells[0].textContent, r.cells[1].textContent])));
        assert.equal(layers.Jail, h.layers.includes('jail') ? 'yes' : 'no');
        assert.equal(layers.Namespaces, h.layers.includes('namespaces') ? 'yes' : 'no');
        assert.equal(layers['Control groups'], h.cgroups ? 'yes' : 'no');
        assert.equal(layers.Landlock, h.landlock > 0 ? 'yes' : 'no');
        assert.equal(layers.Workspace, 'yes');
        const text = await page.textContent('#sec-security');
        assert.ok(!text.includes('socket() does not exist'));
        assert.ok(!text.toLowerCase().includes('chroot'));
        assert.ok(text.includes('kernel isolation (started as root)'));
        await screenshot(page, 'admin-live-security', { scroller: '#main' });
        await setProfile(1);
    });
});

describe('audit log', () => {
    test('newest first, paged, filtered by agent and action, and exported as shown', async () => {
        for (let i = 1; i <= 22; i++) await exec(server, 'echo step-' + i, { agent: 'pager' });
        await exec(server, 'curl evil', { agent: 'pager' });
        await exec(server, 'echo other', { agent: 'someone' });
        await open();
        await waitForText(page, '#audit-log', 'echo other', WAIT);
        const lines = () => page.$$eval('#audit-log > div', ds => ds.map(d => d.textContent));
        const first = await lines();
        assert.ok(first[0].includes('someone EXEC OK "echo other"'), first[0]);
        assert.ok(first[1].includes('pager BLOCK BLACKLIST "curl evil"'), first[1]);
        assert.match(first[0], /^\d{4}-\d\d-\d\d \d\d:\d\d:\d\d /);
        assert.ok(!/^\[\d+\]/.test(first[0]), 'epoch seconds shown');
        assert.equal(first.length, 20);

        await page.fill('#af', 'pager');
        await waitForText(page, '#au-range', 'of 23', WAIT);
        assert.equal(await page.textContent('#au-range'), '1\u201320 of 23');
        assert.ok((await lines()).every(l => l.includes(' pager ')));
        assert.equal(await page.$eval('#au-newer', b => b.disabled), true);
        await page.click('#au-older');
        await waitForText(page, '#au-range', '21\u201323 of 23', WAIT);
        const older = await lines();
        assert.deepEqual(older.map(l => l.match(/"(.*)"/)[1]), ['echo step-3', 'echo step-2', 'echo step-1']);
        assert.equal(await page.$eval('#au-older', b => b.disabled), true);
        // The page stays where the operator is across polls.
        await sleep(3500);
        assert.equal(await page.textContent('#au-range'), '21\u201323 of 23');

        const [download] = await Promise.all([page.waitForEvent('download'), page.click('button:has-text("Export shown")')]);
        const saved = JSON.parse(fs.readFileSync(await download.path(), 'utf8'));
        assert.equal(download.suggestedFilename(), 'cindervox-audit-view.json');
        assert.deepEqual([saved.agent, saved.offset, saved.entries.length], ['pager', 20, 3]);
        assert.ok(saved.entries[0].includes('"echo step-3"'));

        await page.selectOption('#aa', 'BLOCK');
        await waitForText(page, '#au-range', '1\u20131 of 1', WAIT);
        assert.ok((await lines())[0].includes('BLOCK BLACKLIST "curl evil"'));
        await page.click('button:has-text("Clear")');
        await waitForText(page, '#audit-log', 'echo other', WAIT);
        assert.deepEqual(page.events.errors, []);
    });
});

describe('agent page', () => {
    test('a name opens its commands, workspace, profile and budget, and resets that agent alone', async () => {
        await exec(server, 'mkdir -p src && echo hello > src/a.txt && echo done', { agent: 'worker', extra: { tokens_in: 700, tokens_out: 300 } });
        await exec(server, 'rm -rf /', { agent: 'worker' });
        await exec(server, 'echo bystander', { agent: 'bystander' });
        await request(server, 'POST', '/api/budget', { body: { agent: 'worker', max_tokens: 4000 } });
        await open();
        await page.click('#ov-agents td.link:text-is("worker")');
        await waitForText(page, '#ag-cmds', 'mkdir -p src', WAIT);
        assert.equal(await page.textContent('#ag-name'), 'worker');
        const rows = await page.$$eval('#ag-cmds tr', rs => rs.map(r => [...r.cells].map(c => c.textContent)));
        assert.deepEqual(rows.map(r => r[1]), ['BLOCK BLACKLIST', 'EXEC OK']);
        assert.equal(rows[1][3], '0');
        assert.equal(await page.textContent('#ag-execs'), '1');
        assert.equal(await page.textContent('#ag-blocked'), '1');
        assert.match(await page.textContent('#ag-ws'), /^\d+(\.\d)? (B|KiB)$/);
        await waitForText(page, '#ag-files', 'src/', WAIT);
        assert.equal(await page.textContent('#ag-budget'), '1,000 of 4,000 tokens used (25 %)');
        assert.match(await page.textContent('#ag-limits'), /^moderate \(the global profile\): Time-out 30 s/);

        await page.selectOption('#ag-prof', 'strict');
        await waitForText(page, '#ag-prof-result', 'worker: strict (its own profile)', WAIT);
        const agents = (await request(server, 'GET', '/api/agents')).json().agents;
        assert.equal(agents.find(a => a.name === 'worker').profile, 'strict');

        page.onDialog = d => d.accept();
        await page.click('button:has-text("Reset this agent")');
        await waitForText(page, '#ag-reset-result', 'Reset; 0 run(s) cancelled', WAIT);
        await waitForText(page, '#ag-execs', '0', WAIT);
        await waitForText(page, '#ag-files', 'No files in its workspace', WAIT);
        const after = (await request(server, 'GET', '/api/agents')).json().agents;
        assert.equal(after.find(a => a.name === 'worker').execs, 0);
        assert.equal(after.find(a => a.name === 'bystander').execs, 1);
        await screenshot(page, 'admin-live-agent', { scroller: '#main' });
        await request(server, 'POST', '/api/agents/worker/profile', { body: { profile: null } });
    });
});

describe('layout', () => {
    test('at 420 px the sidebar folds away, opens from the menu, and nothing scrolls sideways', async () => {
        await open({ viewport: { width: 420, height: 800 } });
        await waitForText(page, '#ov-agents', 'worker', WAIT);
        const measure = () => page.evaluate(() => {
            const bar = document.getElementById('sidebar').getBoundingClientRect();
            const main = document.getElementById('main');
            return { visible: Math.max(0, Math.min(bar.right, innerWidth) - Math.max(bar.left, 0)), doc: document.documentElement.scrollWidth,
                main: main.scrollWidth - main.clientWidth, width: innerWidth };
        });
        for (const label of ['Overview', 'Connect Agents', 'Security', 'Settings']) {
            await page.click('#menu');
            await sleep(300);
            await section(label);
            await sleep(300);
            const m = await measure();
            assert.ok(m.visible <= m.width / 4, label + ': sidebar takes ' + m.visible + ' px');
            assert.ok(m.doc <= m.width && m.main <= 0, label + ': scrolls sideways ' + JSON.stringify(m));
        }
        await page.click('#menu');
        await sleep(300);
        assert.ok((await measure()).visible >= 200, 'the menu opens the sidebar');
        await screenshot(page, 'admin-live-narrow', { scroller: '#main' });
    });
});

describe('terminal and runs', () => {
    test('the console streams output before the command ends, as admin and without a registry slot', async () => {
        await open();
        const before = (await request(server, 'GET', '/api/agents')).json().count;
        await waitForText(page, '#term-tmp', 'each in an empty /tmp of its own', WAIT);
        // The quotes keep the echoed command line from holding the words it prints.
        await page.fill('#cmd', 'echo fir""st; sleep 2; echo sec""ond');
        const started = Date.now();
        await page.press('#cmd', 'Enter');
        await waitForText(page, '#out', 'first', WAIT);
        const firstAt = Date.now() - started;
        assert.ok(!(await page.textContent('#out')).includes('second'), 'the second line came with the first');
        await waitForText(page, '#out', 'second', WAIT);
        assert.ok(Date.now() - started - firstAt >= 1000, 'the output came at the end');
        const agents = (await request(server, 'GET', '/api/agents')).json();
        assert.equal(agents.count, before);
        assert.ok(!agents.agents.some(a => a.name === 'anonymous'));
        const entry = (await request(server, 'GET', '/api/audit?agent=admin&order=newest&limit=1')).json().entries[0];
        assert.ok(entry.includes('[admin] EXEC OK "echo fir""st; sleep 2; echo sec""ond"'), entry);
    });

    test('the runs list shows a running command and Stop ends it', async () => {
        await open();
        const answer = exec(server, 'echo going; sleep 60', { agent: 'sleeper' });
        await waitForText(page, '#runs-body', 'sleep 60', WAIT);
        const row = await page.$$eval('#runs-body tr', rs => rs.map(r => [...r.cells].map(c => c.textContent)));
        assert.deepEqual(row[0].slice(0, 3), ['sleeper', 'echo going; sleep 60', 'running']);
        assert.match(row[0][3], /^\d+(\.\d)? m?s$/);
        const started = Date.now();
        await page.click('#runs-body button:has-text("Stop")');
        const j = (await answer).json();
        assert.ok(Date.now() - started < 5000);
        assert.deepEqual([j.exit_code, j.stopped, j.stdout], [137, true, 'going\n']);
        await waitForText(page, '#runs-body', 'No commands running', WAIT);
    });

    test('Ctrl+C stops the console command it is streaming', async () => {
        await open();
        await page.fill('#cmd', 'echo waiting; sleep 60');
        await page.press('#cmd', 'Enter');
        await waitForText(page, '#out', 'waiting', WAIT);
        await page.press('#cmd', 'Control+c');
        await waitForText(page, '#out', '^C', WAIT);
        let entry = '';
        for (let i = 0; i < 50 && !entry.includes('CANCELLED'); i++) {
            entry = (await request(server, 'GET', '/api/audit?agent=admin&order=newest&limit=1')).json().entries[0];
            await sleep(100);
        }
        assert.ok(entry.includes('EXEC CANCELLED "echo waiting; sleep 60"'), entry);
        assert.equal((await request(server, 'GET', '/api/runs')).json().count, 0);
    });
});

describe('history', () => {
    test('the runs chart draws the runs of this test', async () => {
        // A second server beside the first needs agent uids of its own.
        const fresh = await startInstance({ port: 7576, files: { 'policy.conf': POLICY, config: 'port=7576\nuid_base=30000\n' } });
        try {
            for (let i = 0; i < 5; i++) await exec(fresh, 'echo ' + i, { agent: 'charted', extra: { tokens_in: 100, tokens_out: 50 } });
            await exec(fresh, 'curl x', { agent: 'charted' });
            ({ page } = await openAdminPage(browser, fresh));
            await page.waitForSelector('#charts svg.chart rect', { timeout: WAIT });
            const drawn = await page.$$eval('#charts svg.chart', charts => charts.map(c =>
                [...c.querySelectorAll('rect')].reduce((m, r) => { m[r.getAttribute('fill')] = (m[r.getAttribute('fill')] || 0) + Number(r.dataset.v); return m; }, {})));
            assert.deepEqual(drawn[0], { '#00d4aa': 5, '#ff6b6b': 1 });
            assert.deepEqual(drawn[1], { '#00d4aa': 750 });
            assert.equal(await page.textContent('#charts .legend'), 'runs 5refused 1');
            assert.ok((await page.$$eval('#charts .legend', ls => ls[1].textContent)).includes('charted'));
            await assertNothingInjected(page);
        } finally {
            await fresh.stop();
        }
    });
});

describe('connect', () => {
    test('the snippets are the README\'s marked examples with this server\'s address', async () => {
        const readme = fs.readFileSync(path.join(ROOT, 'README.md'), 'utf8').split('\n');
        const blocks = {};
        readme.forEach((line, i) => {
            const m = /^<!-- snippet ([a-z0-9-]+) -->$/.exec(line.trim());
            if (!m) return;
            let j = i + 1;
            const block = [];
            if (readme[j].startsWith('```')) for (j++; !readme[j].startsWith('```'); j++) block.push(readme[j]);
            else for (; readme[j].startsWith('    ') || (readme[j] === '' && readme[j + 1].startsWith('    ')); j++) block.push(readme[j].slice(4));
            blocks[m[1]] = (blocks[m[1]] ? blocks[m[1]] + '\n\n' : '') + block.join('\n');
        });
        await open();
        await section('Connect Agents');
        const shown = await page.$$eval('pre[id^=snip-]', ps => Object.fromEntries(ps.map(p => [p.id, p.textContent])));
        const origin = server.url;
        const ids = { 'snip-py': 'python', 'snip-js': 'js', 'snip-curl': 'curl', 'snip-mcp': 'mcp-stdio', 'snip-mcp-http': 'mcp-http' };
        for (const [id, name] of Object.entries(ids))
            assert.equal(shown[id], blocks[name].split('http://127.0.0.1:7575').join(origin), id);
        assert.ok(shown['snip-py'].startsWith('pip install ./clients/python\n'));
        assert.ok(!shown['snip-py'].includes('pip install cindervox'));
        assert.ok(shown['snip-mcp-http'].includes(origin + '/mcp'));
        assert.ok(shown['snip-mcp-http'].includes('Authorization: Bearer <token>'));
        assert.match(shown['snip-mcp'], /python3 \/\S+\/clients\/mcp\/cindervox_mcp\.py/);
    });
});

// The admin page's script against exact API answers: the page comes from the running
// server, and every /api/ call is answered inside the browser (mockApi), so renderers,
// keys, timers and local checks can be driven to their edges. End-to-end behaviour with
// the real endpoints is in admin_page.test.mjs.
import { after, before, describe, test } from 'node:test';
import assert from 'node:assert/strict';
import fs from 'node:fs';
import { DEFAULT_AUTH, launchBrowser, startInstance, stopAll } from './lib.mjs';
import {
    COLORS, agent, assertNothingInjected, baseHandlers, callsTo, health, openAdminPage, policy, styleOf, waitForText,
} from './admin_support.mjs';

let server;
let browser;

before(async () => {
    // Agent uids apart from the default range, which other servers on the host may hold.
    server = await startInstance({ files: { config: 'uid_base=21000\n' } });
    browser = await launchBrowser();
});

after(async () => {
    if (browser) await browser.close();
    await stopAll();
});

// Opens the page with the base answers plus the test's own; closes its context afterwards.
async function withPage(options, body) {
    const { page, calls } = await openAdminPage(browser, server, { ...options, handlers: baseHandlers(options.handlers) });
    try {
        await body(page, calls);
    } finally {
        await page.context().close();
    }
}

const execEcho = ({ body }) => ({ ok: true, stdout: 'ran:' + JSON.parse(body).cmd + '\n', stderr: '', exit_code: 0, duration_ms: 1 });

describe('terminal', () => {
    test('runs commands and prints output, refusals and failures', async () => {
        let fail = false;
        const handlers = {
            'POST /api/exec': call => {
                if (fail) return { abort: true };
                if (JSON.parse(call.body).cmd.startsWith('rm')) return { status: 403, json: { ok: false, error: 'command blocked by blacklist' } };
                return execEcho(call);
            },
        };
        await withPage({ handlers }, async (page, calls) => {
            const cmd = page.locator('#cmd');
            await cmd.press('Enter');
            await cmd.fill('ls -la');
            await cmd.press('Enter');
            await waitForText(page, '#out', 'ran:ls -la');
            assert.equal(callsTo(calls, 'POST', '/api/exec').length, 1, 'Enter on an empty line sends nothing');
            assert.equal(callsTo(calls, 'POST', '/api/exec')[0].body, '{"cmd":"ls -la","console":true,"stream":true,"merge_stderr":true}',
                'the console streams one stream');
            assert.equal(await cmd.inputValue(), '');
            assert.equal(await page.evaluate(() => document.activeElement.id), 'cmd');

            await cmd.fill('rm -rf /');
            await cmd.press('Enter');
            await waitForText(page, '#out', 'BLOCKED: command blocked by blacklist');
            fail = true;
            await cmd.fill('date');
            await cmd.press('Enter');
            await waitForText(page, '#out', 'ERROR: ');

            assert.equal(await page.textContent('#out'),
                '$ ls -la\nran:ls -la\n$ rm -rf /\nBLOCKED: command blocked by blacklist\n$ date\nERROR: Failed to fetch\n');
            const spans = await page.$$eval('#out span', list => list.map(s => [s.className, s.textContent]));
            assert.deepEqual(spans, [
                ['ok', '$ ls -la\n'], ['ok', '$ rm -rf /\n'], ['blocked', 'BLOCKED: command blocked by blacklist\n'],
                ['ok', '$ date\n'], ['blocked', 'ERROR: Failed to fetch\n'],
            ]);
            const polls = callsTo(calls, 'GET', '/api/health').length;
            assert.ok(polls >= 4, 'each run polls the counters again (load plus three runs)');
        });
    });

    test('arrow keys browse the history and give back the draft', async () => {
        await withPage({ handlers: { 'POST /api/exec': execEcho } }, async page => {
            const cmd = page.locator('#cmd');
            await cmd.fill('draft-before-history');
            await cmd.press('ArrowUp');
            assert.equal(await cmd.inputValue(), 'draft-before-history', 'no history: ArrowUp changes nothing');
            for (const c of ['first', 'second', 'second']) {
                await cmd.fill(c);
                await cmd.press('Enter');
                await waitForText(page, '#out', 'ran:' + c);
                await page.waitForFunction(() => document.querySelector('#cmd').value === '');
            }
            await cmd.fill('draft');
            const seen = [];
            for (const key of ['ArrowUp', 'ArrowUp', 'ArrowUp', 'ArrowUp', 'ArrowDown', 'ArrowDown', 'ArrowDown', 'ArrowDown']) {
                await cmd.press(key);
                seen.push(await cmd.inputValue());
            }
            // Duplicates stay in the history; the oldest entry holds; past the newest the
            // draft comes back, and a further ArrowDown leaves it alone.
            assert.deepEqual(seen, ['second', 'second', 'first', 'first', 'second', 'second', 'draft', 'draft']);
        });
    });

    test('Ctrl+C abandons the line and Ctrl+L clears the output', async () => {
        await withPage({ handlers: { 'POST /api/exec': execEcho } }, async page => {
            const cmd = page.locator('#cmd');
            await cmd.fill('one');
            await cmd.press('Enter');
            await waitForText(page, '#out', 'ran:one');
            await cmd.press('ArrowUp');
            await cmd.press('Control+c');
            assert.equal(await cmd.inputValue(), '');
            assert.match(await page.textContent('#out'), /\^C\n$/);
            await cmd.press('ArrowDown');
            assert.equal(await cmd.inputValue(), '', 'Ctrl+C ends history browsing');
            await cmd.press('Control+l');
            assert.equal(await page.textContent('#out'), '');
            await cmd.type('ab');
            assert.equal(await cmd.inputValue(), 'ab', 'other keys type as usual');
        });
    });
});

describe('polling', () => {
    test('cards, limits and profile buttons follow the health report', async () => {
        let h = health({ total_execs: 7, blocked_cmds: 2, bytes_captured: 300, uptime_sec: 42, profile: 'moderate',
            isolation: 'kernel', max_cpu_sec: 30, max_mem_mb: 256, timeout_ms: 30000, rate_1m: 5, agents_count: 3 });
        await withPage({ handlers: { 'GET /api/health': () => h } }, async page => {
            await waitForText(page, '#execs', '7');
            const text = async id => page.textContent('#' + id);
            assert.deepEqual(
                await Promise.all(['execs', 'blocked', 'bytes', 'uptime', 'rate', 'agents-count', 'profile', 'isolation'].map(text)),
                ['7', '2', '300 B', '42 s', '5', '3', 'moderate', 'kernel']);
            assert.equal(await text('plimits'), 'Time-out 30 s \u00b7 Memory 256 MiB \u00b7 CPU 30 s');
            assert.deepEqual(await Promise.all(['lim-cpu', 'lim-mem', 'lim-timeout', 'lim-procs'].map(text)), ['30 s', '256 MiB', '30 s', '-']);
            assert.equal(await styleOf(page, '#isolation', 'color'), COLORS.accent);
            assert.equal(await styleOf(page, '#prof-0', 'backgroundColor'), COLORS.border);
            assert.equal(await styleOf(page, '#prof-1', 'backgroundColor'), COLORS.warning);
            assert.equal(await styleOf(page, '#prof-2', 'backgroundColor'), COLORS.border);
            assert.notEqual(await styleOf(page, '#prof-1', 'color'), COLORS.warning, 'the active label stays readable');
            assert.equal(await page.inputValue('#ov-prof'), '1', 'the select shows the profile in force');
            assert.equal(await page.textContent('#conn-url'), server.url);

            h = health({ profile: 'permissive', isolation: undefined, rate_1m: 0, agents_count: undefined });
            await page.waitForFunction(() => document.querySelector('#profile').textContent === 'permissive', null, { timeout: 5000 });
            assert.equal(await text('isolation'), 'basic');
            assert.equal(await styleOf(page, '#isolation', 'color'), COLORS.basic);
            assert.equal(await text('rate'), '0');
            assert.equal(await text('agents-count'), '0');
            assert.equal(await styleOf(page, '#prof-2', 'backgroundColor'), COLORS.danger);
            assert.equal(await styleOf(page, '#prof-1', 'backgroundColor'), COLORS.border);
            assert.equal(await page.inputValue('#ov-prof'), '2');
        });
    });

    test('the audit panel reads each entry into local time, agent, action and fields, and follows the log', async () => {
        const t = 1767225600;
        let entries = [`[${t}] [bot] EXEC OK "ls" exit=0 dur=1500ms profile=strict\n`, `[${t - 90}] [system] RESET OK exit=0 dur=0ms\n`,
            `[${t - 99}] [bot] EXEC OK "echo ${'x'.repeat(10)}" detail_bytes=300 exit=2 dur=3ms\n`, 'not an entry\n'];
        const audit = () => ({ entries, total: entries.length, matched: entries.length, returned: entries.length, offset: 0 });
        await withPage({ handlers: { 'GET /api/audit': audit }, fixedTime: (t + 200) * 1000 }, async (page, calls) => {
            await page.waitForFunction(() => document.querySelectorAll('#audit-log > div').length === 4);
            const local = await page.evaluate(s => { const d = new Date(s * 1000); return [d.getHours(), d.getMinutes()]; }, t);
            const shown = await page.$$eval('#audit-log > div', ds => ds.map(d => d.textContent));
            assert.match(shown[0], /^\d{4}-\d\d-\d\d \d\d:\d\d:00 bot EXEC OK "ls" exit=0 1.5 s strict$/);
            assert.ok(shown[0].includes(String(local[0]).padStart(2, '0') + ':' + String(local[1]).padStart(2, '0')));
            assert.match(shown[1], / system RESET OK exit=0 0 ms$/);
            assert.match(shown[2], / bot EXEC OK "echo x{10}" \(300 B in all\) exit=2 3 ms$/);
            assert.equal(shown[3], 'not an entry\n');
            assert.equal(await page.$eval('#audit-log .t', e => e.title), '3 min ago');
            assert.equal(await page.textContent('#au-range'), '1\u20134 of 4');
            assert.ok(callsTo(calls, 'GET', '/api/audit').every(c => c.search.startsWith('?order=newest&limit=20&offset=0')));
            entries = [];
            await waitForText(page, '#audit-log', 'No entries', 5000);
            assert.equal(await page.textContent('#au-range'), '0 of 0');
        });
    });

    test('usage summary and settings inputs follow each poll, except an input being edited', async () => {
        const agents = [agent({ name: 'a', tokens_total: 1200 }), agent({ name: 'b', tokens_total: 300 }), agent({ name: 'c' })];
        let h = health({ total_execs: 12, agents_count: 3, max_rate_per_agent: 60, timeout_ms: 7000 });
        const handlers = { 'GET /api/health': () => h, 'GET /api/agents': () => ({ agents, count: 3 }) };
        await withPage({ handlers }, async page => {
            await waitForText(page, '#usage-tokens', '2K');
            assert.equal(await page.textContent('#usage-execs'), '12');
            assert.equal(await page.textContent('#usage-agents'), '3');
            assert.equal(await page.inputValue('#set-rate'), '60');
            assert.equal(await page.inputValue('#set-timeout'), '7000');
            await page.click('a:has-text("Settings")');
            await page.fill('#set-rate', '77');
            h = health({ max_rate_per_agent: 0, timeout_ms: 0 });
            await page.waitForFunction(() => document.querySelector('#set-timeout').value === '5000', null, { timeout: 5000 });
            assert.equal(await page.inputValue('#set-rate'), '77', 'typed and not yet applied');
            await page.focus('#set-user');
            await page.waitForFunction(() => document.querySelector('#set-rate').value === '120', null, { timeout: 5000 });
        });
    });
});

async function waitForCalls(calls, method, path, count, timeout = 5000) {
    const deadline = Date.now() + timeout;
    while (callsTo(calls, method, path).length < count) {
        if (Date.now() > deadline) throw new Error(`expected ${count} calls of ${method} ${path}`);
        await new Promise(r => setTimeout(r, 20));
    }
}

describe('agent tables', () => {
    const now = 1767225600;

    test('ages, rates, budgets and usage bars', async () => {
        const agents = [
            agent({ name: 'never', last_active: 0, rate_1m: 30, rate_limit: undefined, model: undefined }),
            agent({ name: 'a59', active: true, last_active: now - 59, rate_1m: 5, tokens_total: 95, token_budget: 100, model: 'gpt-x' }),
            agent({ name: 'a60', last_active: now - 60, tokens_total: 150, token_budget: 100 }),
            agent({ name: 'a3599', last_active: now - 3599, tokens_total: 89, token_budget: 100 }),
            agent({ name: 'a3600', last_active: now - 3600, tokens_in: 1499, tokens_out: 1500, bytes: 999999, tokens_total: 2999, token_budget: 2500000 }),
        ];
        const handlers = { 'GET /api/agents': () => ({ agents, count: agents.length }) };
        await withPage({ handlers, fixedTime: now * 1000 }, async page => {
            await page.waitForFunction(() => document.querySelectorAll('#ov-agents tr').length === 5);
            await page.click('a:has-text("Token Budgets")');
            const rows = sel => page.$$eval(sel + ' tr', trs => trs.map(tr => [...tr.cells].map(td => {
                const select = td.querySelector('select');
                return select ? select.value : td.textContent;
            })));
            assert.deepEqual(await rows('#ov-agents'), [
                ['', 'never', '0', '0', '0 B', '30/30', '0', '0', 'unlimited', '-', '-'],
                ['', 'a59', '0', '0', '0 B', '5/120', '0', '0', '95/100', 'gpt-x', '59 s ago'],
                ['', 'a60', '0', '0', '0 B', '0/120', '0', '0', '150/100', '-', '1 min ago'],
                ['', 'a3599', '0', '0', '0 B', '0/120', '0', '0', '89/100', '-', '59 min ago'],
                ['', 'a3600', '0', '0', '977 KiB', '0/120', '1K', '2K', '3K/3M', '-', '1 h ago'],
            ]);
            assert.deepEqual(await rows('#agent-body'), [
                ['', 'never', '-', '0', '0', '0', 'unlimited', 'global', 'Set'],
                ['', 'a59', 'gpt-x', '0', '0', '95', '100', 'global', 'Set'],
                ['', 'a60', '-', '0', '0', '150', '100', 'global', 'Set'],
                ['', 'a3599', '-', '0', '0', '89', '100', 'global', 'Set'],
                ['', 'a3600', '-', '0', '0', '3K', '3M', 'global', 'Set'],
            ]);
            assert.deepEqual((await rows('#budget-body')).map(r => r.slice(0, 3)), [
                ['never', '0', 'unlimited'], ['a59', '95', '100'], ['a60', '150', '100'], ['a3599', '89', '100'], ['a3600', '3K', '3M'],
            ]);
            const rateColors = await page.$$eval('#ov-agents tr', trs => trs.map(tr => getComputedStyle(tr.cells[5]).color));
            assert.deepEqual(rateColors.slice(0, 2), [COLORS.danger, COLORS.accent], 'a rate at the limit (default 30) is red');
            const dots = await page.$$eval('#ov-agents .dot', ds => ds.map(d => getComputedStyle(d).backgroundColor));
            assert.deepEqual(dots.slice(0, 2), [COLORS.inactive, COLORS.accent]);
            const bars = await page.$$eval('#budget-body tr', trs => trs.map(tr => {
                const fill = tr.cells[3].querySelector('.bar > div');
                return fill ? [fill.getBoundingClientRect().width, getComputedStyle(fill).backgroundColor] : null;
            }));
            assert.deepEqual(bars, [
                null,
                [95, COLORS.danger],
                [100, COLORS.danger],
                [89, COLORS.accent],
                [0, COLORS.accent],
            ]);
            const track = await page.$eval('#budget-body tr:nth-child(2) .bar', b => [b.getBoundingClientRect().width, b.getBoundingClientRect().height]);
            assert.deepEqual(track, [100, 6]);
        });
    });

    test('an empty list shows the placeholders and keeps the last agents for the totals', async () => {
        let agents = [agent({ name: 'x', tokens_total: 4000 })];
        const handlers = { 'GET /api/agents': () => ({ agents, count: agents.length }) };
        await withPage({ handlers }, async page => {
            await waitForText(page, '#ov-agents', 'x');
            agents = [];
            await waitForText(page, '#ov-agents', 'No agents connected', 5000);
            const cells = await page.$$eval('#ov-agents td, #agent-body td, #budget-body td',
                tds => tds.map(td => [td.colSpan, td.textContent, getComputedStyle(td).color]));
            assert.deepEqual(cells, [
                [11, 'No agents connected', COLORS.hint],
                [9, 'No agents connected. See integration examples above.', COLORS.hint],
                [5, 'No agents connected', COLORS.hint],
            ]);
            assert.equal(await page.textContent('#usage-tokens'), '4K');
        });
    });

    test('Set asks for a budget and sends it only when given a number', async () => {
        const handlers = {
            'GET /api/agents': () => ({ agents: [agent({ name: 'bot-1' })], count: 1 }),
            'POST /api/budget': () => ({ ok: true, agent: 'bot-1', max_tokens: 1234 }),
        };
        await withPage({ handlers }, async (page, calls) => {
            await page.click('a:has-text("Token Budgets")');
            await waitForText(page, '#budget-body', 'bot-1');
            const answers = [null, '', 'lots', '1234'];
            page.onDialog = async d => {
                const a = answers.shift();
                if (a === null) await d.dismiss();
                else await d.accept(a);
            };
            for (let i = 0; i < 4; i++) await page.click('#budget-body button:has-text("Set")');
            await waitForCalls(calls, 'POST', '/api/budget', 1);
            assert.deepEqual(page.events.dialogs.map(d => [d.type, d.message]),
                Array(4).fill(['prompt', 'Token budget for bot-1:']));
            const sent = callsTo(calls, 'POST', '/api/budget');
            assert.equal(sent.length, 1, 'cancel, empty and non-numbers send nothing');
            assert.deepEqual(JSON.parse(sent[0].body), { agent: 'bot-1', max_tokens: 1234 });
            const refetched = () => callsTo(calls, 'GET', '/api/agents').some(c => c.time >= sent[0].time);
            for (let i = 0; i < 100 && !refetched(); i++) await page.waitForTimeout(20);
            assert.ok(refetched(), 'the tables are fetched again');
        });
    });
});

describe('agent profiles', () => {
    // The select shows the agent's own profile, or "global" naming the one it follows; a
    // choice goes to the agent's own route (its name percent-encoded) and the answer shows.
    test('the Profile select sets and clears the profile of one agent', async () => {
        const hostile = '<img src=x onerror=alert(3)>';
        let agents = [agent({ name: 'bot 1', profile: 'moderate', profile_own: false }), agent({ name: hostile, profile: 'strict', profile_own: true })];
        const answer = (name, profile, own) => ({ ok: true, agent: name, profile, own, timeout_ms: 300000, max_mem_mb: 1024, persisted: false });
        const encoded = '/api/agents/' + encodeURIComponent(hostile) + '/profile';
        const handlers = {
            'GET /api/agents': () => ({ agents, count: agents.length }),
            'POST /api/agents/bot%201/profile': () => answer('bot 1', 'permissive', true),
            [`POST ${encoded}`]: () => ({ status: 400, json: { ok: false, error: 'agent name must be printable text ' + hostile } }),
        };
        await withPage({ handlers }, async (page, calls) => {
            await page.click('a:has-text("Connect Agents")');
            await page.waitForFunction(() => document.querySelectorAll('#agent-body select').length === 2);
            const state = () => page.$$eval('#agent-body select', ss => ss.map(s => [s.value, s.options[0].textContent]));
            assert.deepEqual(await state(), [['global', 'global (moderate)'], ['strict', 'global']]);
            await page.selectOption('#agent-body tr:nth-child(1) select', 'permissive');
            await waitForCalls(calls, 'POST', '/api/agents/bot%201/profile', 1);
            assert.deepEqual(JSON.parse(callsTo(calls, 'POST', '/api/agents/bot%201/profile')[0].body), { profile: 'permissive' });
            await waitForText(page, '#agent-profile-result', 'bot 1: permissive (its own profile), time-out 5 min, memory 1.0 GiB');
            agents = [agent({ name: 'bot 1', profile: 'permissive', profile_own: true }), agents[1]];
            await page.waitForFunction(() => document.querySelector('#agent-body select').value === 'permissive');
            await page.selectOption('#agent-body tr:nth-child(2) select', 'global');
            await waitForCalls(calls, 'POST', encoded, 1);
            assert.deepEqual(JSON.parse(callsTo(calls, 'POST', encoded)[0].body), { profile: null });
            await waitForText(page, '#agent-profile-result', hostile + ': agent name must be printable text ' + hostile);
            assert.equal(await styleOf(page, '#agent-profile-result span', 'color'), COLORS.danger);
            await assertNothingInjected(page);
        });
    });
});

describe('policies', () => {
    test('the preview asks the server and shows its verdict, rule and simple command', async () => {
        const verdicts = {
            'ls': { ok: true, allowed: true, agent: 'anonymous', profile: 'strict', matcher: 'words' },
            'ls; curl x': { ok: true, allowed: false, agent: 'bot', profile: 'moderate', matcher: 'words', status: 403, kind: 'blacklist',
                error: 'command blocked by blacklist', rule: 'curl', command: 'curl x' },
            'vim x': { ok: true, allowed: false, agent: 'anonymous', profile: 'strict', matcher: 'bytes', status: 403, kind: 'whitelist',
                error: 'command not in whitelist (strict mode)', rule: 'vim' },
            'echo $(date)': { ok: true, allowed: false, agent: 'anonymous', profile: 'strict', matcher: 'bytes', status: 403, kind: 'sensitive',
                error: 'access to sensitive path blocked', rule: '$(' },
            'echo "x': { ok: true, allowed: false, agent: 'anonymous', profile: 'strict', matcher: 'words', status: 403, kind: 'unreadable',
                error: 'could not read the command', rule: '' },
            'other': { ok: false, error: 'an agent may check commands only for itself' },
        };
        let broken = false;
        const handlers = { 'POST /api/policy/check': ({ body }) => (broken ? { abort: true } : verdicts[JSON.parse(body).cmd]) };
        await withPage({ handlers }, async (page, calls) => {
            await page.click('a:has-text("Policies")');
            const verdict = async cmd => {
                await page.fill('#test-cmd', cmd);
                await page.evaluate(() => { document.querySelector('#test-cmd-result').textContent = ''; });
                await page.press('#test-cmd', 'Enter');
                await page.waitForFunction(() => document.querySelector('#test-cmd-result').textContent !== '');
                return page.$eval('#test-cmd-result', e => [e.firstElementChild ? e.firstElementChild.className : '', e.textContent]);
            };
            assert.deepEqual(await verdict('  ls  '),
                ['ok', 'ALLOWED \u2014 this command would execute \u2014 anonymous, strict profile, words matcher']);
            assert.deepEqual(JSON.parse(callsTo(calls, 'POST', '/api/policy/check')[0].body), { cmd: 'ls' }, 'no agent named, none sent');
            await page.fill('#test-agent', 'bot');
            assert.deepEqual(await verdict('ls; curl x'),
                ['blocked', 'BLOCKED \u2014 blacklist: curl (in: curl x) \u2014 bot, moderate profile, words matcher']);
            assert.deepEqual(JSON.parse(callsTo(calls, 'POST', '/api/policy/check').at(-1).body), { cmd: 'ls; curl x', agent: 'bot' });
            await page.fill('#test-agent', '');
            assert.equal((await verdict('vim x'))[1], 'BLOCKED \u2014 not in whitelist (strict mode): vim \u2014 anonymous, strict profile, bytes matcher');
            assert.equal((await verdict('echo $(date)'))[1],
                'BLOCKED \u2014 sensitive path or shell construct: $( \u2014 anonymous, strict profile, bytes matcher');
            assert.equal((await verdict('echo "x'))[1], 'BLOCKED \u2014 could not read the command \u2014 anonymous, strict profile, words matcher');
            assert.deepEqual(await verdict('other'), ['blocked', 'Error: an agent may check commands only for itself']);
            broken = true;
            assert.deepEqual(await verdict('ls'), ['', 'Error: Failed to fetch']);
            const before = callsTo(calls, 'POST', '/api/policy/check').length;
            await page.fill('#test-cmd', '   ');
            await page.click('#sec-policies button:has-text("Test")');
            await page.waitForTimeout(200);
            assert.equal(callsTo(calls, 'POST', '/api/policy/check').length, before, 'a blank command is not checked');
        });
    });

    test('rule lists render, add with Enter and remove with the cross', async () => {
        const lists = { bl: ['rm -rf /'], wl: [] };
        const handlers = {
            'GET /api/policy': () => policy({ blacklist: lists.bl, whitelist: lists.wl }),
            'POST /api/policy': ({ body }) => {
                const { action, rule } = JSON.parse(body);
                const list = lists[action.slice(action.indexOf('_') + 1)];
                if (action.startsWith('add_')) list.push(rule);
                else list.splice(list.indexOf(rule), 1);
                return { ok: true, blacklist_count: lists.bl.length, whitelist_count: lists.wl.length };
            },
        };
        await withPage({ handlers }, async (page, calls) => {
            await page.click('a:has-text("Policies")');
            await waitForText(page, '#bl-list', 'rm -rf /');
            assert.equal(await page.textContent('#wl-list'), 'No rules');
            assert.equal(await styleOf(page, '#wl-list > div', 'color'), COLORS.hint);
            await page.fill('#bl-input', '  sudo  ');
            await page.press('#bl-input', 'Enter');
            await page.waitForFunction(() => document.querySelectorAll('#bl-list .rule').length === 2);
            assert.equal(await page.inputValue('#bl-input'), '');
            await page.fill('#wl-input', 'git');
            await page.click('#sec-policies .btn-primary');
            await waitForText(page, '#wl-list', 'git');
            await page.fill('#wl-input', '   ');
            await page.press('#wl-input', 'Enter');
            assert.deepEqual(await page.$$eval('#bl-list .rule span', s => s.map(e => [e.textContent, getComputedStyle(e).color])),
                [['rm -rf /', COLORS.danger], ['sudo', COLORS.danger]]);
            assert.equal(await styleOf(page, '#wl-list .rule span', 'color'), COLORS.accent);
            await page.click('#bl-list .rule:has-text("sudo") button');
            await page.waitForFunction(() => document.querySelectorAll('#bl-list .rule').length === 1);
            assert.deepEqual(callsTo(calls, 'POST', '/api/policy').map(c => JSON.parse(c.body)), [
                { action: 'add_bl', rule: 'sudo' }, { action: 'add_wl', rule: 'git' }, { action: 'rm_bl', rule: 'sudo' },
            ]);
        });
    });
});

describe('audit filter', () => {
    test('a burst of keystrokes sends one request, 300 ms after the last', async () => {
        const t0 = Date.UTC(2026, 0, 1);
        const handlers = {
            'GET /api/audit': ({ search }) => (search.includes('agent=') ? { entries: [], matched: 0 } : { entries: ['[1] [bot] EXEC OK "ls" exit=0 dur=0ms\n'], matched: 1 }),
        };
        await withPage({ handlers, fakeTimers: t0 }, async (page, calls) => {
            const filtered = () => calls.filter(c => c.path === '/api/audit' && c.search.includes('agent='));
            await page.locator('#af').pressSequentially('a b&c');
            await page.clock.runFor(299);
            await page.waitForTimeout(100);
            assert.equal(filtered().length, 0, 'nothing before the pause ends');
            await page.clock.runFor(1);
            await waitForText(page, '#audit-log', 'No entries');
            assert.deepEqual(filtered().map(c => c.search), ['?order=newest&limit=20&offset=0&agent=a%20b%26c']);
            assert.ok(callsTo(calls, 'GET', '/api/audit').every(c => c.search.startsWith('?order=newest')), 'the panel asks for the newest');
            assert.equal(await styleOf(page, '#audit-log > div', 'color'), COLORS.hint);
            await page.selectOption('#aa', 'BLOCK');
            await page.clock.runFor(300);
            for (let i = 0; i < 100 && !filtered().some(c => c.search.endsWith('&action=BLOCK')); i++) await page.waitForTimeout(20);
            assert.equal(filtered().at(-1).search, '?order=newest&limit=20&offset=0&agent=a%20b%26c&action=BLOCK');
            const unfiltered = callsTo(calls, 'GET', '/api/audit').length - filtered().length;
            await page.click('button:has-text("Clear")');
            assert.equal(await page.inputValue('#af'), '');
            assert.equal(await page.inputValue('#aa'), '');
            await page.clock.runFor(300);
            await waitForText(page, '#audit-log', 'EXEC OK');
            assert.equal(callsTo(calls, 'GET', '/api/audit').length - filtered().length, unfiltered + 1);
        });
    });
});

describe('settings', () => {
    test('rate and timeout are range-checked before anything is sent', async () => {
        let answer = null;
        const handlers = { 'POST /api/config': ({ body }) => answer || { ok: true, ...JSON.parse(body) } };
        await withPage({ handlers }, async (page, calls) => {
            await page.click('a:has-text("Settings")');
            const apply = async (input, value, result) => {
                await page.fill(input, value);
                await page.evaluate(r => { document.querySelector(r).textContent = ''; }, result);
                await page.click(`${input} ~ button`);
                await page.waitForFunction(r => document.querySelector(r).textContent !== '', result);
                return page.$eval(result, e => [e.firstElementChild.className, e.textContent]);
            };
            const bad = ['blocked', 'Invalid (1-1000)'];
            for (const v of ['0', '1001', '', '-5']) assert.deepEqual(await apply('#set-rate', v, '#rate-result'), bad, v);
            const badT = ['blocked', 'Invalid (1000-300000ms)'];
            for (const v of ['999', '300001', '']) assert.deepEqual(await apply('#set-timeout', v, '#timeout-result'), badT, v);
            assert.equal(callsTo(calls, 'POST', '/api/config').length, 0);

            assert.deepEqual(await apply('#set-rate', '1', '#rate-result'), ['ok', 'Rate limit: 1/min (saved)']);
            assert.deepEqual(await apply('#set-rate', '1000', '#rate-result'), ['ok', 'Rate limit: 1000/min (saved)']);
            assert.deepEqual(await apply('#set-timeout', '1000', '#timeout-result'), ['ok', 'Timeout: 1000ms (saved)']);
            assert.deepEqual(await apply('#set-timeout', '300000', '#timeout-result'), ['ok', 'Timeout: 300000ms (saved)']);
            assert.deepEqual(callsTo(calls, 'POST', '/api/config').map(c => c.body),
                ['{"rate_limit":1}', '{"rate_limit":1000}', '{"timeout":1000}', '{"timeout":300000}']);
            answer = { status: 200, json: { ok: true, persisted: false, reason: 'could not write /etc/cindervox/policy.conf: <b>x</b>' } };
            assert.deepEqual(await apply('#set-rate', '7', '#rate-result'),
                ['ok', 'Rate limit: 7/min (not saved: could not write /etc/cindervox/policy.conf: <b>x</b>)']);
            answer = { status: 500, json: { ok: false, error: 'could not write config' } };
            assert.deepEqual(await apply('#set-rate', '5', '#rate-result'), ['blocked', 'could not write config']);
            answer = { abort: true };
            assert.deepEqual(await apply('#set-timeout', '5000', '#timeout-result'), ['blocked', 'Error']);
        });
    });

    test('new credentials are checked, sent and shown', async () => {
        let answer = { ok: true, message: 'credentials updated' };
        const handlers = { 'POST /api/config': () => answer };
        await withPage({ handlers }, async (page, calls) => {
            await page.click('a:has-text("Settings")');
            const submit = async (user, pass) => {
                await page.fill('#set-user', user);
                await page.fill('#set-pass', pass);
                await page.evaluate(() => { document.querySelector('#pass-result').textContent = ''; });
                await page.click('button:has-text("Update Credentials")');
                await page.waitForFunction(() => document.querySelector('#pass-result').textContent !== '');
                return page.$eval('#pass-result', e => [e.firstElementChild ? e.firstElementChild.className : '', e.textContent]);
            };
            assert.deepEqual(await submit('   ', 'longenough'), ['blocked', 'Both fields required']);
            assert.deepEqual(await submit('ops', ''), ['blocked', 'Both fields required']);
            assert.deepEqual(await submit('ops', '1234567'), ['blocked', 'Password must be at least 8 characters']);
            assert.equal(callsTo(calls, 'POST', '/api/config').length, 0);
            assert.deepEqual(await submit('  ops  ', ' 234567 '),
                ['ok', 'Credentials updated. Reload the page and login with the new credentials.']);
            assert.deepEqual(JSON.parse(callsTo(calls, 'POST', '/api/config')[0].body), { username: 'ops', password: ' 234567 ' });
            await page.click('a:has-text("Connect Agents")');
            assert.equal(await page.textContent('#conn-user'), 'ops');
            assert.equal(await page.evaluate(() => window._cred_pass), ' 234567 ');
            answer = { status: 500, json: { ok: false, error: 'could not write config' } };
            await page.click('a:has-text("Settings")');
            assert.deepEqual(await submit('ops', 'abcdefgh'), ['blocked', 'could not write config']);
            answer = { abort: true };
            assert.deepEqual(await submit('ops', 'abcdefgh'), ['blocked', 'Error: Failed to fetch']);
        });
    });

    test('reset asks first and only then sends the DELETE', async () => {
        const handlers = { 'DELETE /api/sandbox': () => ({ ok: true, message: 'sandbox reset' }) };
        await withPage({ handlers }, async (page, calls) => {
            await page.click('a:has-text("Settings")');
            page.onDialog = d => d.dismiss();
            await page.click('button:has-text("Reset Everything")');
            await page.waitForTimeout(200);
            assert.equal(callsTo(calls, 'DELETE', '/api/sandbox').length, 0);
            assert.equal(await page.textContent('#reset-result'), '');
            page.onDialog = d => d.accept();
            const polls = callsTo(calls, 'GET', '/api/agents').length;
            await page.click('button:has-text("Reset Everything")');
            await waitForText(page, '#reset-result', 'Sandbox reset');
            assert.deepEqual(page.events.dialogs, Array(2).fill({ type: 'confirm', message: 'This will clear ALL counters, agents, and audit log. Continue?' }));
            const del = callsTo(calls, 'DELETE', '/api/sandbox');
            assert.equal(del.length, 1);
            assert.equal(del[0].body, null);
            assert.equal(await page.$eval('#reset-result span', s => s.className), 'ok');
            await waitForCalls(calls, 'GET', '/api/agents', polls + 1);
        });
    });

    test('export downloads the whole audit answer as indented JSON', async () => {
        const answer = { entries: ['[1] [system] RESET OK exit=0 dur=0ms\n'], total: 1, returned: 1 };
        let broken = false;
        const searches = [];
        const handlers = { 'GET /api/audit': ({ search }) => (searches.push(search), broken ? { abort: true } : answer) };
        await withPage({ handlers }, async page => {
            await page.click('a:has-text("Settings")');
            const [download] = await Promise.all([page.waitForEvent('download'), page.click('button:has-text("Download JSON")')]);
            assert.equal(download.suggestedFilename(), 'cindervox-audit.json');
            // The whole ring, not the panel's page of it.
            assert.ok(searches.includes('?order=newest&limit=256'), searches.join());
            assert.equal(fs.readFileSync(await download.path(), 'utf8'), JSON.stringify(answer, null, 2));
            broken = true;
            page.onDialog = d => d.accept();
            await page.click('button:has-text("Download JSON")');
            for (let i = 0; i < 100 && page.events.dialogs.length === 0; i++) await page.waitForTimeout(20);
            assert.deepEqual(page.events.dialogs, [{ type: 'alert', message: 'Export failed: Failed to fetch' }]);
        });
    });
});

describe('connect agents', () => {
    test('credentials panel shows the embedded login and copies it', async () => {
        const t0 = Date.UTC(2026, 0, 1);
        await withPage({ fakeTimers: t0, permissions: ['clipboard-read', 'clipboard-write'] }, async page => {
            await page.click('a:has-text("Connect Agents")');
            assert.equal(await page.textContent('#conn-user'), 'terox');
            assert.equal(await page.textContent('#conn-pass'), '********');
            await page.click('#eye-icon');
            assert.equal(await page.textContent('#conn-pass'), 'wickerpod');
            assert.equal(await styleOf(page, '#eye-icon', 'opacity'), '1');
            await page.click('#eye-icon');
            assert.equal(await page.textContent('#conn-pass'), '*********');
            assert.equal(await styleOf(page, '#eye-icon', 'opacity'), '0.5');

            const copy = page.locator('.cred-grid button').nth(2);
            await copy.click();
            await copy.click();
            assert.equal(await copy.textContent(), 'Copied!');
            assert.equal(await copy.evaluate(b => getComputedStyle(b).color), COLORS.accent);
            assert.equal(await page.evaluate(() => navigator.clipboard.readText()), 'wickerpod');
            await page.clock.runFor(1500);
            assert.equal(await copy.textContent(), 'Copy', 'a second click does not make "Copied!" stick');
            await page.locator('.cred-grid button').nth(1).click();
            assert.equal(await page.evaluate(() => navigator.clipboard.readText()), 'terox');
        });
    });

    test('a credential without a colon is all user name', async () => {
        await withPage({}, async page => {
            const decoded = await page.evaluate(() => [btoa('justauser'), btoa(':pw'), btoa('u:p:q')].map(decodeCredential));
            assert.deepEqual(decoded, [{ user: 'justauser', pass: '' }, { user: ':pw', pass: '' }, { user: 'u', pass: 'p:q' }]);
        });
    });

    test('connection test reports round trip, refusal and failure', async () => {
        let answer;
        const handlers = { 'POST /api/exec': () => answer };
        await withPage({ handlers }, async (page, calls) => {
            await page.click('a:has-text("Connect Agents")');
            const run = async a => {
                answer = a;
                await page.click('#test-btn');
                await page.waitForFunction(() => document.querySelector('#test-btn').textContent === 'Run Test'
                    && !document.querySelector('#test-btn').disabled && document.querySelector('#test-result').textContent !== '');
                return page.$eval('#test-result', e => [e.firstElementChild.className, e.textContent]);
            };
            const [cls, text] = await run({ ok: true, stdout: 'cindervox_ok\n', exit_code: 0 });
            assert.equal(cls, 'ok');
            assert.match(text, /^Connected \(\d+ ms\)$/);
            assert.deepEqual(await run({ status: 403, json: { ok: false, error: 'command not in whitelist (strict mode)' } }),
                ['blocked', 'Failed: command not in whitelist (strict mode)']);
            assert.deepEqual(await run({ ok: true, stdout: 'other' }), ['blocked', 'Failed: unexpected response']);
            assert.deepEqual(await run({ abort: true }), ['blocked', 'Error: Failed to fetch']);
            assert.ok(callsTo(calls, 'POST', '/api/exec').every(c => c.body === '{"cmd":"echo cindervox_ok","console":true}'));
        });
    });

    test('snippets are the README\'s, with the page origin for the README\'s address, one tab at a time', async () => {
        await withPage({}, async page => {
            await page.click('a:has-text("Connect Agents")');
            const o = server.url;
            const curl = await page.textContent('#snip-curl');
            assert.ok(curl.startsWith("curl -u terox:wickerpod -H 'X-Agent: my-agent'"), curl);
            assert.ok(curl.includes(`-d '{"cmd":"echo hello"}' ${o}/api/exec`));
            const py = await page.textContent('#snip-py');
            assert.ok(py.startsWith('pip install ./clients/python\n\nfrom cindervox import Terox\n'), py);
            assert.ok(py.includes(`    url="${o}",`));
            assert.ok((await page.textContent('#snip-js')).startsWith('npm install /path/to/cindervox/clients/js'));
            assert.ok((await page.textContent('#snip-mcp-http')).includes(`claude mcp add --transport http cindervox ${o}/mcp \\\n  --header "Authorization: Bearer <token>"`));
            assert.equal(await page.isVisible('#snip-py'), true);
            await page.click('.tab-bar button:has-text("curl")');
            assert.deepEqual(await page.$$eval('.tab-content', ts => ts.map(t => t.style.display)), ['none', 'none', 'block', 'none', 'none']);
            assert.deepEqual(await page.$$eval('.tab-bar button', bs => bs.map(b => b.classList.contains('active'))), [false, false, true, false, false]);
        });
    });
});

describe('page wiring', () => {
    test('every call carries the embedded credential and no agent name', async () => {
        await withPage({ handlers: { 'POST /api/exec': execEcho } }, async (page, calls) => {
            await page.fill('#cmd', 'ls');
            await page.press('#cmd', 'Enter');
            await waitForText(page, '#out', 'ran:ls');
            assert.ok(calls.length >= 5);
            for (const c of calls) {
                assert.equal(c.headers.authorization, DEFAULT_AUTH, c.method + ' ' + c.path);
                assert.equal(c.headers['x-agent'], undefined);
            }
            assert.equal(callsTo(calls, 'POST', '/api/exec')[0].headers['content-type'], 'application/json');
        });
    });
});

describe('server text stays text', () => {
    test('payloads in every renderer show literally', async () => {
        const img = n => `<img src=x onerror=alert(${n})>`;
        const handlers = {
            'GET /api/agents': () => ({
                agents: [agent({ name: img(1), model: '<b id=xm>m</b>', tokens_total: 5, token_budget: 10 })], count: 1, token_agents: [img(10)],
            }),
            'GET /api/audit': ({ search }) => ({ entries: [`[1] [${img(2)}] EXEC OK "x" exit=0 dur=0ms\n`], search }),
            'GET /api/policy': () => policy({ blacklist: [img(3)], whitelist: [img(4)] }),
            'POST /api/exec': ({ body }) => (JSON.parse(body).cmd === 'out'
                ? { ok: true, stdout: img(5) + '\n' }
                : { status: 403, json: { ok: false, error: img(6) } }),
            'POST /api/config': () => ({ ok: false, error: img(7) }),
            'GET /api/health': () => health({ profile: img(8), isolation: img(9) }),
            'POST /api/policy/check': () => ({ ok: true, allowed: false, agent: img(11), profile: img(12), matcher: 'words', kind: 'blacklist',
                status: 403, error: 'command blocked by blacklist', rule: img(3), command: 'x ' + img(3) }),
        };
        await withPage({ handlers }, async page => {
            await waitForText(page, '#ov-agents', img(1));
            await waitForText(page, '#audit-log', img(2));
            await page.fill('#cmd', 'out');
            await page.press('#cmd', 'Enter');
            await waitForText(page, '#out', img(5));
            await page.fill('#cmd', 'refused');
            await page.press('#cmd', 'Enter');
            await waitForText(page, '#out', 'BLOCKED: ' + img(6));
            await page.fill('#af', img(2));
            await page.waitForTimeout(500);
            await page.click('a:has-text("Policies")');
            await waitForText(page, '#bl-list', img(3));
            await waitForText(page, '#wl-list', img(4));
            await page.fill('#test-cmd', 'x ' + img(3));
            await page.press('#test-cmd', 'Enter');
            await waitForText(page, '#test-cmd-result', 'blacklist: ' + img(3) + ' (in: x ' + img(3) + ') \u2014 ' + img(11) + ', ' + img(12));
            await page.click('a:has-text("Settings")');
            await page.fill('#set-rate', '10');
            await page.click('#set-rate ~ button');
            await waitForText(page, '#rate-result', img(7));
            await page.click('a:has-text("Token Budgets")');
            await waitForText(page, '#budget-body', img(1));
            await page.click('a:has-text("Connect Agents")');
            await waitForText(page, '#token-agents', img(10));
            assert.equal(await page.textContent('#profile'), img(8));
            assert.ok((await page.textContent('#ov-agents')).includes('<b id=xm>m</b>'));
            await assertNothingInjected(page);
        });
    });
});

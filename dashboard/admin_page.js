const H='Authorization';const T='Basic @@CREDENTIAL@@';
// The admin page's script. The server fills in the credential above (and in _b64 below)
// when it builds the page; every call goes back to the same origin with that header.
// Everything the server sends (command output, audit lines, agent, model and rule names,
// error texts) is put into the page as text through DOM calls, never as markup: an agent
// that prints an <img onerror=...> must not run script in the operator's browser.

const k_poll_ms = 3000;
const k_filter_delay_ms = 300;
// The audit panel shows the latest entries first; the export takes the whole ring.
const k_audit_newest = '/api/audit?order=newest';
const k_audit_everything = '/api/audit?limit=256';
const k_copied_ms = 1500;
const k_color = {
    accent: '#00d4aa', danger: '#ff6b6b', warning: '#fbbf24', basic: '#febc2e',
    border: '#1e2d4a', heading: '#f0f6fc', muted: '#8892b0', hint: '#64748b',
    tokensIn: '#a78bfa', tokensOut: '#f472b6', inactive: '#374151', page: '#0a0e17',
};
// The choices of an agent's own profile; "global" clears it, so the agent follows the
// global profile.
const k_agent_profiles = ['global', 'strict', 'moderate', 'permissive'];
// Profile buttons: the colour each one takes while its profile is the active one.
const k_profiles = [
    { name: 'strict', id: 'prof-0', color: k_color.accent },
    { name: 'moderate', id: 'prof-1', color: k_color.warning },
    { name: 'permissive', id: 'prof-2', color: k_color.danger },
];

let hist = [];
let hpos = -1;
let saved = '';
let afTimer = null;
let _passHidden = true;
let _b64='@@CREDENTIAL@@';

// ---- small DOM helpers ----

function $(id) { return document.getElementById(id); }
function textOf(id) { return $(id).textContent; }

// Makes an element; props are assigned as properties (textContent, className, onclick),
// style is a CSS text. Children are nodes or strings (strings become text nodes).
function el(tag, props, style, ...children) {
    const e = document.createElement(tag);
    Object.assign(e, props || {});
    if (style) e.style.cssText = style;
    e.append(...children);
    return e;
}

// A span of class ok or blocked holding plain text.
function msg(cls, text) { return el('span', { className: cls, textContent: text }); }

// Replaces what element id shows with the given nodes.
function show(id, ...nodes) { $(id).replaceChildren(...nodes); }

function onEnter(e, fn, arg) {
    if (e.key === 'Enter') fn(arg);
}

// ---- the one way to the API ----

// Sends one request to this server with the page's credential; a body object goes as
// JSON and a string as it is. Resolves to the fetch Response; callers decode it.
// Every call is typed application/json: the server refuses a cross-site change that a
// plain form could send, so the page's own calls must not look like one.
function api(method, path, body) {
    const opts = { method: method, headers: { [H]: T, 'Content-Type': 'application/json' } };
    if (body !== undefined) opts.body = typeof body === 'string' ? body : JSON.stringify(body);
    return fetch(path, opts);
}

async function apiJson(method, path, body) {
    const r = await api(method, path, body);
    return r.json();
}

// ---- navigation ----

function nav(link, id) {
    document.querySelectorAll('.section').forEach(s => s.classList.remove('active'));
    document.querySelectorAll('#sidebar nav a').forEach(a => a.classList.remove('active'));
    $(id).classList.add('active');
    link.classList.add('active');
    return false;
}

function showTab(btn, id) {
    for (const b of btn.parentElement.children) b.classList.remove('active');
    btn.classList.add('active');
    btn.parentElement.parentElement.querySelectorAll('.tab-content').forEach(t => { t.style.display = 'none'; });
    $(id).style.display = 'block';
}

// ---- terminal ----

// Appends one line of text to the terminal, in class cls when given.
function appendOut(text, cls) {
    const out = $('out');
    out.append(cls ? msg(cls, text) : document.createTextNode(text), '\n');
    out.scrollTop = out.scrollHeight;
}

function historyUp(input) {
    if (hist.length === 0) return;
    if (hpos === -1) {
        saved = input.value;
        hpos = hist.length - 1;
    } else if (hpos > 0) {
        hpos--;
    }
    input.value = hist[hpos];
}

function historyDown(input) {
    if (hpos === -1) return;
    if (hpos < hist.length - 1) {
        hpos++;
        input.value = hist[hpos];
        return;
    }
    hpos = -1;
    input.value = saved;
}

function interrupt(input) {
    appendOut('^C', 'ok');
    input.value = '';
    hpos = -1;
}

function clearOut() { $('out').replaceChildren(); }

// The key handler of the command line; every key it handles loses its default action.
function terminalAction(e) {
    const key = e.key;
    if (key === 'Enter') return ovRun;
    if (key === 'ArrowUp') return historyUp;
    if (key === 'ArrowDown') return historyDown;
    if (e.ctrlKey && key === 'c') return interrupt;
    if (e.ctrlKey && key === 'l') return clearOut;
    return null;
}

function handleKey(e) {
    const action = terminalAction(e);
    if (!action) return;
    e.preventDefault();
    action(e.target);
}

async function ovRun() {
    const input = $('cmd');
    const cmd = input.value;
    if (!cmd) return;
    hist.push(cmd);
    hpos = -1;
    appendOut('$ ' + cmd, 'ok');
    try {
        // One combined stream, in the order the command wrote it, as a terminal shows it.
        const j = await apiJson('POST', '/api/exec', { cmd: cmd, merge_stderr: true });
        if (j.ok === true) appendOut(String(j.stdout));
        else appendOut('BLOCKED: ' + j.error, 'blocked');
    } catch (err) {
        appendOut('ERROR: ' + err.message, 'blocked');
    }
    input.value = '';
    input.focus();
    poll();
}

// ---- profile and polling ----

async function setProf(p) {
    try {
        await api('POST', '/api/profile', '{"profile":' + p + '}');
    } catch (err) {
        return;
    }
    poll();
}

function fk(n) {
    if (n >= 1000000) return Math.round(n / 1000000) + 'M';
    if (n >= 1000) return Math.round(n / 1000) + 'K';
    return String(n);
}

function setText(id, text) { $(id).textContent = text; }

function showProfileButtons(profile) {
    for (const p of k_profiles) {
        const b = $(p.id);
        const active = profile === p.name;
        b.style.background = active ? p.color : k_color.border;
        // The label keeps its own colour on the dark background and turns dark on its
        // own colour, so the active button stays readable.
        b.style.color = active ? k_color.page : p.color;
    }
}

function showHealth(h) {
    setText('execs', h.total_execs);
    setText('blocked', h.blocked_cmds);
    setText('bytes', h.bytes_captured);
    setText('uptime', h.uptime_sec + 's');
    setText('profile', h.profile);
    const iso = h.isolation || 'basic';
    setText('isolation', iso);
    $('isolation').style.color = iso === 'kernel' ? k_color.accent : k_color.basic;
    setText('plimits', 'CPU: ' + h.max_cpu_sec + 's | Mem: ' + h.max_mem_mb + 'MB | Timeout: ' + h.timeout_ms + 'ms');
    setText('rate', h.rate_1m || '0');
    setText('agents-count', h.agents_count || '0');
    showProfileButtons(h.profile);
    setText('lim-cpu', h.max_cpu_sec + 's');
    setText('lim-mem', h.max_mem_mb + 'MB');
    setText('lim-timeout', h.timeout_ms + 'ms');
    setText('conn-url', location.origin);
}

function showAuditEntries(entries) {
    show('audit-log', ...entries.map(line => el('div', { textContent: line })));
}

async function poll() {
    try {
        const h = await apiJson('GET', '/api/health');
        showHealth(h);
        const a = await apiJson('GET', k_audit_newest);
        if (Array.isArray(a.entries) && a.entries.length > 0) showAuditEntries(a.entries);
        updateUsage(h, window._agents);
    } catch (err) {
        // The next tick tries again; what was already shown stays.
    }
}

// A number input that the operator is editing keeps what they typed; polling refreshes
// it again once it loses focus.
function refreshInput(id, value) {
    const input = $(id);
    if (document.activeElement !== input) input.value = value;
}

function updateUsage(h, agents) {
    let tokens = 0;
    if (Array.isArray(agents)) for (const a of agents) tokens += a.tokens_total || 0;
    setText('usage-execs', h.total_execs);
    setText('usage-tokens', fk(tokens));
    setText('usage-agents', h.agents_count || 0);
    refreshInput('set-rate', h.max_rate_per_agent || 120);
    refreshInput('set-timeout', h.timeout_ms || 5000);
}

// ---- agent tables ----

function td(text, color) { return el('td', { textContent: text }, color ? 'color:' + color : ''); }

function emptyRow(span, text) {
    const cell = el('td', { colSpan: span, className: 'empty', textContent: text }, 'padding:12px;color:' + k_color.hint);
    return el('tr', null, null, cell);
}

function ageText(lastActive) {
    if (!(lastActive > 0)) return '-';
    const age = Math.max(0, Math.floor(Date.now() / 1000) - lastActive);
    if (age < 60) return age + 's';
    if (age < 3600) return Math.floor(age / 60) + 'm';
    return Math.floor(age / 3600) + 'h';
}

// The values every agent row is drawn from, with missing fields at their defaults.
function agentView(a) {
    const limit = a.rate_limit || 30;
    const rate = a.rate_1m || 0;
    const budget = a.token_budget || 0;
    const total = a.tokens_total || 0;
    return {
        name: String(a.name),
        active: !!a.active,
        age: ageText(a.last_active),
        execs: a.execs, blocked: a.blocked, bytes: a.bytes || 0,
        tokensIn: a.tokens_in || 0, tokensOut: a.tokens_out || 0,
        total: total, budget: budget,
        model: a.model || '-',
        profile: k_agent_profiles.includes(a.profile) ? a.profile : 'strict',
        profileOwn: a.profile_own === true,
        rateText: rate + '/' + limit,
        rateColor: rate >= limit ? k_color.danger : k_color.accent,
        budgetText: budget > 0 ? fk(budget) : 'unlimited',
    };
}

function dotCell(active) {
    const dot = el('span', { className: 'dot' }, 'background:' + (active ? k_color.accent : k_color.inactive));
    return el('td', null, null, dot);
}

function nameCell(name) { return el('td', { className: 'name', textContent: name }, 'color:' + k_color.heading); }

function setButton(name) {
    return el('td', null, null, el('button', { className: 'btn btn-set', textContent: 'Set', onclick: () => setBudget(name) }));
}

function usageBar(total, budget) {
    const cell = el('td');
    if (!(budget > 0)) return cell;
    const pct = Math.min(100, Math.round(total / budget * 100));
    const color = pct >= 90 ? k_color.danger : k_color.accent;
    const fill = el('div', null, 'width:' + pct + 'px;height:6px;border-radius:3px;background:' + color);
    cell.append(el('div', { className: 'bar' }, 'width:100px;height:6px;border-radius:3px;background:' + k_color.border, fill));
    return cell;
}

function overviewRow(v) {
    const budget = v.budget > 0 ? fk(v.total) + '/' + fk(v.budget) : 'unlimited';
    return el('tr', null, null,
        dotCell(v.active), nameCell(v.name),
        td(v.execs, k_color.accent), td(v.blocked, k_color.danger), td(fk(v.bytes)),
        td(v.rateText, v.rateColor),
        td(fk(v.tokensIn), k_color.tokensIn), td(fk(v.tokensOut), k_color.tokensOut),
        td(budget, k_color.warning), td(v.model, k_color.muted), td(v.age, k_color.hint));
}

// The agent's own profile, or "global (<the global one>)" while it follows that one.
function profileCell(v) {
    const select = el('select', { className: 'agent-prof', onchange: e => setAgentProfile(v.name, e.target.value) });
    for (const p of k_agent_profiles) {
        const label = p === 'global' && !v.profileOwn ? 'global (' + v.profile + ')' : p;
        select.append(el('option', { value: p, textContent: label }));
    }
    select.value = v.profileOwn ? v.profile : 'global';
    return el('td', null, null, select);
}

function agentRow(v) {
    return el('tr', null, null,
        dotCell(v.active), nameCell(v.name), td(v.model), td(v.execs), td(v.blocked),
        td(fk(v.total), k_color.tokensIn), td(v.budgetText, k_color.warning), profileCell(v), setButton(v.name));
}

function budgetRow(v) {
    return el('tr', null, null,
        nameCell(v.name), td(fk(v.total)), td(v.budgetText), usageBar(v.total, v.budget), setButton(v.name));
}

function showNoAgents() {
    show('ov-agents', emptyRow(11, 'No agents connected'));
    show('agent-body', emptyRow(9, 'No agents connected. See integration examples above.'));
    show('budget-body', emptyRow(5, 'No agents connected'));
}

// Names only: the server never sends the tokens.
function showTokenAgents(names) {
    if (!Array.isArray(names) || names.length === 0)
        return show('token-agents', el('div', { className: 'none', textContent: 'No agent tokens' }, 'color:' + k_color.hint));
    show('token-agents', ...names.map(name => el('div', { className: 'name', textContent: name }, 'color:' + k_color.heading)));
}

async function pollAgents() {
    try {
        const j = await apiJson('GET', '/api/agents');
        showTokenAgents(j.token_agents);
        if (!Array.isArray(j.agents) || j.agents.length === 0) return showNoAgents();
        window._agents = j.agents;
        const views = j.agents.map(agentView);
        show('ov-agents', ...views.map(overviewRow));
        show('agent-body', ...views.map(agentRow));
        show('budget-body', ...views.map(budgetRow));
    } catch (err) {
        // Silent: the next tick tries again.
    }
}

// ---- policy lists ----

function ruleList(list, kind, color) {
    if (!Array.isArray(list) || list.length === 0)
        return [el('div', { className: 'none', textContent: 'No rules' }, 'color:' + k_color.hint)];
    return list.map(rule => el('div', { className: 'rule' }, null,
        el('span', { textContent: rule }, 'color:' + color),
        el('button', { textContent: '\u00d7', title: 'Remove', onclick: () => rmRule(kind, rule) })));
}

async function loadPolicy() {
    try {
        const p = await apiJson('GET', '/api/policy');
        show('bl-list', ...ruleList(p.blacklist, 'bl', k_color.danger));
        show('wl-list', ...ruleList(p.whitelist, 'wl', k_color.accent));
    } catch (err) {
        // Silent; the lists keep what they showed.
    }
}

async function addRule(t) {
    const input = $(t + '-input');
    const rule = input.value.trim();
    if (!rule) return;
    try {
        await api('POST', '/api/policy', { action: 'add_' + t, rule: rule });
    } catch (err) {
        return;
    }
    input.value = '';
    loadPolicy();
}

async function rmRule(t, r) {
    try {
        await api('POST', '/api/policy', { action: 'rm_' + t, rule: r });
    } catch (err) {
        return;
    }
    loadPolicy();
}

// ---- audit filter ----

function clearAuditFilter() {
    $('af').value = '';
    filterAudit();
}

// Each keystroke restarts the timer, so a burst of typing sends one request.
function filterAudit() {
    clearTimeout(afTimer);
    afTimer = setTimeout(runAuditFilter, k_filter_delay_ms);
}

async function runAuditFilter() {
    const text = $('af').value.trim();
    const url = text ? k_audit_newest + '&agent=' + encodeURIComponent(text) : k_audit_newest;
    try {
        const j = await apiJson('GET', url);
        if (!Array.isArray(j.entries)) return;
        if (j.entries.length > 0) return showAuditEntries(j.entries);
        show('audit-log', el('div', { textContent: 'No entries' }, 'color:' + k_color.hint));
    } catch (err) {
        // Silent.
    }
}

// ---- budgets ----

async function setBudget(name) {
    const answer = prompt('Token budget for ' + name + ':', '50000');
    if (answer === null || answer === '') return;
    const tokens = parseInt(answer, 10);
    // Text that is not a number would reach the server as null and clear the budget.
    if (Number.isNaN(tokens)) return;
    try {
        await api('POST', '/api/budget', { agent: name, max_tokens: tokens });
    } catch (err) {
        return;
    }
    pollAgents();
}

// ---- agent profiles ----

// Sets or clears one agent's own profile and says what now holds for its runs.
async function setAgentProfile(name, choice) {
    const path = '/api/agents/' + encodeURIComponent(name) + '/profile';
    try {
        const j = await apiJson('POST', path, { profile: choice === 'global' ? null : choice });
        if (j.ok !== true) show('agent-profile-result', msg('blocked', name + ': ' + String(j.error)));
        else show('agent-profile-result', msg('ok', name + ': ' + j.profile + (j.own ? ' (its own profile)' : ' (the global profile)')
            + ', time-out ' + j.timeout_ms + ' ms, memory ' + j.max_mem_mb + ' MB'));
    } catch (err) {
        show('agent-profile-result', msg('blocked', name + ': ' + err.message));
    }
    pollAgents();
}

// ---- credentials panel ----

function decodeCredential(b64) {
    let text = '';
    try {
        const bytes = Uint8Array.from(atob(b64), c => c.charCodeAt(0));
        text = new TextDecoder().decode(bytes);
    } catch (err) {
        text = b64;
    }
    const cp = text.indexOf(':');
    if (cp > 0) return { user: text.slice(0, cp), pass: text.slice(cp + 1) };
    return { user: text, pass: '' };
}

function togglePass() {
    _passHidden = !_passHidden;
    const pass = window._cred_pass;
    setText('conn-pass', _passHidden ? '*'.repeat(pass.length) : pass);
    $('eye-icon').style.opacity = _passHidden ? '0.5' : '1';
}

// Outside a secure context (plain http to a non-local address) the asynchronous
// clipboard does not exist; a selected text area and the copy command still work there.
function writeClipboard(text) {
    if (navigator.clipboard && navigator.clipboard.writeText) {
        navigator.clipboard.writeText(text).catch(() => {});
        return;
    }
    const area = el('textarea', { value: text }, 'position:fixed;left:-9999px');
    document.body.append(area);
    area.select();
    try { document.execCommand('copy'); } catch (err) { /* nothing else to try */ }
    area.remove();
}

function cpClip(txt, btn) {
    writeClipboard(txt);
    // A second click within the pause must not make "Copied!" the label to restore.
    if (!btn.dataset.label) btn.dataset.label = btn.textContent;
    btn.textContent = 'Copied!';
    btn.style.color = k_color.accent;
    setTimeout(() => { btn.textContent = btn.dataset.label; }, k_copied_ms);
}

async function testConn() {
    const btn = $('test-btn');
    btn.disabled = true;
    btn.textContent = 'Testing...';
    show('test-result');
    const started = Date.now();
    try {
        const r = await api('POST', '/api/exec', { cmd: 'echo cindervox_ok' });
        const ms = Date.now() - started;
        const j = await r.json();
        if (j.ok === true && String(j.stdout).includes('cindervox_ok'))
            show('test-result', msg('ok', 'Connected (' + ms + 'ms)'));
        else
            show('test-result', msg('blocked', 'Failed: ' + (j.error || 'unexpected response')));
    } catch (err) {
        show('test-result', msg('blocked', 'Error: ' + err.message));
    }
    btn.disabled = false;
    btn.textContent = 'Run Test';
}

// ---- integration snippets (ORIGIN is replaced by the page's origin) ----

const k_snippets = {
    'snip-py': String.raw`pip install cindervox

from cindervox import Terox

terox = Terox(
    url="ORIGIN",
    auth=("terox", "wickerpod")
)

result = terox.exec(
    "echo hello",
    agent="my-agent",
    model="claude-opus-4"
)
print(result.stdout)`,
    'snip-js': String.raw`import { Terox } from 'cindervox'

const terox = new Terox({
    url: 'ORIGIN',
    auth: { user: 'terox', pass: 'wickerpod' }
})

const result = await terox.exec('echo hello', {
    agent: 'my-agent'
})
console.log(result.stdout)`,
    'snip-curl': String.raw`# Execute a command
curl -u terox:wickerpod \
  -H 'X-Agent: my-agent' \
  -H 'Content-Type: application/json' \
  -d '{"cmd":"echo hello"}' \
  ORIGIN/api/exec

# Health check
curl -u terox:wickerpod ORIGIN/api/health`,
    'snip-mcp': String.raw`# 1. Add MCP server to Claude Code
claude mcp add cindervox -- python3 cindervox_mcp.py

# 2. In cindervox_mcp.py set:
TEROX_URL = "ORIGIN"

# 3. Start a new Claude Code session.
#    It will use execute_command for all shell actions.
#    Every command passes through the sandbox.`,
};

function loadSnippets() {
    const origin = location.origin;
    for (const id in k_snippets) setText(id, k_snippets[id].split('ORIGIN').join(origin));
}

// ---- policy preview ----

// The server judges the command with the code its exec pipeline uses; nothing is executed
// and nothing is counted.
function previewReason(j) {
    const where = j.command ? ' (in: ' + j.command + ')' : '';
    switch (j.kind) {
    case 'sensitive': return 'sensitive path or shell construct: ' + j.rule + where;
    case 'blacklist': return 'blacklist: ' + j.rule + where;
    case 'whitelist': return 'not in whitelist (strict mode): ' + j.rule + where;
    default: return String(j.error);
    }
}

async function testCmd() {
    const cmd = $('test-cmd').value.trim();
    if (!cmd) return;
    const agent = $('test-agent').value.trim();
    try {
        const j = await apiJson('POST', '/api/policy/check', agent ? { cmd, agent } : { cmd });
        if (!j.ok) return show('test-cmd-result', msg('blocked', 'Error: ' + String(j.error)));
        const judged = ' \u2014 ' + String(j.agent) + ', ' + String(j.profile) + ' profile, ' + String(j.matcher) + ' matcher';
        if (j.allowed) show('test-cmd-result', msg('ok', 'ALLOWED \u2014 this command would execute'), msg('hint', judged));
        else show('test-cmd-result', msg('blocked', 'BLOCKED \u2014 ' + previewReason(j)), msg('hint', judged));
    } catch (err) {
        show('test-cmd-result', 'Error: ' + err.message);
    }
}

// ---- settings ----

async function changePass() {
    const user = $('set-user').value.trim();
    const pass = $('set-pass').value;
    if (!user || !pass) return show('pass-result', msg('blocked', 'Both fields required'));
    if (pass.length < 8) return show('pass-result', msg('blocked', 'Password must be at least 8 characters'));
    try {
        const j = await apiJson('POST', '/api/config', { username: user, password: pass });
        if (!j.ok) return show('pass-result', msg('blocked', String(j.error)));
        const note = j.persisted === false ? savedNote(j) : '';
        show('pass-result', msg('ok', 'Credentials updated' + note + '. Reload the page and login with the new credentials.'));
        window._cred_user = user;
        window._cred_pass = pass;
        setText('conn-user', user);
    } catch (err) {
        show('pass-result', msg('blocked', 'Error: ' + err.message));
    }
}

// Whether the server could save a change: " (saved)", or why not. An answer without the
// field comes from a server that saves every change.
function savedNote(answer) {
    return answer.persisted === false ? ' (not saved: ' + String(answer.reason) + ')' : ' (saved)';
}

// Sends one numeric setting after a local range check; the texts come from the caller.
async function applySetting(setting) {
    const v = parseInt($(setting.input).value, 10);
    if (!v || v < setting.min || v > setting.max) return show(setting.result, msg('blocked', setting.invalid));
    try {
        const j = await apiJson('POST', '/api/config', { [setting.field]: v });
        if (j.ok) show(setting.result, msg('ok', setting.saved(v) + savedNote(j)));
        else show(setting.result, msg('blocked', String(j.error)));
    } catch (err) {
        show(setting.result, msg('blocked', 'Error'));
    }
}

function setRate() {
    return applySetting({
        input: 'set-rate', result: 'rate-result', field: 'rate_limit', min: 1, max: 1000,
        invalid: 'Invalid (1-1000)', saved: v => 'Rate limit: ' + v + '/min',
    });
}

function setTimeout2() {
    return applySetting({
        input: 'set-timeout', result: 'timeout-result', field: 'timeout', min: 1000, max: 300000,
        invalid: 'Invalid (1000-300000ms)', saved: v => 'Timeout: ' + v + 'ms',
    });
}

async function exportAudit() {
    try {
        const j = await apiJson('GET', k_audit_everything);
        const blob = new Blob([JSON.stringify(j, null, 2)], { type: 'application/json' });
        const url = URL.createObjectURL(blob);
        const a = el('a', { href: url, download: 'cindervox-audit.json' });
        document.body.append(a);
        a.click();
        a.remove();
        URL.revokeObjectURL(url);
    } catch (err) {
        alert('Export failed: ' + err.message);
    }
}

async function resetSandbox() {
    if (!confirm('This will clear ALL counters, agents, and audit log. Continue?')) return;
    try {
        await api('DELETE', '/api/sandbox');
    } catch (err) {
        return show('reset-result', msg('blocked', 'Error'));
    }
    show('reset-result', msg('ok', 'Sandbox reset'));
    poll();
    pollAgents();
}

// ---- start-up ----

function tick() {
    poll();
    pollAgents();
}

const _cred = decodeCredential(_b64);
window._cred_user = _cred.user;
window._cred_pass = _cred.pass;
setText('conn-user', _cred.user);
setInterval(tick, k_poll_ms);
poll();
pollAgents();
loadPolicy();
loadSnippets();

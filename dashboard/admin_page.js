const H='Authorization';const T='Basic @@CREDENTIAL@@';
// The admin page's script. The server fills in the credential above (and in _b64 below)
// when it builds the page; every call goes back to the same origin with that header.
// Everything the server sends (command output, audit lines, agent, model and rule names,
// error texts) is put into the page as text through DOM calls, never as markup: an agent
// that prints an <img onerror=...> must not run script in the operator's browser.
// Every figure comes from the server's answers; nothing here restates a limit or a layer.

const k_poll_ms = 3000;
const k_filter_delay_ms = 300;
const k_audit_page = 20;
const k_copied_ms = 1500;
// The address the README's examples name, replaced by this page's origin.
const k_readme_origin = 'http://127.0.0.1:7575';
const k_color = {
    accent: '#00d4aa', danger: '#ff6b6b', warning: '#fbbf24', basic: '#febc2e',
    border: '#1e2d4a', heading: '#f0f6fc', muted: '#8892b0', hint: '#64748b',
    tokensIn: '#a78bfa', tokensOut: '#f472b6', inactive: '#374151', page: '#0a0e17',
};
// The choices of an agent's own profile; "global" clears it, so the agent follows the
// global profile.
const k_agent_profiles = ['global', 'strict', 'moderate', 'permissive'];
const k_profiles = [
    { name: 'strict', id: 'prof-0', color: k_color.accent },
    { name: 'moderate', id: 'prof-1', color: k_color.warning },
    { name: 'permissive', id: 'prof-2', color: k_color.danger },
];
// Audit actions that mean a refusal.
const k_refusals = ['BLOCK', 'RATELIMIT', 'BUDGET'];

let hist = [];
let hpos = -1;
let saved = '';
let afTimer = null;
let _passHidden = true;
let _b64='@@CREDENTIAL@@';
// The audit panel's page (entries skipped from the newest) and the answer it shows.
let auditOffset = 0;
let auditShown = null;
// The agent whose page is open, and the terminal's command in progress (its abort).
let agentShown = '';
let running = null;
// Every profile's row as the last health report gave them.
let lastHealthProfiles = null;

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

function msg(cls, text) { return el('span', { className: cls, textContent: text }); }
function show(id, ...nodes) { $(id).replaceChildren(...nodes); }
function setText(id, text) { $(id).textContent = text; }
function onEnter(e, fn, arg) { if (e.key === 'Enter') fn(arg); }

// ---- the one way to the API ----

// Sends one request to this server with the page's credential; a body object goes as
// JSON and a string as it is. Every call is typed application/json: the server refuses a
// cross-site change that a plain form could send. extra: more headers and a signal.
function api(method, path, body, extra) {
    const opts = { method: method, headers: { [H]: T, 'Content-Type': 'application/json' } };
    if (extra && extra.agent) opts.headers['X-Agent'] = extra.agent;
    if (extra && extra.signal) opts.signal = extra.signal;
    if (body !== undefined) opts.body = typeof body === 'string' ? body : JSON.stringify(body);
    return fetch(path, opts);
}

async function apiJson(method, path, body, extra) {
    const r = await api(method, path, body, extra);
    return r.json();
}

// ---- numbers and times as people read them ----

function fmtCount(n) { return (Number(n) || 0).toLocaleString('en-US'); }

function fmtBytes(n) {
    n = Number(n) || 0;
    if (n < 1024) return n + ' B';
    const units = ['KiB', 'MiB', 'GiB', 'TiB'];
    let i = -1;
    do { n /= 1024; i++; } while (n >= 1024 && i < units.length - 1);
    return (n < 10 ? n.toFixed(1) : Math.round(n)) + ' ' + units[i];
}

// Whole seconds: "45 s", "6 min 36 s", "1 h 2 min", "3 d 4 h".
function fmtDuration(sec) {
    const s = Math.max(0, Math.floor(Number(sec) || 0));
    const d = Math.floor(s / 86400), h = Math.floor(s % 86400 / 3600), m = Math.floor(s % 3600 / 60), r = s % 60;
    if (d) return d + ' d ' + h + ' h';
    if (h) return h + ' h ' + m + ' min';
    if (m) return m + ' min' + (r ? ' ' + r + ' s' : '');
    return r + ' s';
}

function fmtMs(ms) {
    ms = Number(ms) || 0;
    if (ms < 1000) return ms + ' ms';
    if (ms < 60000 && ms % 1000) return (ms / 1000).toFixed(1) + ' s';
    return fmtDuration(ms / 1000);
}

function fmtMiB(mb) { return fmtBytes(mb * 1048576); }

function nowSec() { return Math.floor(Date.now() / 1000); }

function fmtAgo(t) {
    if (!(t > 0)) return '-';
    const age = Math.max(0, nowSec() - t);
    if (age < 5) return 'just now';
    if (age < 60) return age + ' s ago';
    if (age < 3600) return Math.floor(age / 60) + ' min ago';
    if (age < 86400) return Math.floor(age / 3600) + ' h ago';
    return Math.floor(age / 86400) + ' d ago';
}

// Local date and time, "2025-12-07 14:03:09".
function fmtTime(t) {
    const d = new Date(t * 1000);
    const p = n => String(n).padStart(2, '0');
    return d.getFullYear() + '-' + p(d.getMonth() + 1) + '-' + p(d.getDate()) + ' ' + p(d.getHours()) + ':' + p(d.getMinutes()) + ':' + p(d.getSeconds());
}

function fk(n) {
    if (n >= 1000000) return Math.round(n / 1000000) + 'M';
    if (n >= 1000) return Math.round(n / 1000) + 'K';
    return String(n);
}

// ---- navigation ----

function navLink(i) { return document.querySelectorAll('#sidebar nav a')[i]; }

function nav(link, id) {
    document.querySelectorAll('.section').forEach(s => s.classList.remove('active'));
    document.querySelectorAll('#sidebar nav a').forEach(a => a.classList.remove('active'));
    $(id).classList.add('active');
    if (link) link.classList.add('active');
    $('sidebar').classList.remove('open');
    return false;
}

function toggleMenu() { $('sidebar').classList.toggle('open'); }

function showTab(btn, id) {
    for (const b of btn.parentElement.children) b.classList.remove('active');
    btn.classList.add('active');
    btn.parentElement.parentElement.querySelectorAll('.tab-content').forEach(t => { t.style.display = 'none'; });
    $(id).style.display = 'block';
}

// ---- terminal ----

// Appends text as the command wrote it (no line end added), in class cls when given.
function appendRaw(text, cls) {
    const out = $('out');
    out.append(cls ? msg(cls, text) : document.createTextNode(text));
    out.scrollTop = out.scrollHeight;
}

function appendOut(text, cls) { appendRaw(text + '\n', cls); }

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

// Ctrl+C stops the command in progress (closing its stream cancels the run), or abandons
// the line.
function interrupt(input) {
    if (running) return running.abort();
    appendOut('^C', 'ok');
    input.value = '';
    hpos = -1;
}

function clearOut() { $('out').replaceChildren(); }

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

// Calls onEvent(name, data) for each event of a text/event-stream body as it arrives.
async function readEvents(body, onEvent) {
    const reader = body.getReader();
    const decoder = new TextDecoder();
    let buffer = '';
    for (;;) {
        const { value, done } = await reader.read();
        if (done) return;
        buffer += decoder.decode(value, { stream: true });
        for (let at; (at = buffer.indexOf('\n\n')) >= 0;) {
            const block = buffer.slice(0, at);
            buffer = buffer.slice(at + 2);
            let name = 'message', data = '';
            for (const line of block.split('\n')) {
                if (line.startsWith('event: ')) name = line.slice(7);
                else if (line.startsWith('data: ')) data += line.slice(6);
            }
            if (data) onEvent(name, JSON.parse(data));
        }
    }
}

// How a streamed command ended, when that was not a plain exit 0.
function endNote(j) {
    if (j.ok !== true) return 'ERROR: ' + j.error;
    if (j.stopped) return '[stopped, exit ' + j.exit_code + ']';
    if (j.timed_out) return '[timed out after ' + fmtMs(j.duration_ms) + ', exit ' + j.exit_code + ']';
    if (j.killed_by) return '[killed by ' + j.killed_by + (j.call ? ' (' + j.call + ')' : '') + ', exit ' + j.exit_code + ']';
    if (j.exit_code !== 0) return '[exit ' + j.exit_code + ']';
    return '';
}

function onTerminalEvent(name, data) {
    if (name === 'stdout' || name === 'stderr') return appendRaw(String(data.text), name === 'stderr' ? 'err' : '');
    if (name === 'dropped') return appendOut('[' + fmtBytes(data.bytes) + ' dropped: the page read too slowly]', 'note');
    if (name !== 'exit') return;
    const text = $('out').textContent;
    if (text && !text.endsWith('\n')) appendRaw('\n');
    const note = endNote(data);
    if (note) appendOut(note, data.ok === true ? 'note' : 'blocked');
}

// The console's command: streamed, one at a time, stopped by Ctrl+C or the runs list.
async function ovRun() {
    const input = $('cmd');
    const cmd = input.value;
    if (!cmd || running) return;
    hist.push(cmd);
    hpos = -1;
    appendOut('$ ' + cmd, 'ok');
    input.value = '';
    const ctl = new AbortController();
    running = ctl;
    setTimeout(pollRuns, 300);
    try {
        const r = await api('POST', '/api/exec', { cmd: cmd, console: true, stream: true, merge_stderr: true }, { signal: ctl.signal });
        if ((r.headers.get('Content-Type') || '').startsWith('text/event-stream')) await readEvents(r.body, onTerminalEvent);
        else {
            // A refusal, or the whole answer at once from a server that does not stream.
            const j = await r.json();
            if (j.ok !== true) appendOut((r.status === 403 ? 'BLOCKED: ' : 'ERROR: ') + j.error, 'blocked');
            else {
                onTerminalEvent('stdout', { text: j.stdout });
                onTerminalEvent('exit', j);
            }
        }
    } catch (err) {
        if (err.name === 'AbortError') appendOut('^C', 'ok');
        else appendOut('ERROR: ' + err.message, 'blocked');
    }
    running = null;
    input.focus();
    poll();
    pollRuns();
}

// ---- runs ----

async function stopRun(id) {
    try { await api('DELETE', '/api/runs/' + id); } catch (err) { /* the list shows what is left */ }
    pollRuns();
}

function runRow(r) {
    const state = r.state + (r.kind === 'background' ? ' (background)' : '');
    const stop = el('button', { className: 'btn btn-set', textContent: 'Stop', onclick: () => stopRun(r.run_id) });
    return el('tr', null, null, agentCell(String(r.agent)), el('td', { className: 'cmdc', textContent: String(r.cmd) }),
        td(state), td(fmtMs(r.duration_ms)), td(fmtBytes(r.output_bytes)), el('td', null, null, stop));
}

async function pollRuns() {
    try {
        const j = await apiJson('GET', '/api/runs');
        const going = (j.runs || []).filter(r => r.state !== 'exited');
        if (going.length === 0) return show('runs-body', emptyRow(6, 'No commands running'));
        show('runs-body', ...going.map(runRow));
    } catch (err) {
        // The next tick tries again.
    }
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

function profileIndex(name) { return k_profiles.findIndex(p => p.name === name); }

function showProfileButtons(profile) {
    for (const p of k_profiles) {
        const b = $(p.id);
        const active = profile === p.name;
        b.style.background = active ? p.color : k_color.border;
        b.style.color = active ? k_color.page : p.color;
    }
}

// The select follows the profile in force, wherever it was changed; not while the
// operator has it open.
function showProfileSelect(profile) {
    const select = $('ov-prof');
    const i = profileIndex(profile);
    if (i >= 0 && document.activeElement !== select) select.value = String(i);
}

function limitsText(l) {
    return 'Time-out ' + fmtMs(l.timeout_ms) + ' \u00b7 Memory ' + fmtMiB(l.max_mem_mb) + ' \u00b7 CPU ' + fmtDuration(l.max_cpu_sec);
}

function showHealth(h) {
    setText('execs', fmtCount(h.total_execs));
    setText('blocked', fmtCount(h.blocked_cmds));
    setText('bytes', fmtBytes(h.bytes_captured));
    setText('uptime', fmtDuration(h.uptime_sec));
    setText('profile', h.profile);
    const iso = h.isolation || 'basic';
    setText('isolation', iso);
    $('isolation').style.color = iso === 'kernel' ? k_color.accent : k_color.basic;
    setText('plimits', limitsText(h));
    setText('rate', fmtCount(h.rate_1m));
    setText('agents-count', fmtCount(h.agents_count));
    showProfileSelect(h.profile);
    showProfileButtons(h.profile);
    showSecurity(h);
    lastHealthProfiles = h.profiles;
    setText('conn-url', location.origin);
}

async function poll() {
    try {
        const h = await apiJson('GET', '/api/health');
        showHealth(h);
        updateUsage(h, window._agents);
        // Only the newest page follows the log; an older page stays where the operator is.
        if (auditOffset === 0) await loadAudit();
    } catch (err) {
        // The next tick tries again; what was already shown stays.
    }
}

// A number input that the operator is editing keeps what they typed.
function refreshInput(id, value) {
    const input = $(id);
    if (document.activeElement !== input) input.value = value;
}

function updateUsage(h, agents) {
    let tokens = 0;
    if (Array.isArray(agents)) for (const a of agents) tokens += a.tokens_total || 0;
    setText('usage-execs', fmtCount(h.total_execs));
    setText('usage-tokens', fk(tokens));
    setText('usage-agents', h.agents_count || 0);
    refreshInput('set-rate', h.max_rate_per_agent || 120);
    refreshInput('set-timeout', h.timeout_ms || 5000);
}

// ---- security: the profiles and the layers this server has in force ----

function profileRules(p) {
    return 'screen, blacklist' + (p.whitelist ? ', whitelist' : '');
}

function profileRow(p, active) {
    return el('tr', { className: active ? 'on' : '' }, null, td(p.name + (active ? ' (in force)' : '')), td(profileRules(p)),
        td(fmtMs(p.timeout_ms)), td(fmtMiB(p.max_mem_mb)), td(fmtDuration(p.max_cpu_sec)), td(p.max_procs),
        td(fmtBytes(p.max_fsize)), td(p.max_nofile));
}

// Where a console command (no agent, so no workspace) may write, by the workspaces' kind.
const k_console_tmp = {
    tmpfs: 'each in an empty /tmp of its own',
    directory: 'with no directory to write in (Landlock grants it none)',
    none: 'in the host\'s /tmp',
};

const k_profile_notes = {
    strict: 'Strict is in force: a command runs only when the whitelist admits it (with the words matcher: every program it runs); the sensitive-path screen and the blacklist refuse too.',
    moderate: 'Moderate is in force: no whitelist; the sensitive-path screen and the blacklist refuse what they match, everything else runs within the limits.',
    permissive: 'Permissive is in force: the same screen and blacklist as moderate, with the largest limits. No profile turns the rules off.',
};

// What each layer does in the mode this server runs in, or why it is not there.
function layerRows(h) {
    const layers = h.layers || [];
    const jailed = layers.includes('jail');
    const rootless = h.isolation !== 'kernel';
    return [
        ['Namespaces', layers.includes('namespaces'),
            'each run: new mount, PID and IPC namespaces, and its agent\'s network namespace (loopback only, no route out)' + (rootless ? '; rootless, in its agent\'s user namespace' : ''),
            'commands share the host\'s namespaces'],
        ['Jail', jailed,
            'a read-only root pivoted from a tmpfs: the host\'s /usr, /bin and /lib read-only, an /etc the server writes (no secrets), six devices, the run\'s own /proc',
            'commands see the host\'s file system, as far as Landlock lets them'],
        ['Control groups', h.cgroups === true,
            'per run: memory and swap bounded by the profile\'s memory, tasks by its processes, inside its agent\'s group',
            'not in this mode: memory is bounded per process (address space)'],
        ['Resource limits', layers.includes('rlimits'),
            'CPU time, processes, file size and open files per run' + (h.cgroups === true ? '' : ', and address space'), ''],
        ['No new privileges', true, 'set-uid programs gain nothing', ''],
        ['Landlock', h.landlock > 0,
            'ABI ' + h.landlock + ': read and execute in the system directories, write only in /tmp and /dev/shm',
            'the kernel offers no Landlock'],
        ['Seccomp filter', layers.includes('seccomp'),
            'kills the run (exit 159) on ptrace, process_vm_*, module and kexec loading, reboot, io_uring_setup and any x32 or i386 call; refuses namespaces, mounts, bpf, perf_event_open and keyrings (EPERM); sockets only local, Internet and netlink'
                + (jailed ? ', Internet reaching only the agent\'s loopback' : ', and Internet and local sockets fail (EACCES)'), ''],
        ['Workspace', h.workspaces === 'tmpfs' || h.workspaces === 'directory',
            h.workspaces === 'tmpfs' ? '/tmp is the agent\'s own tmpfs of ' + fmtMiB(h.workspace_mb) + ', kept until the agent is reset or leaves'
                : '/tmp is the agent\'s own directory, which Landlock keeps to it',
            'none: every run starts with an empty /tmp'],
    ];
}

function showSecurity(h) {
    if (Array.isArray(h.profiles)) show('prof-table', ...h.profiles.map(p => profileRow(p, p.name === h.profile)));
    setText('prof-note', k_profile_notes[h.profile] || '');
    const mode = h.isolation === 'kernel' ? 'kernel isolation (started as root)'
        : h.namespaces ? 'basic isolation with rootless namespaces' : 'basic isolation without namespaces';
    setText('layers-note', 'This server runs with ' + mode + '. The layers below are those its runs enter now.');
    setText('ver-iso', mode);
    setText('term-tmp', k_console_tmp[h.workspaces] || 'without a workspace');
    show('layers', ...layerRows(h).map(([name, on, yes, no]) => el('tr', { className: on ? '' : 'layer-off' }, null,
        td(name), td(on ? 'yes' : 'no', on ? k_color.accent : k_color.hint), td(on ? yes : no))));
    setText('lim-timeout', fmtMs(h.timeout_ms));
    setText('lim-cpu', fmtDuration(h.max_cpu_sec));
    setText('lim-mem', fmtMiB(h.max_mem_mb));
    setText('lim-procs', h.max_procs === undefined ? '-' : h.max_procs);
    setText('lim-fsize', h.max_fsize === undefined ? '-' : fmtBytes(h.max_fsize));
    setText('lim-nofile', h.max_nofile === undefined ? '-' : h.max_nofile);
}

// ---- history: small SVG bar charts drawn from GET /api/history ----

const k_svg = 'http://www.w3.org/2000/svg';
const k_series = ['#00d4aa', '#a78bfa', '#f472b6', '#fbbf24', '#60a5fa', '#fb923c', '#34d399', '#e879f9'];

function svg(tag, attrs, text) {
    const e = document.createElementNS(k_svg, tag);
    for (const k in attrs) e.setAttribute(k, attrs[k]);
    if (text !== undefined) e.textContent = text;
    return e;
}

function sum(values) { return values.reduce((s, v) => s + v, 0); }

function refusedIn(bucket) { return sum(Object.values(bucket.refused || {})); }

function fmtClock(t) {
    const d = new Date(t * 1000);
    return String(d.getHours()).padStart(2, '0') + ':' + String(d.getMinutes()).padStart(2, '0');
}

// Stacked bars, one per bucket: layers are { color, values } of the same length, drawn
// from the bottom up; each bar part carries its value (data-v). labels: [index, text].
function barChart(title, layers, labels) {
    const width = 900, height = 120, top = 18, left = 40;
    const n = layers.length ? layers[0].values.length : 0;
    const max = Math.max(1, ...Array.from({ length: n }, (_, i) => sum(layers.map(l => l.values[i] || 0))));
    const step = (width - left) / Math.max(1, n);
    const chart = svg('svg', { class: 'chart', viewBox: '0 0 ' + width + ' ' + (top + height + 16), role: 'img', 'aria-label': title });
    chart.append(svg('text', { x: 0, y: 11 }, title), svg('text', { x: left - 6, y: top + 8, 'text-anchor': 'end' }, fk(max)),
        svg('text', { x: left - 6, y: top + height, 'text-anchor': 'end' }, '0'),
        svg('line', { x1: left, x2: width, y1: top + height + 0.5, y2: top + height + 0.5, stroke: k_color.border }));
    for (let i = 0; i < n; i++) {
        let y = top + height;
        for (const layer of layers) {
            const v = layer.values[i] || 0;
            if (!v) continue;
            const h = v / max * height;
            y -= h;
            chart.append(svg('rect', { x: (left + i * step + 1).toFixed(1), y: y.toFixed(1), width: Math.max(1, step - 2).toFixed(1),
                height: h.toFixed(1), fill: layer.color, 'data-v': v }));
        }
    }
    for (const [i, text] of labels)
        chart.append(svg('text', { x: (left + i * step + step / 2).toFixed(1), y: top + height + 13, 'text-anchor': i === 0 ? 'start' : i === n - 1 ? 'end' : 'middle' }, text));
    return chart;
}

function legend(items) {
    return el('div', { className: 'legend' }, null, ...items.map(([color, text]) => el('span', null, null, el('i', null, 'background:' + color), text)));
}

function axisLabels(buckets, last) {
    const n = buckets.length;
    return n ? [[0, fmtClock(buckets[0].t)], [n >> 1, fmtClock(buckets[n >> 1].t)], [n - 1, last]] : [];
}

async function pollHistory() {
    try {
        const j = await apiJson('GET', '/api/history');
        if (j.ok !== true || !Array.isArray(j.minutes)) return;
        const runs = j.minutes.map(b => b.runs), refused = j.minutes.map(refusedIn);
        const agents = (j.agents || []).map((a, i) => ({ name: String(a.agent), color: k_series[i % k_series.length],
            values: a.hours.map(b => b.tokens_in + b.tokens_out) }));
        const spent = agents.filter(a => sum(a.values) > 0);
        show('charts',
            barChart('Runs and refusals per minute, last hour', [{ color: k_color.accent, values: runs }, { color: k_color.danger, values: refused }],
                axisLabels(j.minutes, 'now')),
            legend([[k_color.accent, 'runs ' + fmtCount(sum(runs))], [k_color.danger, 'refused ' + fmtCount(sum(refused))]]),
            barChart('Tokens per agent per hour, last 24 hours', spent.length ? spent : [{ color: k_color.border, values: j.hours.map(() => 0) }],
                axisLabels(j.hours, 'this hour')),
            legend(spent.length ? spent.map(a => [a.color, a.name + ' ' + fk(sum(a.values))]) : [[k_color.border, 'no tokens reported']]));
    } catch (err) {
        // The next tick tries again.
    }
}

// ---- agent tables ----

function td(text, color) { return el('td', { textContent: text }, color ? 'color:' + color : ''); }

function emptyRow(span, text) {
    const cell = el('td', { colSpan: span, className: 'empty', textContent: text }, 'padding:12px;color:' + k_color.hint);
    return el('tr', null, null, cell);
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
        age: fmtAgo(a.last_active),
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

// An agent's name opens its page.
function agentCell(name) {
    return el('td', { className: 'name link', textContent: name, title: 'Open ' + name, onclick: () => openAgent(name) }, 'color:' + k_color.heading);
}

function nameCell(name) { return agentCell(name); }

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
        td(v.execs, k_color.accent), td(v.blocked, k_color.danger), td(fmtBytes(v.bytes)),
        td(v.rateText, v.rateColor),
        td(fk(v.tokensIn), k_color.tokensIn), td(fk(v.tokensOut), k_color.tokensOut),
        td(budget, k_color.warning), td(v.model, k_color.muted), td(v.age, k_color.hint));
}

// The agent's own profile, or "global (<the global one>)" while it follows that one.
function profileSelect(v) {
    const select = el('select', { className: 'agent-prof', onchange: e => setAgentProfile(v.name, e.target.value) });
    for (const p of k_agent_profiles) {
        const label = p === 'global' && !v.profileOwn ? 'global (' + v.profile + ')' : p;
        select.append(el('option', { value: p, textContent: label }));
    }
    select.value = v.profileOwn ? v.profile : 'global';
    return select;
}

function agentRow(v) {
    return el('tr', null, null,
        dotCell(v.active), nameCell(v.name), td(v.model), td(v.execs), td(v.blocked),
        td(fk(v.total), k_color.tokensIn), td(v.budgetText, k_color.warning), el('td', null, null, profileSelect(v)), setButton(v.name));
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
        show('agent-names', ...views.map(v => el('option', { value: v.name })));
        if (agentShown && $('sec-agent').classList.contains('active')) showAgent();
    } catch (err) {
        // Silent: the next tick tries again.
    }
}

// ---- the agent page ----

function openAgent(name) {
    agentShown = name;
    nav(null, 'sec-agent');
    setText('ag-name', name);
    show('ag-cmds');
    show('ag-files');
    show('ag-reset-result');
    show('ag-prof-result');
    showAgent();
    loadAgentDetails();
}

function agentRecord(name) { return (window._agents || []).find(a => String(a.name) === name); }

// The counters, profile and budget of the agent as the last agents report had them.
function showAgent() {
    const a = agentRecord(agentShown);
    if (!a) {
        setText('ag-budget', 'Not in the registry now: it has left or was never seen.');
        return;
    }
    const v = agentView(a);
    setText('ag-execs', fmtCount(v.execs));
    setText('ag-blocked', fmtCount(v.blocked));
    setText('ag-ws', a.workspace_bytes === undefined ? '-' : fmtBytes(a.workspace_bytes));
    setText('ag-last', v.age);
    const select = $('ag-prof');
    if (document.activeElement !== select) select.replaceChildren(...profileSelect(v).children);
    if (document.activeElement !== select) select.value = v.profileOwn ? v.profile : 'global';
    const limits = (lastHealthProfiles || []).find(p => p.name === v.profile);
    setText('ag-limits', v.profile + (v.profileOwn ? ' (its own)' : ' (the global profile)') + (limits ? ': ' + limitsText(limits) : ''));
    setText('ag-budget', v.budget > 0
        ? fmtCount(v.total) + ' of ' + fmtCount(v.budget) + ' tokens used (' + Math.round(v.total / v.budget * 100) + ' %)'
        : fmtCount(v.total) + ' tokens used; no budget');
}

// "[1765105200] [agent-7] EXEC OK "ls -la" exit=0 dur=3ms profile=strict", its fields read
// from the line's end (a detail may hold quotes); null for a line of another form.
function parseEntry(line) {
    const m = /^\[(\d+)\] \[(.*?)\] ([A-Z_]+) ([A-Z_]+) ?(.*)$/.exec(String(line).replace(/\n$/, ''));
    if (!m) return null;
    const tail = / ?(?:detail_bytes=(\d+) )?exit=(-?\d+) dur=(-?\d+)ms(?: profile=(\w+))?$/.exec(m[5]);
    let detail = tail ? m[5].slice(0, tail.index) : m[5];
    if (detail.startsWith('"') && detail.endsWith('"')) detail = detail.slice(1, -1);
    return {
        time: Number(m[1]), agent: m[2], action: m[3], result: m[4], detail: detail,
        exit: tail ? Number(tail[2]) : null, dur: tail ? Number(tail[3]) : null, profile: tail ? tail[4] : null,
        cut: tail && tail[1] ? Number(tail[1]) : 0,
    };
}

async function loadAgentDetails() {
    const name = agentShown;
    try {
        const j = await apiJson('GET', '/api/audit?order=newest&limit=20&agent=' + encodeURIComponent(name));
        const rows = (j.entries || []).map(parseEntry).filter(e => e).map(e => el('tr', null, null,
            td(fmtTime(e.time)), td(e.action + ' ' + e.result, k_refusals.includes(e.action) ? k_color.danger : k_color.accent),
            el('td', { className: 'cmdc', textContent: e.detail + (e.cut ? ' \u2026(' + fmtBytes(e.cut) + ')' : '') }),
            td(e.exit === null ? '' : e.exit), td(e.dur === null ? '' : fmtMs(e.dur))));
        if (name === agentShown) show('ag-cmds', ...(rows.length ? rows : [emptyRow(5, 'No commands in the retained log')]));
    } catch (err) {
        show('ag-cmds', emptyRow(5, 'Error: ' + err.message));
    }
    loadAgentFiles(name);
}

// Listing makes a workspace where none is, so an agent without one is not asked.
async function loadAgentFiles(name) {
    const a = agentRecord(name);
    if (!a || !(a.workspace_bytes > 0)) return show('ag-files', el('div', { className: 'none', textContent: 'No files in its workspace' }));
    try {
        const j = await apiJson('POST', '/api/list', { path: '/tmp' }, { agent: name });
        if (name !== agentShown) return;
        if (!j.ok) return show('ag-files', msg('blocked', String(j.error)));
        const lines = j.entries.map(e => el('div', null, null, (e.type === 'dir' ? e.name + '/' : e.name) + '  ' + (e.type === 'file' ? fmtBytes(e.size) : e.type)
            + '  ' + fmtTime(e.mtime)));
        show('ag-files', ...(lines.length ? lines : [el('div', { className: 'none', textContent: 'Empty' })]));
    } catch (err) {
        show('ag-files', msg('blocked', 'Error: ' + err.message));
    }
}

async function resetAgent() {
    const name = agentShown;
    if (!confirm('Reset agent ' + name + '? Its runs are cancelled and its workspace emptied.')) return;
    try {
        const j = await apiJson('DELETE', '/api/agents/' + encodeURIComponent(name));
        if (j.ok) show('ag-reset-result', msg('ok', 'Reset; ' + j.runs_cancelled + ' run(s) cancelled'));
        else show('ag-reset-result', msg('blocked', String(j.error)));
    } catch (err) {
        show('ag-reset-result', msg('blocked', 'Error: ' + err.message));
    }
    await pollAgents();
    loadAgentDetails();
}

async function setAgentBudget() {
    const tokens = parseInt($('ag-budget-in').value, 10);
    if (Number.isNaN(tokens) || tokens < 0) return;
    try {
        await api('POST', '/api/budget', { agent: agentShown, max_tokens: tokens });
    } catch (err) {
        return;
    }
    $('ag-budget-in').value = '';
    pollAgents();
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

// ---- audit log: newest first, a page at a time, by agent and action ----

function clearAuditFilter() {
    $('af').value = '';
    $('aa').value = '';
    filterAudit();
}

// Each keystroke restarts the timer, so a burst of typing sends one request.
function filterAudit() {
    clearTimeout(afTimer);
    afTimer = setTimeout(() => { auditOffset = 0; loadAudit(); }, k_filter_delay_ms);
}

function auditPage(step) {
    auditOffset = Math.max(0, auditOffset + step * k_audit_page);
    loadAudit();
}

function auditUrl(offset, limit) {
    const agent = $('af').value.trim();
    const action = $('aa').value;
    return '/api/audit?order=newest&limit=' + limit + '&offset=' + offset
        + (agent ? '&agent=' + encodeURIComponent(agent) : '') + (action ? '&action=' + action : '');
}

function auditLine(line) {
    const e = parseEntry(line);
    if (!e) return el('div', { textContent: line });
    const bad = k_refusals.includes(e.action) || (e.action === 'EXEC' && e.result !== 'OK');
    const rest = (e.detail ? ' "' + e.detail + '"' : '') + (e.cut ? ' (' + fmtBytes(e.cut) + ' in all)' : '')
        + (e.exit === null ? '' : ' exit=' + e.exit + ' ' + fmtMs(e.dur)) + (e.profile ? ' ' + e.profile : '');
    return el('div', null, null,
        el('span', { className: 't', textContent: fmtTime(e.time), title: fmtAgo(e.time) }), ' ',
        el('span', { className: 'a', textContent: e.agent, onclick: () => openAgent(e.agent) }), ' ',
        el('span', { className: 'w' + (bad ? ' bad' : ''), textContent: e.action + ' ' + e.result }),
        rest);
}

function showAudit(j) {
    auditShown = j;
    const entries = j.entries || [];
    const matched = j.matched || 0;
    if (entries.length === 0) show('audit-log', el('div', { textContent: 'No entries' }, 'color:' + k_color.hint));
    else show('audit-log', ...entries.map(auditLine));
    setText('au-range', entries.length ? (auditOffset + 1) + '\u2013' + (auditOffset + entries.length) + ' of ' + matched : '0 of ' + matched);
    $('au-newer').disabled = auditOffset === 0;
    $('au-older').disabled = auditOffset + entries.length >= matched;
}

async function loadAudit() {
    try {
        const j = await apiJson('GET', auditUrl(auditOffset, k_audit_page));
        if (Array.isArray(j.entries)) showAudit(j);
    } catch (err) {
        // Silent.
    }
}

function download(name, value) {
    const blob = new Blob([JSON.stringify(value, null, 2)], { type: 'application/json' });
    const url = URL.createObjectURL(blob);
    const a = el('a', { href: url, download: name });
    document.body.append(a);
    a.click();
    a.remove();
    URL.revokeObjectURL(url);
}

// Exactly the entries the panel shows, with the filter and the page they came from.
function exportShown() {
    if (!auditShown) return;
    download('cindervox-audit-view.json', {
        agent: $('af').value.trim(), action: $('aa').value, order: 'newest', offset: auditOffset,
        matched: auditShown.matched, total: auditShown.total, entries: auditShown.entries,
    });
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

// The answer shows beside the agents table and on the agent's page.
function showProfileResult(node) {
    show('agent-profile-result', node);
    show('ag-prof-result', node.cloneNode(true));
}

// Sets or clears one agent's own profile and says what now holds for its runs.
async function setAgentProfile(name, choice) {
    const path = '/api/agents/' + encodeURIComponent(name) + '/profile';
    try {
        const j = await apiJson('POST', path, { profile: choice === 'global' ? null : choice });
        if (j.ok !== true) showProfileResult(msg('blocked', name + ': ' + String(j.error)));
        else showProfileResult(msg('ok', name + ': ' + j.profile + (j.own ? ' (its own profile)' : ' (the global profile)')
            + ', time-out ' + fmtMs(j.timeout_ms) + ', memory ' + fmtMiB(j.max_mem_mb)));
    } catch (err) {
        showProfileResult(msg('blocked', name + ': ' + err.message));
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

// Outside a secure context the asynchronous clipboard does not exist; a selected text
// area and the copy command still work there.
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
        const r = await api('POST', '/api/exec', { cmd: 'echo cindervox_ok', console: true });
        const ms = Date.now() - started;
        const j = await r.json();
        if (j.ok === true && String(j.stdout).includes('cindervox_ok'))
            show('test-result', msg('ok', 'Connected (' + ms + ' ms)'));
        else
            show('test-result', msg('blocked', 'Failed: ' + (j.error || 'unexpected response')));
    } catch (err) {
        show('test-result', msg('blocked', 'Error: ' + err.message));
    }
    btn.disabled = false;
    btn.textContent = 'Run Test';
}

// ---- integration snippets: the README's own, embedded when the server was built ----

const k_snippet_ids = { 'snip-py': 'python', 'snip-js': 'js', 'snip-curl': 'curl', 'snip-mcp': 'mcp-stdio', 'snip-mcp-http': 'mcp-http' };

function loadSnippets() {
    const readme = JSON.parse($('snippets').textContent);
    for (const id in k_snippet_ids) setText(id, String(readme[k_snippet_ids[id]]).split(k_readme_origin).join(location.origin));
}

// ---- policy preview ----

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

function savedNote(answer) {
    return answer.persisted === false ? ' (not saved: ' + String(answer.reason) + ')' : ' (saved)';
}

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
        download('cindervox-audit.json', await apiJson('GET', '/api/audit?order=newest&limit=256'));
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
    pollRuns();
    if ($('sec-overview').classList.contains('active')) pollHistory();
}

const _cred = decodeCredential(_b64);
window._cred_user = _cred.user;
window._cred_pass = _cred.pass;
setText('conn-user', _cred.user);
setInterval(tick, k_poll_ms);
tick();
loadPolicy();
loadSnippets();

// The fleet page's script. AUTH (the sandboxes' built-in login) and S (the sandbox table:
// url u, name n, and a, the sandbox's own login, where it has one) are set just before it
// by the page. Every call goes from this browser straight to a sandbox; every value a
// sandbox sends back is shown as text, never parsed as markup.

function $(id) { return document.getElementById(id); }

// A whole number from a health field, 0 when missing or not a number.
function int(v) { return parseInt(v, 10) || 0; }

// A counter cell's text: "0" when the field is missing or zero.
function cell(v) { return v ? String(v) : '0'; }

function fillTargets() {
  S.forEach((s, i) => {
    const o = document.createElement('option');
    o.value = String(i);
    o.textContent = s.n;
    $('target').appendChild(o);
  });
}

// Every sandbox call: the sandbox's login goes under whatever headers the caller gives.
function af(s, path, opts) {
  const o = opts || {};
  const headers = Object.assign({ Authorization: s.a || AUTH }, o.headers || {});
  return fetch(s.u + path, Object.assign({}, o, { headers: headers }));
}

function upd(i, d) {
  $('d' + i).className = 'dot on';
  $('ex' + i).textContent = cell(d.total_execs);
  $('bl' + i).textContent = cell(d.blocked_cmds);
  $('by' + i).textContent = cell(d.bytes_captured);
  $('ag' + i).textContent = cell(d.agents_count);
  $('up' + i).textContent = cell(d.uptime_sec) + 's';
  // A card stands for one sandbox, which answered: the summary adds these up.
  $('sb' + i).textContent = '1';
  const prof = String(d.profile || 'strict');
  $('prof' + i).textContent = prof;
  $('prof' + i).className = 'badge ' + prof;
  const iso = String(d.isolation || 'basic');
  $('iso' + i).textContent = iso;
  $('iso' + i).style.color = iso === 'kernel' ? '#00d4aa' : '#febc2e';
}

function offline(i) {
  $('d' + i).className = 'dot off';
  ['ex', 'bl', 'by', 'up', 'sb', 'iso', 'ag'].forEach(p => { $(p + i).textContent = '--'; });
  $('iso' + i).style.color = '';
  $('prof' + i).textContent = 'offline';
  $('prof' + i).className = 'badge';
}

// Audit lines carry the action as a word of its own ("... [agent] BLOCK BLACKLIST ...");
// a line that says BLOCKED anywhere counts as well.
function isBlocked(line) { return /\] BLOCK /.test(line) || line.includes('BLOCKED'); }

// One sandbox's audit answer replaces the whole panel, when it lists anything.
function showAudit(name, entries) {
  if (!Array.isArray(entries) || entries.length === 0) return;
  const rows = entries.map(e => {
    const line = String(e);
    const div = document.createElement('div');
    div.className = isBlocked(line) ? 'audit-entry audit-blocked' : 'audit-entry';
    div.textContent = '[' + name + '] ' + line;
    return div;
  });
  $('audit-log').replaceChildren(...rows);
}

// The summary's Sandboxes figure is the number of sandboxes that answered this poll.
function refresh() {
  let online = 0, execs = 0, blocked = 0;
  const health = S.map((s, i) => af(s, '/api/health')
    .then(r => r.json())
    .then(d => {
      upd(i, d);
      online++;
      execs += int(d.total_execs);
      blocked += int(d.blocked_cmds);
    })
    .catch(() => offline(i)));
  Promise.all(health).then(() => {
    $('s-online').textContent = online + '/' + S.length;
    $('s-execs').textContent = String(execs);
    $('s-blocked').textContent = String(blocked);
    $('s-sandboxes').textContent = String(online);
    $('lastup').textContent = 'Updated: ' + new Date().toLocaleTimeString();
  });
  S.forEach(s => {
    af(s, '/api/audit')
      .then(r => r.json())
      .then(d => showAudit(s.n, d && d.entries))
      .catch(() => {});
  });
}

function showOutput(text, color) {
  const out = $('exec-out');
  out.textContent = text;
  out.style.color = color;
}

function run() {
  const s = S[int($('target').value)];
  const input = $('cmd');
  const cmd = input.value;
  if (!cmd || !s) return;
  $('exec-out').style.display = 'block';
  showOutput('Executing on ' + s.n + '...', '');
  af(s, '/api/exec', {
    method: 'POST',
    headers: { 'Content-Type': 'application/json' },
    body: JSON.stringify({ cmd: cmd }),
  })
    .then(r => r.json())
    .then(d => {
      if (d && d.ok === true)
        showOutput('$ ' + cmd + '\n' + String(d.stdout ?? ''), '#00d4aa');
      else
        showOutput('BLOCKED: ' + String((d && d.error) || 'denied'), '#ef4444');
      input.value = '';
      refresh();
    })
    .catch(e => showOutput('Error: ' + e, '#ef4444'));
}

fillTargets();
refresh();
setInterval(refresh, 3000);

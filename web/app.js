// The browser console: a thin page over dravlinctl serve's API. Every call carries the token;
// the news comes as Server-Sent Events read through fetch (EventSource cannot send a header).
'use strict';

const $ = (id) => document.getElementById(id);
let token = '';
const rows = new Map();  // serial -> {data, tr}
const ticked = new Set();
const uploads = {boot: null, channel: null, shutdown: null, firmware: null};  // ids that passed
let searching = false;

function say(text, info) {
  const m = $('message');
  m.textContent = text || '';
  m.className = 'message' + (info ? ' info' : '');
}

async function api(method, path, body, raw) {
  const headers = {'Authorization': 'Bearer ' + token};
  const init = {method, headers};
  if (raw !== undefined) {
    init.body = raw;
    headers['Content-Type'] = 'application/octet-stream';
  } else if (body !== undefined) {
    init.body = JSON.stringify(body);
    headers['Content-Type'] = 'application/json';
  }
  const res = await fetch(path, init);
  if (res.status === 401) {
    askToken('Token?');
    throw new Error('401');
  }
  const type = res.headers.get('Content-Type') || '';
  const data = type.startsWith('application/json') ? await res.json() : await res.text();
  return {status: res.status, data};
}

// ---- the list -------------------------------------------------------------------------

function counts() {
  let busy = 0;
  for (const r of rows.values()) busy += r.data.state === 'busy' ? 1 : 0;
  $('counts').textContent = `已列出: ${rows.size}\n已勾选: ${ticked.size}\n处理中: ${busy}`;
}

function cell(tr, text, cls) {
  const td = document.createElement('td');
  td.textContent = text;
  if (cls) td.className = cls;
  tr.appendChild(td);
  return td;
}

function put(d) {
  let r = rows.get(d.serial);
  if (!r) {
    const tr = document.createElement('tr');
    tr.dataset.serial = d.serial;
    const box = document.createElement('input');
    box.type = 'checkbox';
    box.className = 'tick';
    box.addEventListener('change', () => {
      if (box.checked) ticked.add(d.serial); else ticked.delete(d.serial);
      counts();
    });
    const td = document.createElement('td');
    td.appendChild(box);
    tr.appendChild(td);
    r = {data: d, tr, box, cells: {
      serial: cell(tr, ''), type: cell(tr, ''), ip: cell(tr, ''), gateway: cell(tr, ''), mac: cell(tr, ''),
      status: cell(tr, '', 'status')}};
    rows.set(d.serial, r);
    $('list').tBodies[0].appendChild(tr);
  }
  r.data = d;
  for (const k of ['serial', 'type', 'ip', 'gateway', 'mac']) r.cells[k].textContent = d[k];
  r.cells.status.textContent = d.status;
  r.tr.className = d.state;
  r.tr.dataset.state = d.state;
  r.tr.dataset.result = d.result || '';
  counts();
}

async function reload() {
  const {data} = await api('GET', '/api/devices');
  rows.clear();
  $('list').tBodies[0].textContent = '';
  for (const d of data) put(d);
  for (const s of [...ticked]) if (!rows.has(s)) ticked.delete(s);
  for (const r of rows.values()) r.box.checked = ticked.has(r.data.serial);
  counts();
}

function tick(pred) {
  for (const r of rows.values()) {
    r.box.checked = pred(r);
    if (r.box.checked) ticked.add(r.data.serial); else ticked.delete(r.data.serial);
  }
  counts();
}

function state(s) {
  searching = s.searching;
  $('search').textContent = searching ? '停止搜索' : '搜索NVR';
  $('clock').checked = s.clock;
}

// ---- news -----------------------------------------------------------------------------

async function follow() {
  for (;;) {
    try {
      const res = await fetch('/api/events', {headers: {'Authorization': 'Bearer ' + token}});
      if (res.status === 401) { askToken('Token?'); return; }
      if (!res.ok || !res.body) throw new Error(String(res.status));
      $('conn').textContent = '●';
      $('conn').className = 'conn';
      const reader = res.body.getReader();
      const text = new TextDecoder();
      let buf = '';
      let first = true;
      for (;;) {
        const {value, done} = await reader.read();
        if (done) break;
        buf += text.decode(value, {stream: true});
        let end;
        while ((end = buf.indexOf('\n\n')) >= 0) {
          const block = buf.slice(0, end);
          buf = buf.slice(end + 2);
          let type = 'message', data = '';
          for (const line of block.split('\n')) {
            if (line.startsWith('event: ')) type = line.slice(7);
            else if (line.startsWith('data: ')) data += line.slice(6);
          }
          if (type === 'hello' && first) {
            // Connected: what happened before is read whole, the news after it one by one.
            first = false;
            await reload();
            state((await api('GET', '/api/state')).data);
          } else if (type === 'device') {
            put(JSON.parse(data));
          } else if (type === 'state') {
            state(JSON.parse(data));
          } else if (type === 'list') {
            await reload();
          }
        }
      }
    } catch (e) {
      if (e.message === '401') return;
    }
    $('conn').textContent = '○';
    $('conn').className = 'conn down';
    await new Promise((ok) => setTimeout(ok, 2000));
  }
}

// ---- files ----------------------------------------------------------------------------

async function upload(kind, input) {
  const file = input.files[0];
  const picked = $('picked-' + kind);
  uploads[kind] = null;
  picked.className = 'picked';
  picked.textContent = '';
  if (!file) return;
  picked.textContent = file.name + ' …';
  const {status, data} = await api('POST', `/api/uploads/${kind}?name=${encodeURIComponent(file.name)}`,
                                   undefined, file);
  if (status === 201) {
    uploads[kind] = data.id;
    picked.textContent = `${file.name} (${data.size} B, MD5 ${data.md5})`;
    if (kind !== 'firmware') $('factory-' + kind).checked = false;
    say('');
  } else {
    picked.className = 'picked bad';
    picked.textContent = file.name + ': ' + data.message;
    say(data.message);
    input.value = '';
  }
}

async function start(body) {
  body.serials = [...ticked].filter((s) => rows.has(s));
  if (!body.serials.length) { say('请先勾选NVR'); return; }
  const {status, data} = await api('POST', '/api/jobs', body);
  if (status !== 202) say(data.message); else say('');
}

function pictures() {
  const body = {kind: 'refresh'};
  for (const kind of ['boot', 'channel', 'shutdown']) {
    if ($('factory-' + kind).checked) body[kind] = 'factory';
    else if (uploads[kind]) body[kind] = uploads[kind];
  }
  return body;
}

// ---- the history ----------------------------------------------------------------------

async function loadHistory() {
  const {status, data} = await api('GET', '/api/history?limit=200');
  const body = $('history').tBodies[0];
  body.textContent = '';
  $('history-note').textContent = status === 200 ? '' : data.message;
  if (status !== 200) return;
  for (const h of data) {
    const tr = document.createElement('tr');
    for (const t of [h.started, h.station, h.command, h.serial, h.address, h.ok ? '成功' : '失败', h.message])
      cell(tr, t || '');
    body.appendChild(tr);
  }
}

// ---- start ----------------------------------------------------------------------------

function askToken(why) {
  $('app').hidden = true;
  $('login').hidden = false;
  if (why) $('token-input').placeholder = why;
}

function begin() {
  $('login').hidden = true;
  $('app').hidden = false;
  follow();
  loadHistory();
}

function wire() {
  $('search').onclick = async () => {
    const {data} = await api('POST', '/api/search', {on: !searching});
    if (data.error) say(data.message); else state(data);
  };
  $('tick-all').onclick = () => tick(() => true);
  $('tick-invert').onclick = () => tick((r) => !r.box.checked);
  $('tick-failed').onclick = () => tick((r) => r.data.state === 'failed');
  $('tick-head').onchange = (e) => tick(() => e.target.checked);
  $('export').onclick = async () => {
    const {data} = await api('GET', '/api/devices.csv');
    const a = document.createElement('a');
    a.href = URL.createObjectURL(new Blob([data], {type: 'text/csv'}));
    a.download = 'nvr-list.csv';
    a.click();
    setTimeout(() => URL.revokeObjectURL(a.href), 10000);
  };
  $('stop-jobs').onclick = () => api('POST', '/api/jobs/cancel', {});
  for (const kind of ['boot', 'channel', 'shutdown', 'firmware'])
    $('file-' + kind).onchange = (e) => upload(kind, e.target);
  $('refresh').onclick = () => {
    const body = pictures();
    if (!body.boot && !body.channel && !body.shutdown) { say('请先选择图片'); return; }
    start(body);
  };
  $('reboot').onclick = () => start({kind: 'reboot'});
  $('upgrade').onclick = () => {
    if (!uploads.firmware) { say('请先选择固件升级文件'); return; }
    start({kind: 'firmware', firmware: uploads.firmware});
  };
  $('clock').onchange = async (e) => {
    const {data} = await api('POST', '/api/clock', {on: e.target.checked});
    if (data.error) say(data.message); else state(data);
  };
  $('history-load').onclick = loadHistory;
  $('token-go').onclick = () => {
    token = $('token-input').value.trim();
    sessionStorage.setItem('dravlin-token', token);
    begin();
  };
}

wire();
// The token comes in the address's fragment (never sent to the server) and stays in this tab.
const m = /(?:^#|&)token=([^&]+)/.exec(location.hash);
if (m) {
  token = decodeURIComponent(m[1]);
  sessionStorage.setItem('dravlin-token', token);
  history.replaceState(null, '', location.pathname);
} else {
  token = sessionStorage.getItem('dravlin-token') || '';
}
if (token) begin(); else askToken();

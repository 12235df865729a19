// Brindlewood console: the export tasks, kept live over the daemon's WebSocket,
// and a form that asks for a clip by wall-clock time.
//
// Plain script, no build step, nothing fetched from elsewhere. Peer text
// (titles, logs, error messages) only ever goes into textContent.
//
// Hooks for tests (stable ids and data attributes):
//   #conn-status          data-state "connecting" | "open" | "closed"; the text says what goes on
//   #tz-name              the browser's time zone, named
//   #task-list            the tasks drawn, newest first; data-total = tasks known,
//                         data-shown = tasks drawn, data-generation = lists taken so far
//                         (one more after every connect that brought a list)
//   #task-N (li)          data-task = N, data-state = its state ("" until known, else the number),
//                         data-loaded = "1" once index.json and state have been read,
//                         data-mine = "1" on this page's own submission
//     [data-role=...]     number, title, state, when, thumb (img), media, video, download,
//                         media-note (shown when the clip cannot be played), why, why-head,
//                         log (the last lines of cut.log or thumb.log)
//                         The video's src is set when it comes near the viewport; until
//                         then it is in data-src.
//   #task-count, #task-empty, #show-more (draws the next 50)
//   #clip-form, #clip-lib, #clip-from, #clip-to, #clip-from-utc, #clip-to-utc,
//   #trim-keyframe, #trim-exact, #clip-title, #clip-allow-gaps, #clip-submit
//   #clip-message         data-state "" | "busy" | "error" | "sent" | "unheard" | "queued" |
//                         "running" | "done" | "failed" | "unknown"; data-task = the own task's number
//   #timeline             data-state "loading" | "ready" | "error"; data-from, data-to (epoch s)
//     #timeline-bars      .run / .gap (data-from, data-to: epoch s), .future, .span, .now
//   #timeline-detail      the chosen span close up (hidden without a span); #detail-bars as above
//   #timeline-status      what the timeline shows, in words
//   performance mark "console-ready": the first list drawn, every shown task read
'use strict';

const PAGE = 50;                 // tasks drawn at first and per "Show more"
const BACKOFF_MIN = 500;         // reconnect delays, ms
const BACKOFF_MAX = 5000;
const LIST_GRACE = 1000;         // a connect without a "tasks" message means none are stored
const UNHEARD_AFTER = 10000;     // no announcement of the own task by then: say why it may be
const LOG_LINES = 8;
const STATE_NAMES = { 0: 'queued', 1: 'running', 2: 'done', 3: 'failed' };

const $ = (id) => document.getElementById(id);
const role = (el, name) => el.querySelector(`[data-role="${name}"]`);

// ---- time formatting -------------------------------------------------------

const pad2 = (n) => String(n).padStart(2, '0');
const localDate = (d) => `${d.getFullYear()}-${pad2(d.getMonth() + 1)}-${pad2(d.getDate())}`;
const localTime = (d) => `${pad2(d.getHours())}:${pad2(d.getMinutes())}:${pad2(d.getSeconds())}`;
const localStamp = (d) => `${localDate(d)} ${localTime(d)}`;
const utcTime = (d) => `${pad2(d.getUTCHours())}:${pad2(d.getUTCMinutes())}:${pad2(d.getUTCSeconds())}`;
const utcStamp = (d) =>
  `${d.getUTCFullYear()}-${pad2(d.getUTCMonth() + 1)}-${pad2(d.getUTCDate())} ${utcTime(d)}`;
const sameLocalDay = (a, b) => localDate(a) === localDate(b);
// What the daemon reads: ISO 8601 in UTC, whole seconds.
const isoUtc = (d) => d.toISOString().replace(/\.\d{3}Z$/, 'Z');
// The value a datetime-local input takes.
const inputValue = (d) => `${localDate(d)}T${localTime(d)}`;

// Only full ISO times with a zone are read as instants; anything else
// ("10:00:00") is shown as it is stored.
function parseInstant(text) {
  if (typeof text !== 'string' ||
      !/^\d{4}-\d\d-\d\d[T ]\d\d:\d\d(:\d\d(\.\d+)?)?(Z|[+-]\d\d:?\d\d)$/.test(text)) return null;
  const d = new Date(text.replace(' ', 'T'));
  return isNaN(d) ? null : d;
}

function duration(seconds) {
  const s = Math.round(seconds);
  if (s < 60) return `${s} s`;
  if (s < 3600) return `${Math.floor(s / 60)} min ${s % 60} s`;
  return `${Math.floor(s / 3600)} h ${Math.floor((s % 3600) / 60)} min`;
}

// The zone and its offset today: times of other seasons may differ by an hour
// (summer time), which is why UTC stands beside each of them.
function zoneName() {
  const zone = Intl.DateTimeFormat().resolvedOptions().timeZone || 'local time';
  const off = -new Date().getTimezoneOffset();
  const sign = off < 0 ? '-' : '+';
  const abs = Math.abs(off);
  return `${zone} (now UTC${sign}${pad2(Math.floor(abs / 60))}:${pad2(abs % 60)})`;
}

// ---- requests ---------------------------------------------------------------

let leaving = false;

// Every page-level request: a 401 means the token is missing or wrong.
async function get(url, init = {}) {
  const r = await fetch(url, { cache: 'no-store', credentials: 'same-origin', ...init });
  if (r.status === 401) {
    if (!leaving) {
      leaving = true;
      location.assign('/login');
    }
    throw new Error('not logged in');
  }
  return r;
}

const taskPath = (n) => `/tasks/${String(n).padStart(5, '0')}/`;

// ---- the task list ------------------------------------------------------------

const list = $('task-list');
const template = $('task-template');
const tasks = new Map();   // task number -> record of a drawn task
let order = [];            // every known task number, newest first
let shown = 0;             // order[0 .. shown) are drawn
let generation = 0;

// Videos get their source only when near the screen: fifty players asking
// for metadata at once would hold up everything else the page loads.
const videoWatcher = 'IntersectionObserver' in window
  ? new IntersectionObserver((entries) => {
      for (const e of entries) {
        if (!e.isIntersecting) continue;
        const v = e.target;
        if (v.dataset.src && !v.getAttribute('src')) v.src = v.dataset.src;
        videoWatcher.unobserve(v);
      }
    }, { rootMargin: '400px' })
  : null;

function drawTask(n) {
  const el = template.content.firstElementChild.cloneNode(true);
  el.id = `task-${n}`;
  el.dataset.task = String(n);
  el.dataset.state = '';
  role(el, 'number').textContent = `#${n}`;
  role(el, 'state').textContent = '…';
  role(el, 'state').className = 'state state-unknown';
  const rec = { n, el, state: null, seq: 0, meta: undefined, thumbMissing: false, whyFor: null };
  // The box shows a placeholder until the picture is there (404 until made).
  const thumb = role(el, 'thumb');
  thumb.addEventListener('load', () => { rec.thumbMissing = false; thumb.classList.add('ok'); });
  thumb.addEventListener('error', () => { rec.thumbMissing = true; });
  thumb.src = taskPath(n) + 'thumb.jpg';
  role(el, 'video').addEventListener('error', () => explainVideo(rec));
  if (mine.has(n)) el.dataset.mine = '1';
  tasks.set(n, rec);
  rec.loaded = loadTask(rec);
  return rec;
}

async function loadTask(rec) {
  await Promise.all([loadMeta(rec), loadState(rec)]);
  rec.el.dataset.loaded = '1';
}

function metaOf(rec) {
  if (!rec.metaPromise) {
    rec.metaPromise = get(taskPath(rec.n) + 'index.json')
      .then((r) => (r.ok ? r.json() : null))
      .catch(() => null);
  }
  return rec.metaPromise;
}

async function loadMeta(rec) {
  rec.meta = await metaOf(rec);
  showMeta(rec);
}

// The state file may answer after an announcement that is newer: an
// announcement since the request began wins.
async function loadState(rec) {
  const seq = rec.seq;
  let state = null;
  try {
    const r = await get(taskPath(rec.n) + 'state');
    if (r.ok) {
      const v = parseInt((await r.text()).trim(), 10);
      if (!isNaN(v)) state = v;
    }
  } catch (e) {
    return;  // unreachable daemon: what is shown stays until the next list or announcement
  }
  if (rec.seq === seq && tasks.get(rec.n) === rec) setState(rec, state);
}

function showMeta(rec) {
  const m = rec.meta;
  const title = role(rec.el, 'title');
  const when = role(rec.el, 'when');
  if (!m) {
    title.textContent = 'no index.json';
    title.classList.add('muted');
    when.textContent = '';
    return;
  }
  title.textContent = m.title ? m.title : 'untitled';
  title.classList.toggle('muted', !m.title);
  // Local time first (the page names the zone), then the facts with UTC.
  const from = parseInstant(m.from);
  const to = parseInstant(m.to);
  const main = document.createElement('span');
  main.className = 'local';
  const facts = [];
  if (from && to) {
    main.textContent = `${localStamp(from)} → ${sameLocalDay(from, to) ? localTime(to) : localStamp(to)}`;
    facts.push(`UTC ${utcTime(from)} → ${utcTime(to)}`);
  } else {
    main.textContent = `${m.date || ''} ${m.from || '?'} → ${m.to || '?'}`.trim();
    facts.push('times as stored');
  }
  const cut = Number(m.length) - Number(m.head_offs || 0) - Number(m.tail_rem || 0);
  if (isFinite(cut) && cut > 0) facts.push(duration(cut));
  facts.push(`library ${Number.isInteger(m.lib_idx) ? m.lib_idx : 0}`);
  facts.push(m.exact_trim ? 'exact trim' : 'keyframe start');
  const sub = document.createElement('span');
  sub.className = 'facts';
  sub.textContent = facts.join(' · ');
  when.replaceChildren(main, sub);
}

function stateLabel(state) {
  if (state === null) return 'unknown';
  if (state < 0) return `load error ${state}`;
  return STATE_NAMES[state] || `state ${state}`;
}

function stateClass(state) {
  if (state === null) return 'unknown';
  if (state < 0) return 'error';
  return STATE_NAMES[state] || 'unknown';
}

function setState(rec, state) {
  rec.state = state;
  const el = rec.el;
  el.dataset.state = state === null ? '' : String(state);
  const badge = role(el, 'state');
  badge.textContent = stateLabel(state);
  badge.className = `state state-${stateClass(state)}`;
  // A thumbnail is made when the task runs: ask again at every change.
  if (rec.thumbMissing && state !== null && state >= 1) {
    role(el, 'thumb').src = `${taskPath(rec.n)}thumb.jpg?state=${state}`;
  }
  showMedia(rec, state === 2);
  showWhy(rec, state === 3);
  if (rec.n === ownTask) ownProgress(state);
}

function showMedia(rec, on) {
  const media = role(rec.el, 'media');
  media.hidden = !on;
  if (!on) return;
  const url = taskPath(rec.n) + 'cut.mp4';
  const video = role(rec.el, 'video');
  const link = role(rec.el, 'download');
  link.href = url;
  link.setAttribute('download', `brindlewood-${String(rec.n).padStart(5, '0')}.mp4`);
  if (video.dataset.src === url) return;
  video.dataset.src = url;
  if (videoWatcher) videoWatcher.observe(video);
  else video.src = url;
}

// The player gives no reason; the status of the file tells a missing clip
// from one this browser cannot play. Only the headers are waited for.
async function explainVideo(rec) {
  const video = role(rec.el, 'video');
  const note = role(rec.el, 'media-note');
  video.hidden = true;
  note.hidden = false;
  note.textContent = 'This browser cannot play the clip; download it instead.';
  const stop = new AbortController();
  try {
    const r = await get(video.dataset.src, { signal: stop.signal });
    stop.abort();
    if (r.status === 404) {
      note.textContent = 'cut.mp4 is missing on the daemon.';
      role(rec.el, 'download').hidden = true;
    } else if (!r.ok) {
      note.textContent = `The daemon does not give the clip (HTTP ${r.status}).`;
    }
  } catch (e) {
    // no answer: the first words stand
  }
}

// A failed task says why: the tail of cut.log, else of thumb.log.
async function showWhy(rec, on) {
  const why = role(rec.el, 'why');
  why.hidden = !on;
  if (!on) rec.whyFor = null;
  if (!on || rec.whyFor === rec.state) return;
  rec.whyFor = rec.state;
  const head = role(rec.el, 'why-head');
  const log = role(rec.el, 'log');
  head.textContent = 'Reading the log…';
  log.textContent = '';
  for (const name of ['cut.log', 'thumb.log']) {
    let text = null;
    try {
      const r = await get(taskPath(rec.n) + name);
      if (r.ok) text = await r.text();
    } catch (e) {
      break;
    }
    if (text === null) continue;
    const lines = text.split(/\r\n|\n|\r/).map((l) => l.trimEnd()).filter((l) => l);
    head.textContent = lines.length ? `Last lines of ${name}:` : `${name} is empty.`;
    log.textContent = lines.slice(-LOG_LINES).join('\n');
    log.hidden = !lines.length;
    log.scrollTop = log.scrollHeight;  // the last line says most
    return;
  }
  head.textContent = 'No cut.log or thumb.log was written.';
  log.hidden = true;
}

function updateCounts() {
  list.dataset.total = String(order.length);
  list.dataset.shown = String(shown);
  $('task-count').textContent = order.length
    ? (shown < order.length ? `${order.length.toLocaleString()} · newest ${shown} shown`
                            : order.length.toLocaleString())
    : '';
  $('task-empty').textContent = 'No tasks stored yet.';
  $('task-empty').hidden = order.length > 0;
  const more = $('show-more');
  const rest = order.length - shown;
  more.hidden = rest <= 0;
  more.textContent = `Show ${Math.min(PAGE, rest)} more (${rest.toLocaleString()} older)`;
}

// A fresh list from the daemon. Tasks already drawn keep their element (a
// playing video goes on) and read their state again.
function takeList(numbers) {
  const known = new Set(numbers.filter(Number.isInteger));
  for (const n of announcedSinceOpen) known.add(n);
  order = [...known].sort((a, b) => b - a);
  const keep = Math.min(order.length, Math.max(PAGE, shown));
  const elements = [];
  const drawn = new Set();
  for (let i = 0; i < keep; i++) {
    const n = order[i];
    let rec = tasks.get(n);
    if (rec) {
      rec.seq++;
      loadState(rec);
    } else {
      rec = drawTask(n);
    }
    drawn.add(n);
    elements.push(rec.el);
  }
  for (const n of [...tasks.keys()]) if (!drawn.has(n)) tasks.delete(n);
  list.replaceChildren(...elements);
  shown = keep;
  generation++;
  list.dataset.generation = String(generation);
  updateCounts();
  // For measurements: when the first list is drawn with every task read.
  if (generation === 1) {
    Promise.all(elements.map((el) => tasks.get(Number(el.dataset.task))?.loaded))
      .then(() => performance.mark('console-ready'));
  }
}

function showMore() {
  const until = Math.min(order.length, shown + PAGE);
  const frag = document.createDocumentFragment();
  for (let i = shown; i < until; i++) frag.append(drawTask(order[i]).el);
  list.append(frag);
  shown = until;
  updateCounts();
}

// "new_task": normally the newest, so it goes on top.
function addTask(n) {
  announcedSinceOpen.add(n);
  if (tasks.has(n) || order.includes(n)) return tasks.get(n);
  const allDrawn = shown === order.length;
  let idx = order.findIndex((m) => m < n);
  if (idx < 0) idx = order.length;
  order.splice(idx, 0, n);
  let rec;
  if (idx < shown || allDrawn) {
    rec = drawTask(n);
    const next = order[idx + 1] !== undefined ? tasks.get(order[idx + 1]) : undefined;
    list.insertBefore(rec.el, next ? next.el : null);
    shown++;
  }
  updateCounts();
  return rec;
}

function announcedState(n, state) {
  if (!order.includes(n)) addTask(n);
  const rec = tasks.get(n);
  if (!rec) return;  // known but not drawn: read when it is
  rec.seq++;
  setState(rec, state);
}

// ---- the connection -------------------------------------------------------------

let ws = null;
let backoff = BACKOFF_MIN;
let attempt = 0;
let lostAt = null;
let listTimer = null;
let announcedSinceOpen = new Set();

function setConn(state, text) {
  const el = $('conn-status');
  el.dataset.state = state;
  el.textContent = text;
  $('tasks-panel').classList.toggle('stale', state !== 'open');
}

function connect() {
  attempt++;
  // While reconnecting the line keeps saying that the page is not connected.
  if (!lostAt) setConn('connecting', 'Connecting…');
  const url = `${location.protocol === 'https:' ? 'wss' : 'ws'}://${location.host}/`;
  const s = new WebSocket(url, 'http-only');
  let opened = false;
  ws = s;
  s.onopen = () => {
    opened = true;
    attempt = 0;
    backoff = BACKOFF_MIN;
    lostAt = null;
    setConn('open', `Live – connected to ${location.host}`);
    announcedSinceOpen = new Set();
    // The daemon sends its list only when it holds a task.
    clearTimeout(listTimer);
    listTimer = setTimeout(() => takeList([]), LIST_GRACE);
  };
  s.onmessage = (e) => onMessage(e.data);
  s.onclose = () => {
    if (ws !== s) return;
    ws = null;
    clearTimeout(listTimer);
    if (!lostAt) lostAt = new Date();
    const delay = backoff;
    backoff = Math.min(backoff * 2, BACKOFF_MAX);
    setConn('closed', `Not connected to the daemon since ${localTime(lostAt)} (it may be restarting). ` +
                      `Trying again in ${delay / 1000} s (attempt ${attempt + 1}); the list may be out of date.`);
    // A handshake refused for want of the token looks like any failed
    // connect: a plain request tells them apart (401 goes to the login).
    if (!opened) get('/console.css').catch(() => {});
    setTimeout(connect, delay);
  };
}

function onMessage(text) {
  let m;
  try {
    m = JSON.parse(text);
  } catch (e) {
    return;
  }
  if (!m || typeof m !== 'object') return;
  if (Array.isArray(m.tasks)) {
    clearTimeout(listTimer);
    takeList(m.tasks);
  } else if (Number.isInteger(m.new_task)) {
    addTask(m.new_task);
    if (pending) checkOwn(m.new_task);
  } else if (m.task_state_updated && Number.isInteger(m.task_state_updated.task)) {
    const state = m.task_state_updated.state;
    announcedState(m.task_state_updated.task, Number.isInteger(state) ? state : null);
  }
}

// ---- the own submission ------------------------------------------------------------

let pending = null;        // { title, from, to, chain, timer } until the own task is found
const mine = new Set();    // own tasks, marked when drawn again
let ownTask = null;        // the own task the message below the form follows

function clipMessage(state, text, task) {
  const el = $('clip-message');
  el.dataset.state = state;
  el.textContent = text;
  if (task !== undefined) el.dataset.task = String(task);
  else delete el.dataset.task;
}

// The protocol carries no request id: the own task is the first one
// announced after the send whose index.json has the title, from and to sent.
// Candidates are checked one after another, in the order announced.
function checkOwn(n) {
  const p = pending;
  p.chain = p.chain.then(async () => {
    if (pending !== p) return;
    const rec = tasks.get(n) || { n };
    const meta = await metaOf(rec);
    if (pending !== p || !meta) return;
    if ((meta.title || '') !== p.title || meta.from !== p.from || meta.to !== p.to) return;
    clearTimeout(p.timer);
    pending = null;
    mine.add(n);
    ownTask = n;
    const drawn = tasks.get(n);
    if (drawn) {
      drawn.el.dataset.mine = '1';
      drawn.el.scrollIntoView({ block: 'nearest', behavior: 'smooth' });
    }
    ownProgress(drawn && drawn.state !== null ? drawn.state : 0);
  });
}

function ownProgress(state) {
  const n = ownTask;
  const texts = {
    0: `Task #${n} is queued.`,
    1: `Task #${n} is being cut…`,
    2: `Task #${n} is done: play or download it in the list.`,
    3: `Task #${n} failed: the list shows why.`,
  };
  if (state !== null && state < 0) clipMessage('failed', `Task #${n} could not be loaded (${state}).`, n);
  else clipMessage(stateClass(state), texts[state] || `Task #${n}.`, n);
}

// ---- the clip form -------------------------------------------------------------------

const fromInput = $('clip-from');
const toInput = $('clip-to');
const libInput = $('clip-lib');

const readInput = (input) => {
  const d = input.value ? new Date(input.value) : null;
  return d && !isNaN(d) ? d : null;
};

function showUtc() {
  for (const [input, out] of [[fromInput, $('clip-from-utc')], [toInput, $('clip-to-utc')]]) {
    const d = readInput(input);
    out.textContent = d ? `= ${utcStamp(d)} UTC` : '';
  }
}

function defaultSpan() {
  const end = new Date();
  end.setSeconds(0, 0);
  end.setMinutes(end.getMinutes() - 1);
  const start = new Date(end.getTime() - 5 * 60000);
  fromInput.value = inputValue(start);
  toInput.value = inputValue(end);
}

async function submitClip(event) {
  event.preventDefault();
  const from = readInput(fromInput);
  const to = readInput(toInput);
  if (!from || !to) return clipMessage('error', 'Choose a start and an end.');
  if (to <= from) return clipMessage('error', 'The end must come after the start.');
  if (!ws || ws.readyState !== WebSocket.OPEN) {
    return clipMessage('error', 'Not connected to the daemon: ask again once the connection is back.');
  }
  const q = new URLSearchParams({ lib: libInput.value, from: isoUtc(from), to: isoUtc(to) });
  if ($('trim-exact').checked) q.set('exact', '1');
  const title = $('clip-title').value.trim();
  if (title) q.set('title', title);
  if ($('clip-allow-gaps').checked) q.set('allow_gaps', '1');

  const button = $('clip-submit');
  button.disabled = true;
  clipMessage('busy', 'Asking the daemon for the clip…');
  try {
    const r = await get(`/api/clip?${q}`);
    const text = await r.text();
    if (!r.ok) return clipRefused(r.status, text);
    let request;
    try {
      request = JSON.parse(text).new_task;
    } catch (e) {
      request = null;
    }
    if (!request) return clipMessage('error', 'The daemon answered with something that is not a task.');
    if (!ws || ws.readyState !== WebSocket.OPEN) {
      return clipMessage('error', 'The connection dropped before the task could be sent; try again.');
    }
    if (pending) clearTimeout(pending.timer);
    pending = { title: request.title || '', from: request.from, to: request.to, chain: Promise.resolve() };
    ownTask = null;
    ws.send(text);
    clipMessage('sent', 'Sent; waiting for the daemon to number the task…');
    const p = pending;
    p.timer = setTimeout(() => {
      if (pending !== p) return;
      clipMessage('unheard', 'No announcement of the new task has come. Either this page is not among ' +
        'the first 32 connections, which alone hear announcements (the task may well be made: ' +
        'reload the page later to see it), or the daemon could not use the request (its log says why).');
    }, UNHEARD_AFTER);
  } catch (e) {
    clipMessage('error', `The request failed: ${e.message}`);
  } finally {
    button.disabled = false;
  }
}

function clipRefused(status, text) {
  let body = null;
  try {
    body = JSON.parse(text);
  } catch (e) {
    // not JSON: the status says enough
  }
  let msg = body && body.error ? body.error : `The daemon refused the clip (HTTP ${status}).`;
  if (body && Array.isArray(body.gaps) && body.gaps.length) {
    const gaps = body.gaps.slice(0, 5).map((g) => {
      const a = new Date(g.from * 1000);
      const b = new Date(g.to * 1000);
      return `${localTime(a)} → ${localTime(b)} (${duration(g.to - g.from)})`;
    });
    msg += `. In local time: ${gaps.join(', ')}${body.gaps.length > 5 ? ', …' : ''}.` +
           ' Tick "Allow gaps" to cut it anyway.';
  }
  clipMessage('error', msg);
}

// ---- the timeline ------------------------------------------------------------------------

let timelineSeq = 0;
let timelineTimer = null;

// The local day of the span, or the 24 h around a span across midnight, or
// the span itself with a margin when it is longer than a day.
// The third element says whether the range is one whole local day.
function timelineRange(from, to) {
  if (!from) return null;
  if (!to || to <= from || sameLocalDay(from, to)) {
    const a = new Date(from.getFullYear(), from.getMonth(), from.getDate());
    const b = new Date(from.getFullYear(), from.getMonth(), from.getDate() + 1);
    return [a.getTime() / 1000, b.getTime() / 1000, true];
  }
  const f = from.getTime() / 1000;
  const t = to.getTime() / 1000;
  if (t - f <= 86400) {
    const mid = (f + t) / 2;
    return [Math.floor(mid - 43200), Math.ceil(mid + 43200), false];
  }
  const margin = (t - f) * 0.05;
  return [Math.floor(f - margin), Math.ceil(t + margin), false];
}

function scheduleTimeline() {
  showUtc();
  $('timeline').dataset.state = 'loading';  // what is drawn no longer fits the choice
  clearTimeout(timelineTimer);
  timelineTimer = setTimeout(loadTimeline, 200);
}

async function loadTimeline() {
  const from = readInput(fromInput);
  const to = readInput(toInput);
  const range = timelineRange(from, to);
  const box = $('timeline');
  if (!range) {
    box.dataset.state = 'error';
    $('timeline-bars').replaceChildren();
    $('timeline-detail').hidden = $('detail-range').hidden = true;
    $('timeline-status').textContent = 'Choose a start to see the recordings of its day.';
    return;
  }
  const seq = ++timelineSeq;
  box.dataset.state = 'loading';
  const lib = libInput.value;
  $('timeline-range').textContent = rangeText(range);
  let body = null;
  let status = 0;
  try {
    const r = await get(`/api/recordings?lib=${encodeURIComponent(lib)}&from=${range[0]}&to=${range[1]}`);
    status = r.status;
    body = await r.json().catch(() => null);
  } catch (e) {
    body = { error: 'the daemon does not answer' };
  }
  if (seq !== timelineSeq) return;  // a newer choice is on its way
  const error = status === 200 && body && !body.error ? null : (body && body.error) || `HTTP ${status}`;
  const runs = !error && Array.isArray(body.runs) ? body.runs : [];
  const gaps = error ? [] : pastGaps(body.gaps);
  drawStrip('timeline', range, runs, gaps, from, to);
  const detail = detailRange(range, from, to);
  $('timeline-detail').hidden = $('detail-range').hidden = !detail;
  if (detail) {
    drawStrip('timeline-detail', detail, runs, gaps, from, to);
    $('detail-range').textContent = `Close up: ${localTime(new Date(detail[0] * 1000))} → ` +
                                    `${localTime(new Date(detail[1] * 1000))}`;
  }
  const words = $('timeline-status');
  words.textContent = error ? `No timeline: ${error}.` : timelineWords(runs, gaps, from, to, Date.now() / 1000);
  words.classList.toggle('bad', !!error);
  box.dataset.state = error ? 'error' : 'ready';
}

// The span with as much again on either side (two minutes at least), kept
// inside the range that was read; none when that would show little more
// than the whole strip does.
function detailRange([r0, r1], from, to) {
  if (!from || !to || to <= from) return null;
  const f = from.getTime() / 1000;
  const t = to.getTime() / 1000;
  const pad = Math.max(120, (t - f) / 2);
  const a = Math.max(r0, Math.floor(f - pad));
  const b = Math.min(r1, Math.ceil(t + pad));
  return b - a < (r1 - r0) / 2 ? [a, b] : null;
}

// Holes after "now" are only the future: not drawn as gaps (nor the sliver
// between the daemon's clock and this one).
function pastGaps(list) {
  const now = Date.now() / 1000;
  return (Array.isArray(list) ? list : [])
    .map((g) => ({ from: g.from, to: Math.min(g.to, now) }))
    .filter((g) => g.to - g.from >= 1);
}

function rangeText([a, b, day]) {
  const s = new Date(a * 1000);
  const e = new Date(b * 1000);
  const minutes = (d) => localStamp(d).slice(0, 16);
  return `Library ${libInput.value}, ${day ? localDate(s) : `${minutes(s)} → ${minutes(e)}`}`;
}

function bar(cls, range, a, b, label) {
  const [r0, r1] = range;
  const x0 = Math.max(a, r0);
  const x1 = Math.min(b, r1);
  if (x1 <= x0) return null;
  const el = document.createElement('div');
  el.className = cls;
  el.style.left = `${((x0 - r0) / (r1 - r0)) * 100}%`;
  el.style.width = `${((x1 - x0) / (r1 - r0)) * 100}%`;
  el.dataset.from = String(a);
  el.dataset.to = String(b);
  if (label) el.title = label;
  return el;
}

const spanLabel = (a, b) =>
  `${localTime(new Date(a * 1000))} → ${localTime(new Date(b * 1000))} (${duration(b - a)})`;

// Draws one strip (the day, or the close up): its runs, gaps, the future,
// the chosen span, "now" and the time labels.
function drawStrip(id, range, runs, gaps, from, to) {
  const now = Date.now() / 1000;
  const parts = [];
  for (const r of runs) parts.push(bar('run', range, r.from, r.to, `recorded ${spanLabel(r.from, r.to)}`));
  for (const g of gaps) parts.push(bar('gap', range, g.from, g.to, `gap ${spanLabel(g.from, g.to)}`));
  if (now < range[1]) parts.push(bar('future', range, Math.max(now, range[0]), range[1], 'not yet'));
  if (from && to && to > from) parts.push(bar('span', range, from.getTime() / 1000, to.getTime() / 1000, 'chosen span'));
  if (now > range[0] && now < range[1]) {
    const mark = document.createElement('div');
    mark.className = 'now';
    mark.title = 'now';
    mark.style.left = `${((now - range[0]) / (range[1] - range[0])) * 100}%`;
    parts.push(mark);
  }
  const box = $(id);
  box.dataset.from = String(range[0]);
  box.dataset.to = String(range[1]);
  box.querySelector('.bars').replaceChildren(...parts.filter(Boolean));
  drawTicks(range, box);
}

function timelineWords(runs, gaps, from, to, now) {
  if (!runs.length) return `Nothing recorded in library ${libInput.value} in this view.`;
  const words = [`${runs.length} ${runs.length === 1 ? 'run' : 'runs'} of recording, ` +
                 `${gaps.length} ${gaps.length === 1 ? 'gap' : 'gaps'}.`];
  if (!from || !to || to <= from) return words.join(' ');
  const f = from.getTime() / 1000;
  const t = to.getTime() / 1000;
  const hit = gaps.filter((g) => g.from < t && g.to > f);
  const covered = runs.some((r) => r.from <= f && r.to >= t);
  if (t > now) words.push('The chosen span reaches into the future.');
  else if (!runs.some((r) => r.from < t && r.to > f)) words.push('Nothing is recorded in the chosen span.');
  else if (hit.length) {
    const g = hit[0];
    words.push(`The chosen span crosses ${hit.length === 1 ? 'a gap' : `${hit.length} gaps`}: ` +
               `${spanLabel(Math.max(g.from, f), Math.min(g.to, t))}${hit.length > 1 ? ', …' : ''}.`);
  } else if (covered) words.push('The chosen span is recorded throughout.');
  else words.push('The chosen span is only partly recorded.');
  return words.join(' ');
}

const TICK_STEPS = [1, 2, 5, 10, 15, 30, 60, 120, 300, 600, 900, 1800, 3600, 7200, 10800, 21600,
                    43200, 86400, 172800, 604800];

// Labels on whole steps of local wall-clock time, about one per 70 px (on a
// day that changes its UTC offset they sit an hour off; the text stays right).
function drawTicks([a, b], box) {
  const labels = Math.max(3, Math.floor(box.clientWidth / 70));
  const step = TICK_STEPS.find((s) => (b - a) / s <= labels) || 1209600;
  const offset = -new Date(a * 1000).getTimezoneOffset() * 60;
  const ticks = [];
  for (let w = Math.ceil((a + offset) / step) * step; w - offset <= b; w += step) {
    const d = new Date((w - offset) * 1000);
    const el = document.createElement('span');
    el.style.left = `${((w - offset - a) / (b - a)) * 100}%`;
    el.textContent = step >= 86400 ? localDate(d).slice(5) : step >= 60 ? localTime(d).slice(0, 5) : localTime(d);
    ticks.push(el);
  }
  box.querySelector('.ticks').replaceChildren(...ticks);
}

// ---- start ----------------------------------------------------------------------------------

function start() {
  const zone = zoneName();
  $('tz-name').textContent = zone;
  for (const el of document.querySelectorAll('.tz-short')) el.textContent = `(${zone.split(' ')[0]})`;
  $('show-more').addEventListener('click', showMore);
  $('clip-form').addEventListener('submit', submitClip);
  for (const input of [fromInput, toInput, libInput]) {
    input.addEventListener('input', scheduleTimeline);
    input.addEventListener('change', scheduleTimeline);
  }
  defaultSpan();
  showUtc();
  loadTimeline();
  connect();
}

start();

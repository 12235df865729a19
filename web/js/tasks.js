// The export tasks, kept live over the daemon's WebSocket: the list drawn
// newest first, each task's state, clip, thumbnail and, when it failed, the
// end of its log. The connection comes back by itself after a restart.
//
// Peer text (titles, logs, error messages) only ever goes into textContent.
import { $, role, get } from './dom.js';
import { duration, localStamp, localTime, parseInstant, sameLocalDay, utcTime } from './time.js';

const PAGE = 50;                 // tasks drawn at first and per "Show more"
const BACKOFF_MIN = 500;         // reconnect delays, ms
const BACKOFF_MAX = 5000;
const LIST_GRACE = 1000;         // a connect without a "tasks" message means none are stored
const LOG_LINES = 8;
const STATE_NAMES = { 0: 'queued', 1: 'running', 2: 'done', 3: 'failed' };

const taskPath = (n) => `/tasks/${String(n).padStart(5, '0')}/`;

// What the clip form follows: every announced task, and every state change.
const listeners = { announced: () => {}, state: () => {} };
const mine = new Set();    // own tasks, marked when drawn again

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

export function stateClass(state) {
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
  listeners.state(rec.n, state);
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
    listeners.announced(m.new_task);
  } else if (m.task_state_updated && Number.isInteger(m.task_state_updated.task)) {
    const state = m.task_state_updated.state;
    announcedState(m.task_state_updated.task, Number.isInteger(state) ? state : null);
  }
}

// ---- what the clip form uses -------------------------------------------------------

// Sends a message to the daemon; false when the page is not connected.
export function sendToDaemon(text) {
  if (!ws || ws.readyState !== WebSocket.OPEN) return false;
  ws.send(text);
  return true;
}

export const connected = () => !!ws && ws.readyState === WebSocket.OPEN;

// The stored index.json of a task, drawn or not (null when there is none).
export const taskMeta = (n) => metaOf(tasks.get(n) || { n });

// Marks a task as this page's own; its state when it is drawn, else null.
export function markMine(n) {
  mine.add(n);
  const drawn = tasks.get(n);
  if (!drawn) return null;
  drawn.el.dataset.mine = '1';
  drawn.el.scrollIntoView({ block: 'nearest', behavior: 'smooth' });
  return drawn.state;
}

export function startTasks(onAnnounced, onState) {
  listeners.announced = onAnnounced;
  listeners.state = onState;
  $('show-more').addEventListener('click', showMore);
  connect();
}

// The watch view's timeline: one lane per library with its recorded runs and
// gaps over a local day, zoomed to the day, an hour or ten minutes. While the
// pointer hovers or drags over it, the thumbnail of the segment under it and
// its time are shown; a click (or the end of a drag) plays from there, and a
// drag with Shift held marks a span for a clip.
import { $ } from './dom.js';
import { localDate, localDay, localTime, utcTime } from './time.js';
import { bar, drawTicks, fetchRecordings, spanLabel } from './timeline.js';
import { fetchPlaylist, playlistUrl } from './player.js';

const ZOOMS = { day: null, hour: 3600, minutes: 600 };
const DAY_MAX = 86400;           // the longest span one VOD playlist may cover
const REFRESH_MS = 30000;        // today's lanes are read again this often

const box = $('scrub');
const lanesBox = $('scrub-lanes');
const preview = $('scrub-preview');
const thumb = $('scrub-thumb');
const previewTime = $('scrub-time');

const state = {
  libs: [],
  day: null,                     // [from, to) epoch s of the local day shown
  view: null,                    // [from, to) epoch s shown
  zoom: 'day',
  lanes: new Map(),              // lib -> { runs, gaps, last, error }
  playhead: null,                // ms
  playheadDay: null,             // the local day (epoch s) the playhead was last in
  marks: { in: null, out: null },
  drag: null,                    // { x0, shift, ms0, moved }
  hover: null,                   // { lib, ms }
  seq: 0,
  refresh: null,
  handlers: { seek: () => {}, marks: () => {} },
};

// The window of one VOD playlist that holds ms: its local day, or 24 hours
// of a day that is longer (when the clocks go back).
export function windowFor(ms) {
  const [a, b] = localDay(ms / 1000);
  if (b - a <= DAY_MAX) return [a, b];
  return ms / 1000 < a + DAY_MAX ? [a, a + DAY_MAX] : [b - DAY_MAX, b];
}

const span = () => state.view[1] - state.view[0];
const xOf = (t) => ((t - state.view[0]) / span()) * 100;

// The wall-clock ms under a pointer's clientX.
function msAt(clientX) {
  const r = lanesBox.getBoundingClientRect();
  const f = Math.min(1, Math.max(0, (clientX - r.left) / r.width));
  return (state.view[0] + f * span()) * 1000;
}

// The library of the lane under a pointer's clientY (the first one above the lanes).
function libAt(clientY) {
  for (const lane of lanesBox.children) {
    const r = lane.getBoundingClientRect();
    if (clientY < r.bottom) return Number(lane.dataset.lib);
  }
  return state.libs[state.libs.length - 1];
}

// ---- drawing --------------------------------------------------------------------

function drawLanes() {
  const now = Date.now() / 1000;
  const lanes = state.libs.map((lib) => {
    const lane = document.createElement('div');
    lane.className = 'lane';
    lane.dataset.lib = String(lib);
    const bars = document.createElement('div');
    bars.className = 'bars';
    const info = state.lanes.get(lib);
    const parts = [];
    if (info) {
      for (const r of info.runs) parts.push(bar('run', state.view, r.from, r.to, `recorded ${spanLabel(r.from, r.to)}`));
      for (const g of info.gaps) parts.push(bar('gap', state.view, g.from, g.to, `gap ${spanLabel(g.from, g.to)}`));
    }
    if (now < state.view[1]) parts.push(bar('future', state.view, Math.max(now, state.view[0]), state.view[1], 'not yet'));
    const name = document.createElement('span');
    name.className = 'lane-name';
    name.textContent = laneName(lib, info, now);
    bars.replaceChildren(...parts.filter(Boolean), name);
    lane.append(bars);
    return lane;
  });
  lanesBox.replaceChildren(...lanes);
  drawMarks();
}

// The library's number and, where the day holds today, how long ago its
// newest segment began (an operator sees at once that recording stopped).
function laneName(lib, info, now) {
  if (!info) return `${lib}`;
  if (info.error) return `${lib}: ${info.error}`;
  if (info.last === null || state.day[1] < now - 60) return `${lib}`;
  const ago = Math.max(0, Math.round(now - info.last));
  const text = ago < 120 ? `${ago} s` : ago < 7200 ? `${Math.round(ago / 60)} min` : `${Math.round(ago / 3600)} h`;
  return `${lib} · newest segment ${text} ago`;
}

function line(cls, ms) {
  if (ms === null) return null;
  const x = xOf(ms / 1000);
  if (x < 0 || x > 100) return null;
  const el = document.createElement('div');
  el.className = cls;
  el.style.left = `${x}%`;
  el.dataset.ms = String(Math.round(ms));
  return el;
}

function drawMarks() {
  const { in: a, out: b } = state.marks;
  const parts = [line('mark mark-in', a), line('mark mark-out', b), line('playhead', state.playhead)];
  if (a !== null && b !== null && b > a) parts.push(bar('marked', state.view, a / 1000, b / 1000, 'marked'));
  if (state.drag && state.drag.shift && state.drag.moved) {
    const [x, y] = [state.drag.ms0, state.drag.ms1].sort((p, q) => p - q);
    parts.push(bar('marked selecting', state.view, x / 1000, y / 1000, 'marking'));
  }
  $('scrub-marks').replaceChildren(...parts.filter(Boolean));
}

function drawHead() {
  const [a, b] = state.view;
  const d = (t) => new Date(t * 1000);
  $('scrub-day').value = localDate(d(state.day[0]));
  $('scrub-range').textContent = state.zoom === 'day'
    ? localDate(d(a))
    : `${localDate(d(a))} ${localTime(d(a)).slice(0, 5)} → ${localTime(d(b)).slice(0, 5)}`;
  for (const button of document.querySelectorAll('#scrub-zoom [data-zoom]')) {
    button.setAttribute('aria-pressed', String(button.dataset.zoom === state.zoom));
  }
  box.dataset.from = String(a);
  box.dataset.to = String(b);
  box.dataset.zoom = state.zoom;
}

function draw() {
  drawHead();
  drawLanes();
  drawTicks(state.view, box);
}

// ---- the day and the zoom ------------------------------------------------------------

// Shows the local day that holds ms, and reads each lane's recordings.
export async function showDay(ms, force = false) {
  const day = localDay(ms / 1000);
  if (!force && state.day && state.day[0] === day[0]) return;
  state.day = day;
  state.lanes = new Map();
  setZoom(state.zoom, ms);
  await readLanes();
}

async function readLanes() {
  const seq = ++state.seq;
  const [a, b] = state.day;
  box.dataset.state = 'loading';
  const got = await Promise.all(state.libs.map((lib) => fetchRecordings(lib, a, b)));
  if (seq !== state.seq) return;
  state.libs.forEach((lib, i) => state.lanes.set(lib, got[i]));
  box.dataset.state = got.some((g) => g.error) ? 'error' : 'ready';
  draw();
  clearTimeout(state.refresh);
  if (b > Date.now() / 1000) state.refresh = setTimeout(readLanes, REFRESH_MS);
}

// Zooms to the day, an hour or ten minutes around ms (kept inside the day).
export function setZoom(zoom, ms) {
  state.zoom = zoom;
  const [d0, d1] = state.day;
  const width = ZOOMS[zoom];
  if (!width) {
    state.view = [d0, d1];
  } else {
    const at = (ms ?? state.playhead ?? (d0 + d1) * 500) / 1000;
    const a = Math.min(Math.max(d0, at - width / 2), d1 - width);
    state.view = [a, a + width];
  }
  draw();
}

function zoomStep(direction, ms) {
  const order = Object.keys(ZOOMS);
  const i = Math.min(order.length - 1, Math.max(0, order.indexOf(state.zoom) + direction));
  if (order[i] !== state.zoom) setZoom(order[i], ms);
}

// ---- what the watch view tells ------------------------------------------------------

export function setLibs(libs) {
  state.libs = libs;
  if (state.day) draw();
}

// The frame the view is at: the playhead. The view follows it into the
// next day, and along a zoomed day, but leaves a day the user went to alone.
export function setPlayhead(ms) {
  state.playhead = ms;
  if (ms === null || !state.day) return;
  const t = ms / 1000;
  const day = localDay(t)[0];
  if (day !== state.playheadDay) {
    const moved = state.playheadDay !== null;
    state.playheadDay = day;
    if (moved || day !== state.day[0]) {
      showDay(ms);
      return;
    }
  }
  if (day !== state.day[0]) return;
  if (!state.drag && (t < state.view[0] || t > state.view[1])) {
    setZoom(state.zoom, ms + span() * 400);  // the playhead a tenth in
    return;
  }
  drawMarks();
}

export function setMarks(a, b) {
  state.marks = { in: a, out: b };
  if (state.day) drawMarks();
}

export const laneInfo = (lib) => state.lanes.get(lib) || null;

// ---- the pointer ------------------------------------------------------------------------

// The thumbnail and time under the pointer, from the day's playlist of the
// lane's library (fetched once, when first needed).
async function showPreview(clientX, clientY) {
  const ms = msAt(clientX);
  const lib = libAt(clientY);
  state.hover = { lib, ms };
  const r = box.getBoundingClientRect();
  const x = Math.min(Math.max(0, clientX - r.left), r.width);
  preview.hidden = false;
  preview.style.left = `${x}px`;
  preview.classList.toggle('flip', x > r.width - 120);
  preview.dataset.lib = String(lib);
  previewTime.dataset.ms = String(Math.round(ms));
  const d = new Date(ms);
  previewTime.textContent = `${localTime(d)} · UTC ${utcTime(d)}`;
  const [a, b] = windowFor(ms);
  const got = await fetchPlaylist(playlistUrl(lib, a, b));
  if (!state.hover || state.hover.ms !== ms) return;  // the pointer moved on meanwhile
  const segment = got.recording ? got.recording.at(ms) : null;
  preview.dataset.recorded = segment ? '1' : '0';
  if (segment) {
    if (thumb.getAttribute('src') !== segment.thumb) thumb.src = segment.thumb;
    thumb.hidden = false;
    thumb.dataset.ms = String(segment.ms);
  } else {
    thumb.hidden = true;
    thumb.removeAttribute('src');
    delete thumb.dataset.ms;
  }
}

function hidePreview() {
  state.hover = null;
  preview.hidden = true;
}

function onDown(e) {
  if (e.button !== 0 || !state.view) return;
  box.setPointerCapture(e.pointerId);
  const ms = msAt(e.clientX);
  state.drag = { x0: e.clientX, shift: e.shiftKey, ms0: ms, ms1: ms, moved: false };
  showPreview(e.clientX, e.clientY);
  e.preventDefault();
}

function onMove(e) {
  if (!state.view) return;
  const drag = state.drag;
  if (drag) {
    drag.ms1 = msAt(e.clientX);
    if (Math.abs(e.clientX - drag.x0) > 3) drag.moved = true;
    if (drag.shift) drawMarks();
  }
  showPreview(e.clientX, e.clientY);
}

function onUp(e) {
  const drag = state.drag;
  if (!drag) return;
  state.drag = null;
  const ms = msAt(e.clientX);
  if (drag.shift && drag.moved) {
    const [a, b] = [drag.ms0, ms].sort((p, q) => p - q);
    state.handlers.marks(a, b, libAt(e.clientY));
  } else {
    state.handlers.seek(ms, libAt(e.clientY));
  }
  drawMarks();
  if (e.pointerType !== 'mouse') hidePreview();
}

function onWheel(e) {
  if (!state.view || e.deltaY === 0) return;
  e.preventDefault();
  zoomStep(e.deltaY < 0 ? 1 : -1, msAt(e.clientX));
}

function moveDay(days) {
  const [a] = state.day;
  const d = new Date(a * 1000);
  const to = new Date(d.getFullYear(), d.getMonth(), d.getDate() + days, 12);
  showDay(to.getTime());
}

// handlers: seek(ms, lib) for a click, marks(inMs, outMs, lib) for a span
// marked.
export function startScrub(libs, ms, handlers) {
  state.handlers = handlers;
  state.libs = libs;
  box.addEventListener('pointerdown', onDown);
  box.addEventListener('pointermove', onMove);
  box.addEventListener('pointerup', onUp);
  box.addEventListener('pointercancel', () => {
    state.drag = null;
    hidePreview();
  });
  box.addEventListener('pointerleave', () => {
    if (!state.drag) hidePreview();
  });
  box.addEventListener('wheel', onWheel, { passive: false });
  for (const button of document.querySelectorAll('#scrub-zoom [data-zoom]')) {
    button.addEventListener('click', () => setZoom(button.dataset.zoom, state.playhead));
  }
  $('scrub-prev').addEventListener('click', () => moveDay(-1));
  $('scrub-next').addEventListener('click', () => moveDay(1));
  $('scrub-day').addEventListener('change', (e) => {
    const m = /^(\d{4})-(\d\d)-(\d\d)$/.exec(e.target.value);
    if (m) showDay(new Date(+m[1], +m[2] - 1, +m[3], 12).getTime());
  });
  addEventListener('resize', () => state.view && drawTicks(state.view, box));
  return showDay(ms, true);
}

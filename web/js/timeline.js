// Strips of recorded time: the runs and the gaps of a library between two
// times, with the time labels under them. The clip form shows the day of its
// span and a close up of the span; the watch view draws its lanes with the
// same pieces.
import { $, get } from './dom.js';
import { duration, localDate, localStamp, localTime, sameLocalDay } from './time.js';

let timelineSeq = 0;
let timelineTimer = null;
let choice = null;         // what the form last asked for: { lib, from, to }

// The runs, gaps (of the past only) and the newest segment's time of a
// library between a and b (epoch s). status 404 with an error: the library
// is not configured.
export async function fetchRecordings(lib, a, b) {
  let body = null;
  let status = 0;
  try {
    const r = await get(`/api/recordings?lib=${encodeURIComponent(lib)}&from=${Math.floor(a)}&to=${Math.ceil(b)}`);
    status = r.status;
    body = await r.json().catch(() => null);
  } catch (e) {
    body = { error: 'the daemon does not answer' };
  }
  const error = status === 200 && body && !body.error ? null : (body && body.error) || `HTTP ${status}`;
  return {
    status,
    error,
    runs: !error && Array.isArray(body.runs) ? body.runs : [],
    gaps: error ? [] : pastGaps(body.gaps),
    last: !error && Number.isFinite(body.last_segment_timestamp) ? body.last_segment_timestamp : null,
  };
}

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

// The form's choice changed: what is drawn no longer fits it.
export function scheduleFormTimeline(lib, from, to) {
  choice = { lib, from, to };
  $('timeline').dataset.state = 'loading';
  clearTimeout(timelineTimer);
  timelineTimer = setTimeout(loadTimeline, 200);
}

// Draws the form's timeline now.
export function showFormTimeline(lib, from, to) {
  choice = { lib, from, to };
  clearTimeout(timelineTimer);
  return loadTimeline();
}

async function loadTimeline() {
  const { lib, from, to } = choice;
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
  $('timeline-range').textContent = rangeText(lib, range);
  const { error, runs, gaps } = await fetchRecordings(lib, range[0], range[1]);
  if (seq !== timelineSeq) return;  // a newer choice is on its way
  drawStrip($('timeline'), range, runs, gaps, from, to);
  const detail = detailRange(range, from, to);
  $('timeline-detail').hidden = $('detail-range').hidden = !detail;
  if (detail) {
    drawStrip($('timeline-detail'), detail, runs, gaps, from, to);
    $('detail-range').textContent = `Close up: ${localTime(new Date(detail[0] * 1000))} → ` +
                                    `${localTime(new Date(detail[1] * 1000))}`;
  }
  const words = $('timeline-status');
  words.textContent = error ? `No timeline: ${error}.` : timelineWords(lib, runs, gaps, from, to, Date.now() / 1000);
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
export function pastGaps(list) {
  const now = Date.now() / 1000;
  return (Array.isArray(list) ? list : [])
    .map((g) => ({ from: g.from, to: Math.min(g.to, now) }))
    .filter((g) => g.to - g.from >= 1);
}

function rangeText(lib, [a, b, day]) {
  const s = new Date(a * 1000);
  const e = new Date(b * 1000);
  const minutes = (d) => localStamp(d).slice(0, 16);
  return `Library ${lib}, ${day ? localDate(s) : `${minutes(s)} → ${minutes(e)}`}`;
}

export function bar(cls, range, a, b, label) {
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

export const spanLabel = (a, b) =>
  `${localTime(new Date(a * 1000))} → ${localTime(new Date(b * 1000))} (${duration(b - a)})`;

// Draws one strip (the day, or the close up): its runs, gaps, the future,
// the chosen span, "now" and the time labels.
export function drawStrip(box, range, runs, gaps, from, to) {
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
  box.dataset.from = String(range[0]);
  box.dataset.to = String(range[1]);
  box.querySelector('.bars').replaceChildren(...parts.filter(Boolean));
  drawTicks(range, box);
}

function timelineWords(lib, runs, gaps, from, to, now) {
  if (!runs.length) return `Nothing recorded in library ${lib} in this view.`;
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
export function drawTicks([a, b], box) {
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


// The clip form: a span of a library by wall-clock time, sent to the daemon
// as a task; the message under the form then follows the own task through
// its states. The watch view fills it from its marks.
import { $, get } from './dom.js';
import { duration, inputValue, isoUtc, localTime, utcStamp } from './time.js';
import { connected, markMine, sendToDaemon, stateClass, taskMeta } from './tasks.js';
import { scheduleFormTimeline, showFormTimeline } from './timeline.js';

const UNHEARD_AFTER = 10000;     // no announcement of the own task by then: say why it may be

// ---- the own submission ------------------------------------------------------------

let pending = null;        // { title, from, to, chain, timer } until the own task is found
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
    const meta = await taskMeta(n);
    if (pending !== p || !meta) return;
    if ((meta.title || '') !== p.title || meta.from !== p.from || meta.to !== p.to) return;
    clearTimeout(p.timer);
    pending = null;
    ownTask = n;
    const state = markMine(n);
    ownProgress(state !== null ? state : 0);
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
  if (!connected()) {
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
    if (!connected()) {
      return clipMessage('error', 'The connection dropped before the task could be sent; try again.');
    }
    if (pending) clearTimeout(pending.timer);
    pending = { title: request.title || '', from: request.from, to: request.to, chain: Promise.resolve() };
    ownTask = null;
    sendToDaemon(text);
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

function choiceChanged() {
  showUtc();
  scheduleFormTimeline(libInput.value, readInput(fromInput), readInput(toInput));
}

// ---- what the task list and the watch view use --------------------------------------------

// Every announced task may be the own one; the own one's states are told.
export function taskAnnounced(n) {
  if (pending) checkOwn(n);
}

export function taskState(n, state) {
  if (n === ownTask) ownProgress(state);
}

// Fills the form with a library and a span (epoch ms; the form holds whole
// seconds, so the span is widened to them) and shows it on the timeline.
export function fillClip(lib, fromMs, toMs) {
  libInput.value = String(lib);
  if (fromMs !== null) fromInput.value = inputValue(new Date(Math.floor(fromMs / 1000) * 1000));
  if (toMs !== null) toInput.value = inputValue(new Date(Math.ceil(toMs / 1000) * 1000));
  showUtc();
  clipMessage('', '');
  showFormTimeline(libInput.value, readInput(fromInput), readInput(toInput));
}

// Submits the form as its button does.
export const submitClipForm = () => $('clip-form').requestSubmit();

export function startClipForm() {
  $('clip-form').addEventListener('submit', submitClip);
  for (const input of [fromInput, toInput, libInput]) {
    input.addEventListener('input', choiceChanged);
    input.addEventListener('change', choiceChanged);
  }
  defaultSpan();
  showUtc();
  showFormTimeline(libInput.value, readInput(fromInput), readInput(toInput));
}

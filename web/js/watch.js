// The watch view: every configured library in a grid of players on one
// clock, the wall-clock time of the frame on screen beside them, the day's
// timeline to scrub and click, speeds, the keyboard, the live edge, and marks
// that fill the clip form.
//
// The clock is a wall-clock time that runs at the chosen speed. Each player
// follows it: a player whose library recorded that moment plays it, nudged
// by its playback rate while it is less than a second off and sought when
// it is further behind; a player in a gap of its own waits, paused at its
// next recorded moment; when no library recorded the moment the clock jumps
// to the next one that did and says how long the gap was. The clock never
// runs ahead of the fastest player that plays, nor more than a quarter second
// ahead of the slowest, so a player that waits for data holds the others
// rather than drifting apart.
//
// Hooks for tests (stable ids and data attributes):
//   #watch                data-state "idle" | "loading" | "playing" | "paused" | "ended" | "error";
//                         data-mode "vod" | "live"; data-rate (1, 2, 4, 8, 16);
//                         data-libs: the configured libraries, "0,1";
//                         data-seek-ms: from the last seek asked to its frames painted in every
//                         player that plays it (ms)
//   #watch-clock          data-ms = epoch ms of the frame on screen (of the selected player, or
//                         the first that plays the clock's time), data-lib = whose frame;
//                         #watch-clock-local (local time and date), #watch-clock-utc
//   #watch-notice         data-kind "" | "gap" | "end" | "live" | "error"; for a gap data-from,
//                         data-to (epoch ms) and data-gap-ms; the text says what happened
//                         data-gaps = gaps jumped since the page opened
//   #watch-lag            in live: data-ms = how far the frame on screen is behind real time
//   #watch-grid           .tile per library, id "player-N", data-lib = N, data-primary = "1" on
//                         the selected one, data-state "idle" | "loading" | "playing" | "paused" |
//                         "gap" | "ended" | "empty" | "error", data-ms = its frame's epoch ms;
//                         [data-role=time] its frame's time, [data-role=note] its gap or error
//                         (data-from, data-to epoch ms of the gap)
//   #watch-play, #watch-live, #watch-speeds [data-rate] (aria-pressed), #mark-in, #mark-out
//                         (data-ms once set), #watch-marks, #watch-clip (submits the clip form)
//   #scrub                data-state "loading" | "ready" | "error", data-from, data-to (epoch s
//                         of the view), data-zoom "day" | "hour" | "minutes";
//                         .lane[data-lib] with .run / .gap / .future as the clip form's
//                         timeline; #scrub-marks: .playhead, .mark-in, .mark-out (data-ms),
//                         .marked; #scrub-preview (hidden unless hovered): #scrub-thumb (src:
//                         the segment's thumbnail, data-ms its start), #scrub-time (data-ms),
//                         data-lib, data-recorded "1" | "0"
//   #scrub-zoom [data-zoom], #scrub-prev, #scrub-next, #scrub-day
// Keys (outside form fields): space plays or pauses, ←/→ 5 s, Shift+←/→ 1 min,
// "," and "." one frame while paused, "i" and "o" mark in and out.
// The address is /?lib=N&t=ISO-TIME while watching; opening it plays there.
import { $, role } from './dom.js';
import { duration, isoUtc, localDate, localTime, parseTimeArg, tenths, utcStamp, utcTime } from './time.js';
import { Player, fetchPlaylist, loadHls, playlistUrl } from './player.js';
import { fillClip, submitClipForm } from './clip.js';
import { fetchRecordings } from './timeline.js';
import * as scrub from './scrub.js';

const STEP_MS = 5000;            // ←/→
const STEP_BIG_MS = 60000;       // Shift+←/→
const TICK_MS = 50;
const LEAD_MS = 250;             // the clock waits for the slowest player beyond this
const IN_STEP_S = 0.04;          // drift left alone (a frame)
const HOLD_S = 1;                // further ahead: wait; further behind: seek
const SETTLE_S = 0.5;            // drift is corrected over about this much real time
const NOTICE_MS = 8000;          // how long a notice stays
const LIVE_PACE = 1.25;          // live: the pace while catching up...
const LIVE_SPARE_MS = 750;       // ...until this much is left in hand when the next segment comes

const view = $('watch');
const grid = $('watch-grid');
// pace: above 1 while the live view catches up on time it had to spare;
// ending: null, 'looking' while the end of what is held is looked past, or
// 'ended'.
const clock = { ms: null, rate: 1, pace: 1, playing: false, live: false, last: 0, ending: null };
let players = [];
let primary = null;
let marks = { in: null, out: null };
let opening = 0;                 // the latest open or live switch; older ones give way
let gaps = 0;
let noticeTimer = null;

// ---- showing -----------------------------------------------------------------------

function notice(kind, text, gap) {
  const el = $('watch-notice');
  el.dataset.kind = kind;
  el.textContent = text;
  for (const key of ['from', 'to', 'gapMs']) delete el.dataset[key];
  if (gap) {
    el.dataset.from = String(Math.round(gap.from));
    el.dataset.to = String(Math.round(gap.to));
    el.dataset.gapMs = String(Math.round(gap.to - gap.from));
  }
  clearTimeout(noticeTimer);
  if (kind === 'gap' || kind === 'live') {
    noticeTimer = setTimeout(() => {
      el.dataset.kind = '';
      el.textContent = '';
    }, NOTICE_MS);
  }
}

const clockText = (ms) => {
  const d = new Date(ms);
  return `${localTime(d)}.${tenths(d)}`;
};

function gapNotice(from, to) {
  gaps++;
  $('watch-notice').dataset.gaps = String(gaps);
  notice('gap', `Gap in the recording: ${clockText(from)} → ${clockText(to)} (${duration((to - from) / 1000)}) ` +
                'skipped.', { from, to });
}

// The frame the clock beside the players stands for: the selected player's
// when it plays the clock's time, else the first one's that does.
function shownPlayer() {
  const plays = (p) => p.ready && clock.ms !== null && p.recording.at(clock.ms) && p.frameWall() !== null;
  if (primary && plays(primary)) return primary;
  return players.find(plays) || null;
}

function showClock() {
  const p = shownPlayer();
  const ms = p ? p.frameWall() : clock.ms;
  const box = $('watch-clock');
  if (ms === null) {
    delete box.dataset.ms;
    return;
  }
  box.dataset.ms = String(Math.round(ms));
  box.dataset.lib = p ? String(p.lib) : '';
  const d = new Date(ms);
  $('watch-clock-local').textContent = clockText(ms);
  $('watch-clock-date').textContent = localDate(d);
  $('watch-clock-utc').textContent = `UTC ${utcStamp(d)}`;
  const lag = $('watch-lag');
  lag.hidden = !clock.live;
  if (clock.live) {
    const behind = Math.max(0, Date.now() - ms);
    lag.dataset.ms = String(Math.round(behind));
    lag.textContent = `Live, ${(behind / 1000).toFixed(1)} s behind real time${clock.pace > 1 ? ', catching up' : ''}`;
  }
}

function tileState(p) {
  if (p.state === 'error' || p.state === 'empty' || !p.ready) return p.state;
  if (clock.ms === null) return 'loading';
  if (!p.recording.at(clock.ms)) return p.recording.next(clock.ms) === null ? 'ended' : 'gap';
  if (p.seeking || p.video.readyState < 2) return 'loading';
  return p.video.paused ? 'paused' : 'playing';
}

function showTile(p) {
  const tile = p.tile;
  const state = tileState(p);
  tile.dataset.state = state;
  const frame = p.frameWall();
  if (frame !== null) tile.dataset.ms = String(Math.round(frame));
  else delete tile.dataset.ms;
  role(tile, 'time').textContent = frame !== null ? `${localTime(new Date(frame))}` : '';
  const note = role(tile, 'note');
  let text = '';
  delete note.dataset.from;
  delete note.dataset.to;
  if (state === 'gap') {
    const from = p.recording.previousEnd(clock.ms);
    const to = p.recording.next(clock.ms);
    note.dataset.to = String(Math.round(to));
    if (from !== null) note.dataset.from = String(Math.round(from));
    text = from !== null
      ? `No recording from ${clockText(from)} to ${clockText(to)} (${duration((to - from) / 1000)})`
      : `Recording starts at ${clockText(to)}`;
  } else if (state === 'ended') {
    text = 'No recording after this in the day';
  } else if (state === 'empty') {
    text = clock.live ? 'Nothing recorded lately' : 'Nothing recorded on this day';
  } else if (state === 'error') {
    text = `Cannot play: ${p.error || 'error'}`;
  } else if (state === 'idle') {
    text = 'Click the timeline below to play from that moment, or Live for now.';
  }
  note.textContent = text;
  note.hidden = !text;
}

function watchState() {
  const none = players.every((p) => p.state === 'error' || p.state === 'empty');
  if (clock.ms === null && clock.live && none) return players.some((p) => p.state === 'error') ? 'error' : 'ended';
  if (clock.ms === null) return clock.live ? 'loading' : 'idle';
  if (clock.ending) return clock.ending === 'ended' ? 'ended' : 'loading';
  const active = players.filter((p) => p.ready && p.recording.at(clock.ms));
  if (!active.length) return players.every((p) => p.state === 'error') ? 'error' : 'loading';
  if (active.some((p) => p.seeking || p.video.readyState < 2)) return 'loading';
  return clock.playing ? 'playing' : 'paused';
}

function show() {
  view.dataset.state = watchState();
  if (clock.live && clock.ms === null && view.dataset.state === 'ended' && $('watch-notice').dataset.kind !== 'end') {
    notice('end', 'Nothing has been recorded lately: there is no live edge to play.');
  }
  view.dataset.mode = clock.live ? 'live' : 'vod';
  view.dataset.rate = String(clock.rate);
  for (const p of players) showTile(p);
  showClock();
  const seeks = players.filter((p) => p.ready && clock.ms !== null && p.recording.at(clock.ms)).map((p) => p.seekMs);
  if (seeks.length && seeks.every((s) => s !== null)) view.dataset.seekMs = String(Math.round(Math.max(...seeks)));
  $('watch-play').textContent = clock.playing ? 'Pause' : 'Play';
  $('watch-play').setAttribute('aria-pressed', String(clock.playing));
  $('watch-live').setAttribute('aria-pressed', String(clock.live));
  for (const b of document.querySelectorAll('#watch-speeds [data-rate]')) {
    b.setAttribute('aria-pressed', String(Number(b.dataset.rate) === clock.rate));
    b.disabled = clock.live && b.dataset.rate !== '1';
  }
  scrub.setPlayhead(clock.ms);
}

function writeAddress() {
  if (clock.ms === null || !primary) return;
  const q = new URLSearchParams(location.search);
  q.set('lib', String(primary.lib));
  if (clock.live) {
    q.delete('t');
    q.set('live', '1');
  } else {
    q.delete('live');
    q.set('t', isoUtc(new Date(Math.floor(clock.ms / 1000) * 1000)));
  }
  history.replaceState(history.state, '', `/?${q}`);
}

// ---- the recordings of all players ---------------------------------------------------------

const recordedAt = (ms) => players.some((p) => p.ready && p.recording.at(ms));

function nextRecorded(ms) {
  const next = players.filter((p) => p.ready).map((p) => p.recording.next(ms)).filter((t) => t !== null);
  return next.length ? Math.min(...next) : null;
}

function previousEnd(ms) {
  const ends = players.filter((p) => p.ready).map((p) => p.recording.previousEnd(ms)).filter((t) => t !== null);
  return ends.length ? Math.max(...ends) : null;
}

// ---- the clock -----------------------------------------------------------------------------

function tick() {
  const now = performance.now();
  const dt = now - clock.last;
  clock.last = now;
  if (clock.ms === null && clock.live) startLiveClock();
  if (clock.ms !== null && clock.playing && !clock.ending) advance(dt);
  if (clock.ms !== null) for (const p of players) follow(p);
  show();
}

function advance(dt) {
  clock.pace = 1;
  if (!players.some((p) => p.ready)) return;  // still opening
  const step = dt * clock.rate;
  let ms = clock.ms + step + (clock.live ? Math.min(step * (LIVE_PACE - 1), liveSpare()) : 0);
  const active = players.filter((p) => p.ready && p.recording.at(clock.ms));
  if (active.length) {
    // Never ahead of the fastest player, nor far ahead of the slowest.
    const at = active.map((p) => p.positionWall() ?? clock.ms);
    ms = Math.max(clock.ms, Math.min(ms, Math.max(...at) + IN_STEP_S * 1000, Math.min(...at) + LEAD_MS));
  }
  if (!recordedAt(ms)) {
    const next = nextRecorded(ms);
    if (next === null) {
      if (!clock.live) reachedEnd();
      return;  // live: the next segment is on its way
    }
    gapNotice(previousEnd(ms) ?? clock.ms, next);
    ms = next;
  } else if (clock.live && ms - clock.ms > step) {
    const gained = ms - clock.ms - step;
    for (const p of players) p.caughtUp(gained);
    clock.pace = 1 + gained / step;
  }
  clock.ms = ms;
}

// Live: a view that fell behind (a segment came late, or it was paused)
// runs faster while every player had media in hand at its last arrivals of
// a segment, until it keeps just enough to ride over the next one's delay.
function liveSpare() {
  const live = players.filter((p) => p.ready && p.recording.segments.length);
  return live.length ? Math.max(0, Math.min(...live.map((p) => p.liveSpare())) - LIVE_SPARE_MS) : 0;
}

// One player to the clock's time.
function follow(p) {
  if (!p.ready) return;
  const v = p.video;
  const recorded = p.recording.at(clock.ms);
  const next = recorded ? clock.ms : p.recording.next(clock.ms);
  const target = next === null ? null : p.mediaOf(next);
  if (p.seeking) return;
  if (!recorded || !clock.playing) {
    // In a gap of its own it waits at its next recorded moment.
    if (!v.paused) v.pause();
    if (!recorded && target !== null && Math.abs(v.currentTime - target) > 0.3) p.seekMedia(target);
    return;
  }
  const drift = v.currentTime - target;  // s of the player's timeline, ahead > 0
  if (drift > HOLD_S) {
    if (!v.paused) v.pause();
    return;
  }
  if (drift < -HOLD_S) {
    p.seekMedia(target + clock.rate * 0.2);  // a little ahead: the clock runs on meanwhile
    return;
  }
  // play() on a video that has ended would start it again from its first
  // frame: the clock is a moment short of the end, which comes next.
  if (v.paused && !v.ended) v.play().catch(() => {});
  const base = clock.rate * clock.pace;
  let rate = base;
  if (Math.abs(drift) > IN_STEP_S) {
    rate = Math.min(Math.max(base - drift / SETTLE_S, base / 2), Math.min(16, base * 1.5));
  }
  if (Math.abs(v.playbackRate - rate) > 0.001) v.playbackRate = rate;
}

// Nothing after the clock's time in the playlists held: a day still being
// recorded may have more by now; else the next day goes on, if recorded.
async function reachedEnd() {
  clock.ending = 'looking';
  const seq = opening;
  const at = clock.ms;
  const window = scrub.windowFor(at);
  if (window[1] * 1000 > Date.now() - 60000) {
    await Promise.all(players.map((p) => p.fetchWindow(window[0], window[1], true)));
    if (seq !== opening) return;
    const next = nextRecorded(at);
    if (next !== null) {
      clock.ending = null;
      await openPlayers(next, seq);
      return;
    }
    endAt(at);
    return;
  }
  // A past day goes on into the next only where that has recordings; else
  // the view stays at this day's end, its last frames on screen.
  const [a, b] = scrub.windowFor(window[1] * 1000);
  const next = await Promise.all(players.map((p) => fetchPlaylist(playlistUrl(p.lib, a, b))));
  if (seq !== opening) return;
  if (!next.some((got) => got.recording && got.recording.segments.length)) {
    endAt(at);
    return;
  }
  clock.ending = null;
  openAt(window[1] * 1000, true, true);
}

function endAt(ms) {
  clock.ending = 'ended';
  clock.playing = false;
  for (const p of players) p.video.pause();
  notice('end', `End of the recording at ${clockText(ms)} (${localDate(new Date(ms))}). ` +
                'Live shows what is recorded now.');
  writeAddress();
}

// ---- opening, seeking, live -------------------------------------------------------------

// Plays from ms: fetches the playlists of its day where they are not held,
// and goes to the next recorded moment when nothing is recorded then.
async function openAt(ms, play, quiet = false) {
  const seq = ++opening;
  clock.live = false;
  clock.ending = null;
  const [a, b] = scrub.windowFor(ms);
  view.dataset.state = 'loading';
  await Promise.all(players.map((p) => (p.window && p.window[0] === a && p.window[1] === b && !p.live
    ? Promise.resolve()
    : p.fetchWindow(a, b))));
  if (seq !== opening) return;
  let at = ms;
  if (!players.some((p) => p.recording.at(at))) {
    const next = Math.min(...players.map((p) => p.recording.next(at) ?? Infinity));
    if (next === Infinity) {
      clock.ms = ms;
      endAt(ms);
      if (!players.some((p) => p.recording.segments.length)) {
        notice('end', `Nothing is recorded on ${localDate(new Date(ms))} in ${players.length > 1 ? 'any library' : 'the library'}.`);
      }
      return;
    }
    const from = Math.max(...players.map((p) => p.recording.previousEnd(at) ?? -Infinity));
    if (!quiet) {
      notice('gap', `Nothing recorded at ${clockText(ms)}: playing from ${clockText(next)}` +
                    (from > -Infinity ? ` (the gap is ${duration((next - from) / 1000)}).` : '.'),
             { from: from > -Infinity ? from : ms, to: next });
    }
    at = next;
  }
  clock.playing = play;
  await openPlayers(at, seq);
}

async function openPlayers(at, seq) {
  clock.ms = at;
  for (const p of players) p.seekMs = null;
  await Promise.all(players.filter((p) => p.playlistUrl).map((p) => p.open(p.recording.next(at) ?? at)));
  if (seq !== opening) return;
  writeAddress();
  tick();
}

// Moves the clock to ms; within the playlists held each player seeks.
function seekTo(ms, play) {
  const inWindow = clock.ms !== null && !clock.live && !clock.ending &&
                   players.some((p) => p.window && ms >= p.window[0] * 1000 && ms < p.window[1] * 1000);
  if (!inWindow || !players.some((p) => p.ready)) {
    openAt(ms, play ?? clock.playing);
    return;
  }
  let at = ms;
  if (!recordedAt(at)) {
    const next = nextRecorded(at);
    if (next === null) {
      openAt(ms, play ?? clock.playing);  // past the end of what is held: it may have grown
      return;
    }
    const from = previousEnd(at);
    notice('gap', `Nothing recorded at ${clockText(ms)}: playing from ${clockText(next)}` +
                  (from !== null ? ` (the gap is ${duration((next - from) / 1000)}).` : '.'),
           { from: from ?? ms, to: next });
    at = next;
  }
  ++opening;
  clock.ms = at;
  if (play !== undefined) clock.playing = play;
  for (const p of players) {
    if (!p.ready) continue;
    p.seekMs = null;
    p.seekWall(p.recording.next(at) ?? at);
  }
  writeAddress();
  tick();
}

async function goLive() {
  const seq = ++opening;
  clock.live = true;
  clock.ending = null;
  clock.ms = null;
  clock.rate = 1;
  clock.playing = true;
  notice('live', 'Going to the live edge…');
  await Promise.all(players.map((p) => p.openLive()));
  if (seq !== opening) return;
  writeAddress();
}

// Live: the clock starts at the slowest player once all have a position.
function startLiveClock() {
  const ready = players.filter((p) => p.ready && p.recording.segments.length);
  if (!ready.length || ready.some((p) => p.frameWall() === null)) return;
  clock.ms = Math.min(...ready.map((p) => p.positionWall()));
  clock.last = performance.now();
  writeAddress();
}

function togglePlay() {
  if (clock.ms === null) {
    if (!clock.live) goLive();
    return;
  }
  if (clock.ending) {
    openAt(clock.ms, true);
    return;
  }
  clock.playing = !clock.playing;
  for (const p of players) if (!clock.playing) p.video.pause();
  writeAddress();
  tick();
}

function setRate(rate) {
  if (clock.live && rate !== 1) return;
  clock.rate = rate;
  for (const p of players) p.video.playbackRate = rate;
  tick();
}

// One frame on or back in the selected player (else the first that shows
// the clock's time); the others go to its frame's time.
function stepFrame(direction) {
  if (clock.playing || clock.ms === null) return;
  const p = shownPlayer() || primary;
  if (!p || !p.ready) return;
  const ms = p.stepFrame(direction);
  if (ms === null) return;
  clock.ms = ms;
  for (const q of players) if (q !== p && q.ready) q.seekWall(q.recording.next(ms) ?? ms);
  writeAddress();
  tick();
}

// ---- marks -------------------------------------------------------------------------------

function showMarks() {
  const fmt = (ms) => (ms === null ? '–' : `${localTime(new Date(ms))} (UTC ${utcTime(new Date(ms))})`);
  const { in: a, out: b } = marks;
  $('watch-marks').textContent = a === null && b === null
    ? 'No marks yet.'
    : `In ${fmt(a)} · out ${fmt(b)}${a !== null && b !== null ? ` · ${duration((b - a) / 1000)}` : ''}`;
  for (const [id, ms] of [['mark-in', a], ['mark-out', b]]) {
    if (ms === null) delete $(id).dataset.ms;
    else $(id).dataset.ms = String(Math.round(ms));
  }
  $('watch-clip').disabled = !(a !== null && b !== null && b > a);
  scrub.setMarks(a, b);
}

// Marks are whole seconds, as the clip form and the daemon take them.
function setMarks(a, b) {
  const second = (ms) => (ms === null ? null : Math.round(ms / 1000) * 1000);
  marks = { in: second(a), out: second(b) };
  if (marks.in !== null && marks.out !== null && marks.out < marks.in) marks = { in: marks.out, out: marks.in };
  showMarks();
  if (primary) fillClip(primary.lib, marks.in, marks.out);
}

function markHere(which) {
  const p = shownPlayer();
  const ms = p ? p.frameWall() : clock.ms;
  if (ms === null) return;
  setMarks(which === 'in' ? ms : marks.in, which === 'out' ? ms : marks.out);
}

// ---- the keyboard ------------------------------------------------------------------------

function onKey(e) {
  if (e.ctrlKey || e.metaKey || e.altKey || e.defaultPrevented) return;
  const t = e.target;
  if (t.closest && t.closest('input, select, textarea, [contenteditable]')) return;
  const onButton = t.closest && t.closest('button, a, summary');
  let done = true;
  switch (e.key) {
    case ' ':
      if (onButton) return;
      togglePlay();
      break;
    case 'ArrowLeft':
    case 'ArrowRight':
      if (clock.ms === null) return;
      seekTo(clock.ms + (e.key === 'ArrowLeft' ? -1 : 1) * (e.shiftKey ? STEP_BIG_MS : STEP_MS));
      break;
    case ',':
      stepFrame(-1);
      break;
    case '.':
      stepFrame(1);
      break;
    case 'i':
    case 'o':
      markHere(e.key === 'i' ? 'in' : 'out');
      break;
    default:
      done = false;
  }
  if (done) e.preventDefault();
}

// ---- start ---------------------------------------------------------------------------------

function select(p) {
  primary = p;
  for (const q of players) {
    if (q === p) q.tile.dataset.primary = '1';
    else delete q.tile.dataset.primary;
  }
  if (marks.in !== null || marks.out !== null) fillClip(p.lib, marks.in, marks.out);
  writeAddress();
}

function makeTile(lib) {
  const tile = $('tile-template').content.firstElementChild.cloneNode(true);
  tile.id = `player-${lib}`;
  tile.dataset.lib = String(lib);
  role(tile, 'name').textContent = `Library ${lib}`;
  grid.append(tile);
  const p = new Player(lib, tile, () => showTile(p));
  // The clock follows the frames painted, not only the tick: at 16x a tick
  // is 0.8 s of recording.
  p.onPaint = () => {
    if (p === shownPlayer()) showClock();
  };
  tile.addEventListener('click', () => select(p));
  return p;
}

// The configured libraries (those the daemon does not answer 404 for), and
// the start of the newest segment among them (ms, or null).
async function configuredLibs() {
  const now = Math.floor(Date.now() / 1000);
  const got = await Promise.all([0, 1, 2, 3].map((lib) => fetchRecordings(lib, now - 60, now)));
  const libs = [0, 1, 2, 3].filter((lib, i) => got[i].status !== 404);
  const newest = got.map((g) => g.last).filter((t) => t !== null);
  return { libs, newest: newest.length ? Math.max(...newest) * 1000 : null };
}

export async function startWatch() {
  const q = new URLSearchParams(location.search);
  const asked = q.has('t') ? parseTimeArg(q.get('t')) : null;
  const askedLib = q.has('lib') ? Number(q.get('lib')) : null;
  if (asked !== null) loadHls();  // while the libraries are asked for
  const { libs, newest } = await configuredLibs();
  view.dataset.libs = libs.join(',');
  if (!libs.length) {
    view.dataset.state = 'error';
    notice('error', 'The daemon has no library to show.');
    return;
  }
  players = libs.map(makeTile);
  grid.dataset.count = String(players.length);
  select(players.find((p) => p.lib === askedLib) || players[0]);
  if (askedLib !== null && primary.lib !== askedLib) notice('error', `Library ${askedLib} is not configured.`);

  $('watch-play').addEventListener('click', togglePlay);
  $('watch-live').addEventListener('click', goLive);
  for (const b of document.querySelectorAll('#watch-speeds [data-rate]')) {
    b.addEventListener('click', () => setRate(Number(b.dataset.rate)));
  }
  $('mark-in').addEventListener('click', () => markHere('in'));
  $('mark-out').addEventListener('click', () => markHere('out'));
  $('watch-clip').addEventListener('click', submitClipForm);
  document.addEventListener('keydown', onKey);
  showMarks();

  // Without a time asked for, the timeline shows the day of the newest recording.
  const start = asked ?? newest ?? Date.now();
  await scrub.startScrub(libs, start, {
    seek: (ms) => seekTo(ms, true),
    marks: (a, b) => setMarks(a, b),
  });
  clock.last = performance.now();
  setInterval(tick, TICK_MS);
  if (q.has('t') && asked === null) notice('error', `Cannot read the time "${q.get('t')}" of the address.`);
  if (asked !== null) openAt(asked, true);
  else if (q.get('live') === '1') goLive();
  show();
}

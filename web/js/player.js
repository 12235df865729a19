// One library's player: a span of its recording (a day at most) or its live
// edge, played by hls.js in a video element, and the wall-clock time of any
// position in it.
//
// The wall-clock time comes from the playlist's program date-times: hls.js
// gives every fragment its programDateTime and its start on the player's own
// timeline, which runs on across gaps and time-stamp restarts, so a position
// t in fragment f shows f.programDateTime + (t - f.start) s. The player's
// timeline itself never stands for a time of day.
import { get } from './dom.js';

const HLS_URL = '/vendor/hls.light.min.mjs';
const BUFFER_S = 30;             // media buffered ahead
const LIVE_PATH = /^\/api\/live\.m3u8$/;
const LIVE_POLL_MS = 500;        // a live playlist unchanged is asked again this soon
const liveSeen = new Map();      // live playlist URL -> the text hls.js has
const liveBase = new Map();      // live playlist URL -> the first discontinuity sequence seen
const WORKER_URL = '/vendor/hls.worker.js';
const SPARES_KEPT = 2;           // live: arrivals of a segment the spare is judged on
const LIVE_JOIN_S = 1.25;        // live: a registration's delay and what the view keeps in hand

let hlsModule = null;

// hls.js is loaded with the first player that plays, not with the page.
export function loadHls() {
  if (!hlsModule) hlsModule = import(HLS_URL).then((m) => m.default);
  return hlsModule;
}

const absolute = (url) => new URL(url, location.href).href;

// The segments of a playlist as the daemon writes it: each one's start
// (epoch ms: the last program date-time plus the durations since), duration
// (s), URL and thumbnail URL, in time order.
export function parsePlaylist(text, base) {
  const segments = [];
  let at = null;
  let length = null;
  for (const raw of text.split('\n')) {
    const line = raw.trim();
    if (line.startsWith('#EXT-X-PROGRAM-DATE-TIME:')) {
      at = Date.parse(line.slice(25));
    } else if (line.startsWith('#EXTINF:')) {
      length = parseFloat(line.slice(8));
    } else if (line && !line.startsWith('#')) {
      if (Number.isFinite(at) && Number.isFinite(length)) {
        const url = new URL(line, base).href;
        segments.push({ ms: at, dur: length, url, thumb: url.replace(/\.ts$/, '.jpg') });
        at += length * 1000;
      }
      length = null;
    }
  }
  return segments;
}

// The index of the last segment that starts at or before ms, or -1.
function indexAt(segments, ms) {
  let lo = 0;
  let hi = segments.length - 1;
  let found = -1;
  while (lo <= hi) {
    const mid = (lo + hi) >> 1;
    if (segments[mid].ms <= ms) {
      found = mid;
      lo = mid + 1;
    } else {
      hi = mid - 1;
    }
  }
  return found;
}

const endOf = (s) => s.ms + s.dur * 1000;

// The recording of one library as a list of segments: what is recorded at a
// time, and where the next recording starts.
export class Recording {
  constructor(segments = []) {
    this.segments = segments;
  }

  // The segment that holds ms, or null.
  at(ms) {
    const s = this.segments[indexAt(this.segments, ms)];
    return s && ms < endOf(s) ? s : null;
  }

  // The start of the first segment after ms (ms itself when recorded), or null.
  next(ms) {
    if (this.at(ms)) return ms;
    const s = this.segments[indexAt(this.segments, ms) + 1];
    return s ? s.ms : null;
  }

  // The end of the last recording before ms, or null.
  previousEnd(ms) {
    const s = this.segments[indexAt(this.segments, ms)];
    return s ? Math.min(endOf(s), ms) : null;
  }

  get first() {
    return this.segments.length ? this.segments[0].ms : null;
  }

  get last() {
    return this.segments.length ? endOf(this.segments[this.segments.length - 1]) : null;
  }
}

// hls.js keeps a table indexed by discontinuity number, and walks it at every
// reload; the daemon's numbers are times in seconds, which would make that
// table billions long and keep the page busy. They are counted here from the
// first one seen instead: they still never go back.
function renumberDiscontinuities(url, text) {
  return text.replace(/^#EXT-X-DISCONTINUITY-SEQUENCE:(\d+)$/m, (line, n) => {
    if (!liveBase.has(url)) liveBase.set(url, Number(n));
    return `#EXT-X-DISCONTINUITY-SEQUENCE:${Math.max(0, Number(n) - liveBase.get(url))}`;
  });
}

// hls.js reloads a live playlist one reload interval (at most a target
// duration) after the level's requestScheduled, which each new playlist
// carries over from the one before: set back, it brings the next reload
// nearer, to at most that share of a target duration from now.
function reloadSoon(details, share) {
  if (details && details.live) details.requestScheduled = performance.now() - details.targetduration * (1 - share) * 1000;
}

// The player's settings: the forward buffer capped in time (hls.js would
// otherwise fill its byte budget, minutes of a small picture), a bounded back
// buffer so that a day played at 16x does not fill the memory, the first
// fragment fetched before play is asked for, and the transmuxer in a worker
// loaded from the daemon's /vendor/, which the page's policy allows as it
// is (a worker made from a blob: would need worker-src blob:).
function settings(Hls, live) {
  const Base = Hls.DefaultConfig.loader;
  class PlaylistLoader extends Base {
    loadInternal() {
      const url = this.context ? this.context.url : null;
      // The VOD playlist this page has just fetched for its own use (the
      // timeline's thumbnails) is handed over instead of asked for again.
      const text = url ? playlistText(url) : null;
      if (text !== null) return this.deliver(text);
      if (url && LIVE_PATH.test(new URL(url, location.href).pathname)) return this.awaitChange(url);
      return super.loadInternal();
    }

    deliver(text) {
      const { context, callbacks, stats } = this;
      stats.loading.first = stats.loading.end = performance.now();
      stats.loaded = stats.total = text.length;
      setTimeout(() => {
        if (this.callbacks === callbacks) callbacks.onSuccess({ url: context.url, data: text }, stats, context, null);
      });
    }

    // hls.js reloads a live playlist once per target duration, at a phase
    // set by its first load. Where that phase falls just after the daemon's
    // registrations, every segment would wait almost that long to be seen,
    // for good. Instead each new playlist brings hls.js's next reload to half
    // a target duration on (reloadSoon), and a reload waits here, asking
    // again every LIVE_POLL_MS until the playlist changes (for a target
    // duration at most): the live edge is seen within LIVE_POLL_MS of its
    // registration. The first load of a player is answered at once.
    async awaitChange(url) {
      const stop = new AbortController();
      this.stop = stop;
      const { context, callbacks, stats } = this;
      try {
        let giveUp = null;
        for (;;) {
          const r = await get(url, { signal: stop.signal });
          if (!r.ok) {
            callbacks.onError({ code: r.status, text: r.statusText }, context, null, stats);
            return;
          }
          const text = await r.text();
          const target = /#EXT-X-TARGETDURATION:(\d+)/.exec(text);
          giveUp = giveUp ?? performance.now() + (target ? Number(target[1]) * 1000 : 0);
          const fresh = text !== liveSeen.get(url) || !context.levelOrTrack;
          if (fresh || performance.now() >= giveUp) {
            liveSeen.set(url, text);
            if (fresh && context.levelOrTrack) reloadSoon(context.levelOrTrack.details, 0.5);
            this.deliver(renumberDiscontinuities(url, text));
            return;
          }
          await new Promise((resolve) => setTimeout(resolve, LIVE_POLL_MS));
          if (stop.signal.aborted) return;
        }
      } catch (e) {
        if (!stop.signal.aborted && this.callbacks === callbacks) {
          callbacks.onError({ code: 0, text: e.message }, context, null, stats);
        }
      }
    }

    abortInternal() {
      if (this.stop) this.stop.abort();
      super.abortInternal();
    }
  }
  return {
    debug: false,
    enableWorker: true,
    workerPath: WORKER_URL,
    autoStartLoad: false,
    startFragPrefetch: true,
    maxBufferLength: BUFFER_S,
    maxMaxBufferLength: BUFFER_S,
    backBufferLength: 30,
    pLoader: PlaylistLoader,
    capLevelToPlayerSize: false,
    testBandwidth: false,
    // Live: close to the edge; the watch view keeps the pace itself.
    ...(live ? { liveSyncDuration: 1.5, liveMaxLatencyDuration: 60 } : {}),
    maxLiveSyncPlaybackRate: 1,
  };
}

// Playlists fetched lately, by absolute URL: the timeline's thumbnails and
// the player share one fetch, and hls.js is handed the same text. A
// playlist that may still grow (today's) is fetched again after a while.
const playlists = new Map();
const PLAYLIST_FRESH_MS = 30000;
const PLAYLISTS_KEPT = 12;

// The VOD playlist of a library between two times (epoch s).
export const playlistUrl = (lib, from, to) => `/api/play.m3u8?lib=${lib}&from=${from}&to=${to}`;

// Resolves to { status, text, recording } (text and recording null unless
// status is 200; status 0 when the daemon does not answer).
export function fetchPlaylist(url, fresh = false) {
  const key = absolute(url);
  const held = playlists.get(key);
  if (held && !fresh && performance.now() - held.time < PLAYLIST_FRESH_MS) return held.promise;
  const entry = { time: performance.now(), status: 0, text: null, recording: null };
  entry.promise = (async () => {
    try {
      const r = await get(url);
      entry.status = r.status;
      if (r.ok) {
        entry.text = await r.text();
        entry.recording = new Recording(parsePlaylist(entry.text, key));
      }
    } catch (e) {
      entry.status = 0;
    }
    if (entry.status !== 200 && playlists.get(key) === entry) playlists.delete(key);
    return entry;
  })();
  playlists.delete(key);
  playlists.set(key, entry);
  while (playlists.size > PLAYLISTS_KEPT) playlists.delete(playlists.keys().next().value);
  return entry.promise;
}

// The text of a playlist fetched, for hls.js, or null.
function playlistText(url) {
  const held = playlists.get(absolute(url));
  return held && held.text !== null ? held.text : null;
}

export class Player {
  // tile: the player's element (holds the video); onChange(player) is
  // called whenever its state or its segments change.
  constructor(lib, tile, onChange) {
    this.lib = lib;
    this.tile = tile;
    this.video = tile.querySelector('video');
    this.onChange = onChange;
    this.recording = new Recording();
    this.window = null;        // [from, to) epoch s of the VOD playlist loaded, or null
    this.playlistUrl = null;   // its URL once fetched, when the library has segments there
    this.asked = null;         // the latest fetch asked for
    this.live = false;
    this.hls = null;
    this.source = null;        // the playlist URL hls.js has
    this.state = 'idle';
    this.error = null;
    this.frameMedia = null;    // the media time of the frame on screen
    this.onPaint = null;       // called with the player at every frame painted
    this.frameDur = 0.04;      // the shortest step between two frames seen
    this.seekTarget = null;    // media time of a seek under way
    this.seekStarted = 0;
    this.seekMs = null;        // the last seek: from its request to its frame painted
    this.spares = [];          // live: media left to play at the last arrivals of a segment (ms)
    this.watchFrames();
    this.video.addEventListener('seeked', () => {
      this.seekTarget = null;
    });
  }

  // ---- the playlist ---------------------------------------------------------

  // Fetches the VOD playlist of [from, to) (epoch s); resolves to true when
  // the library has recordings there. fresh: not the copy fetched lately.
  async fetchWindow(from, to, fresh = false) {
    const url = playlistUrl(this.lib, from, to);
    this.window = [from, to];
    this.live = false;
    const asked = (this.asked = {});
    const got = await fetchPlaylist(url, fresh);
    if (this.asked !== asked) return false;  // another window was asked for meanwhile
    if (got.status !== 200) {
      this.recording = new Recording();
      this.playlistUrl = null;
      this.error = got.status === 404 ? null : got.status ? `HTTP ${got.status}` : 'the daemon does not answer';
      this.setState(got.status === 404 ? 'empty' : 'error');
      return false;
    }
    this.error = null;
    this.playlistUrl = url;
    this.recording = got.recording;
    if (this.state === 'empty' || this.state === 'error') this.state = 'idle';
    // A fresh copy of the same URL: hls.js must take it again.
    if (fresh && this.source === url) this.source = null;
    this.onChange(this);
    return this.recording.segments.length > 0;
  }

  // ---- hls.js -----------------------------------------------------------------

  async attach(live) {
    const Hls = await loadHls();
    if (this.hls && this.hlsLive === live) return this.hls;
    if (this.hls) this.hls.destroy();
    const hls = new Hls(settings(Hls, live));
    this.hls = hls;
    this.hlsLive = live;
    this.source = null;
    hls.on(Hls.Events.ERROR, (event, data) => {
      if (!data.fatal || this.hls !== hls) return;
      // A live playlist of a library without recent segments is a 404.
      if (data.response && data.response.code === 404) {
        this.setState('empty');
        return;
      }
      this.error = `${data.type}: ${data.details}`;
      this.setState('error');
    });
    // The live playlist changes at every reload: its segments are hls.js's.
    hls.on(Hls.Events.LEVEL_UPDATED, (event, data) => {
      if (this.live && this.hls === hls) this.takeLiveSegments(data.details);
    });
    hls.on(Hls.Events.LEVEL_LOADED, (event, data) => {
      if (this.live && this.hls === hls) this.takeLiveSegments(data.details);
    });
    // After the first load of a live playlist the next one comes at once
    // and waits for the next segment (see awaitChange).
    hls.on(Hls.Events.MANIFEST_LOADED, (event, data) => {
      if (live && data.levels.length) reloadSoon(data.levels[0].details, 0);
    });
    hls.attachMedia(this.video);
    return hls;
  }

  takeLiveSegments(details) {
    const segments = [];
    for (const f of details.fragments) {
      if (!Number.isFinite(f.programDateTime)) continue;
      segments.push({ ms: f.programDateTime, dur: f.duration, url: f.url, thumb: f.url.replace(/\.ts$/, '.jpg') });
    }
    const edge = this.recording.last;
    this.recording = new Recording(segments);
    if (edge !== null && this.recording.last > edge) this.noteArrival(edge);
    this.onChange(this);
  }

  // Live: how much was left to play when the edge moved on. A player that
  // stalled there had nothing to spare; one that had seconds in hand each
  // time plays further behind real time than it needs to.
  noteArrival(edge) {
    const at = this.frameWall();
    if (at === null || this.video.paused) return;
    this.spares.push(Math.max(0, edge - at));
    if (this.spares.length > SPARES_KEPT) this.spares.shift();
  }

  // The least it had in hand at its last arrivals (ms), less what it has
  // caught up since: 0 until it has seen enough of them.
  liveSpare() {
    return this.spares.length < SPARES_KEPT ? 0 : Math.min(...this.spares);
  }

  caughtUp(ms) {
    this.spares = this.spares.map((s) => s - ms);
  }

  // Starts playing the window fetched, positioned at wall-clock ms.
  async open(ms) {
    if (!this.playlistUrl) return false;
    const hls = await this.attach(false);
    const url = this.playlistUrl;
    if (this.source !== url) {
      this.source = url;
      this.setState('loading');
      await this.loadSource(hls, url);
      if (this.source !== url || !this.fragments().length) return false;
      const start = this.mediaOf(ms);
      this.seekTarget = start;
      this.seekStarted = performance.now();
      hls.startLoad(start ?? -1);
      this.video.currentTime = start ?? 0;
      return true;
    }
    this.seekWall(ms);
    return true;
  }

  // Has hls.js load a playlist; resolves once it is parsed or has failed.
  async loadSource(hls, url) {
    const Hls = await loadHls();
    const parsed = new Promise((resolve) => {
      const done = (event, data) => {
        if (event === Hls.Events.ERROR && !data.fatal) return;
        hls.off(Hls.Events.LEVEL_LOADED, done);
        hls.off(Hls.Events.ERROR, done);
        resolve();
      };
      hls.on(Hls.Events.LEVEL_LOADED, done);
      hls.on(Hls.Events.ERROR, done);
    });
    hls.loadSource(url);
    await parsed;
  }

  // Plays the live playlist from where the next segment should come just
  // in time: a segment and LIVE_JOIN_S behind real time. hls.js would start
  // at the newest segment's start, however long ago that was recorded.
  async openLive() {
    this.live = true;
    this.window = null;
    this.playlistUrl = null;
    this.recording = new Recording();
    this.spares = [];
    this.setState('loading');
    const hls = await this.attach(true);
    const url = `/api/live.m3u8?lib=${this.lib}`;
    this.source = url;
    await this.loadSource(hls, url);
    const frags = this.fragments();
    if (this.source !== url || !frags.length) return;
    const last = frags[frags.length - 1];
    // Within the newest segment at most: the clocks of the recorder and of
    // this machine may differ.
    const start = Math.min(this.mediaOf(Date.now() - (last.duration + LIVE_JOIN_S) * 1000),
                           last.start + Math.max(0, last.duration - 1));
    hls.startLoad(start);
    this.video.currentTime = start;
  }

  // The fragments hls.js has for the playlist, in order.
  fragments() {
    const details = this.hls && this.hls.levels && this.hls.levels[0] ? this.hls.levels[0].details : null;
    return details ? details.fragments : [];
  }

  // The last fragment whose key is at most k (fragments are in order), or null.
  lastFragmentUpTo(key, k) {
    const frags = this.fragments();
    let lo = 0;
    let hi = frags.length - 1;
    let found = null;
    while (lo <= hi) {
      const mid = (lo + hi) >> 1;
      if (key(frags[mid]) <= k) {
        found = frags[mid];
        lo = mid + 1;
      } else {
        hi = mid - 1;
      }
    }
    return found;
  }

  // The media time of wall-clock ms, or null when it is not in the playlist.
  mediaOf(ms) {
    const found = this.lastFragmentUpTo((f) => f.programDateTime, ms);
    if (!found) {
      const frags = this.fragments();
      return frags.length ? frags[0].start : null;
    }
    const into = Math.min((ms - found.programDateTime) / 1000, found.duration);
    return found.start + into;
  }

  // The wall-clock ms of media time t, or null.
  wallOf(t) {
    const found = this.lastFragmentUpTo((f) => f.start, t + 1e-4);
    if (!found || !Number.isFinite(found.programDateTime)) return null;
    return found.programDateTime + Math.min(t - found.start, found.duration) * 1000;
  }

  // ---- position -------------------------------------------------------------

  get ready() {
    return !!this.hls && this.source !== null && this.fragments().length > 0 &&
           this.state !== 'error' && this.state !== 'empty';
  }

  get seeking() {
    return this.seekTarget !== null || this.video.seeking;
  }

  // Where the player is, in wall-clock ms: a seek's target while it runs.
  positionWall() {
    if (this.seekTarget !== null) return this.wallOf(this.seekTarget);
    return this.wallOf(this.video.currentTime);
  }

  // The wall-clock ms of the frame on screen, or null before the first one.
  frameWall() {
    if (this.frameMedia === null) return null;
    return this.wallOf(this.frameMedia);
  }

  seekMedia(t) {
    if (t === null || !this.ready) return;
    this.seekTarget = t;
    this.seekStarted = performance.now();
    this.video.currentTime = t;
  }

  seekWall(ms) {
    this.seekMedia(this.mediaOf(ms));
  }

  // One frame on or back, paused; returns the new position's wall-clock ms.
  stepFrame(direction) {
    const from = this.frameMedia ?? this.video.currentTime;
    const t = Math.max(0, from + direction * this.frameDur + 0.001);
    this.seekMedia(t);
    return this.wallOf(t);
  }

  // Follows the frames painted: the media time of the one on screen, the
  // frame rate (the shortest step seen), and how long the last seek took.
  watchFrames() {
    const video = this.video;
    if (!('requestVideoFrameCallback' in HTMLVideoElement.prototype)) return;
    let lastFrames = null;
    let lastMedia = null;
    const onFrame = (now, meta) => {
      if (lastFrames !== null && meta.presentedFrames === lastFrames + 1) {
        const step = meta.mediaTime - lastMedia;
        if (step > 0.004 && step < this.frameDur) this.frameDur = step;
      }
      lastFrames = meta.presentedFrames;
      lastMedia = meta.mediaTime;
      this.frameMedia = meta.mediaTime;
      if (this.onPaint) this.onPaint(this);
      // A position set before the media had any data ends without "seeked".
      if (this.seekTarget !== null && !video.seeking && Math.abs(meta.mediaTime - this.seekTarget) < 0.5) {
        this.seekTarget = null;
      }
      if (this.seekStarted && this.seekTarget === null && !video.seeking) {
        this.seekMs = now - this.seekStarted;
        this.seekStarted = 0;
      }
      video.requestVideoFrameCallback(onFrame);
    };
    video.requestVideoFrameCallback(onFrame);
  }

  setState(state) {
    if (this.state === state) return;
    this.state = state;
    this.onChange(this);
  }

  // Stops and forgets everything (the view leaves this library).
  destroy() {
    if (this.hls) this.hls.destroy();
    this.hls = null;
    this.source = null;
  }
}

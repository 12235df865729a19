// Times as the console shows and sends them: local time first (the page
// names the zone), UTC beside it, ISO 8601 in UTC to the daemon.

export const pad2 = (n) => String(n).padStart(2, '0');
export const localDate = (d) => `${d.getFullYear()}-${pad2(d.getMonth() + 1)}-${pad2(d.getDate())}`;
export const localTime = (d) => `${pad2(d.getHours())}:${pad2(d.getMinutes())}:${pad2(d.getSeconds())}`;
export const localStamp = (d) => `${localDate(d)} ${localTime(d)}`;
export const utcTime = (d) => `${pad2(d.getUTCHours())}:${pad2(d.getUTCMinutes())}:${pad2(d.getUTCSeconds())}`;
export const utcStamp = (d) =>
  `${d.getUTCFullYear()}-${pad2(d.getUTCMonth() + 1)}-${pad2(d.getUTCDate())} ${utcTime(d)}`;
export const sameLocalDay = (a, b) => localDate(a) === localDate(b);
// What the daemon reads: ISO 8601 in UTC, whole seconds.
export const isoUtc = (d) => d.toISOString().replace(/\.\d{3}Z$/, 'Z');
// The value a datetime-local input takes.
export const inputValue = (d) => `${localDate(d)}T${localTime(d)}`;
// Tenths of a second, for the clock beside the player.
export const tenths = (d) => String(Math.floor(d.getMilliseconds() / 100));

// Only full ISO times with a zone are read as instants; anything else
// ("10:00:00") is shown as it is stored.
export function parseInstant(text) {
  if (typeof text !== 'string' ||
      !/^\d{4}-\d\d-\d\d[T ]\d\d:\d\d(:\d\d(\.\d+)?)?(Z|[+-]\d\d:?\d\d)$/.test(text)) return null;
  const d = new Date(text.replace(' ', 'T'));
  return isNaN(d) ? null : d;
}

// A time as BrindlewoodClient reads it: seconds since the epoch, or
// "YYYY-MM-DD[T ]HH:MM[:SS]" with "Z", an offset ("+01", "+0100", "+01:00")
// or nothing (UTC). Epoch milliseconds, or null.
export function parseTimeArg(text) {
  if (typeof text !== 'string') return null;
  if (/^-?\d+$/.test(text)) return Number(text) * 1000;
  const m = /^(\d{4})-(\d\d)-(\d\d)[T ](\d\d):(\d\d)(?::(\d\d)(\.\d+)?)?(Z|([+-])(\d\d)(?::?(\d\d))?)?$/.exec(text);
  if (!m) return null;
  const [, y, mo, d, h, mi, s = '0', frac = '', , sign, oh = '0', om = '0'] = m;
  const ms = Date.UTC(+y, +mo - 1, +d, +h, +mi, +s) + Math.round(Number(`0${frac}`) * 1000);
  const check = new Date(ms);
  if (check.getUTCDate() !== +d || check.getUTCMonth() !== +mo - 1 || +h > 23 || +mi > 59) return null;
  const offset = (sign === '-' ? -1 : 1) * (+oh * 60 + +om) * 60000;
  return ms - (sign ? offset : 0);
}

export function duration(seconds) {
  const s = Math.round(seconds);
  if (s < 60) return `${s} s`;
  if (s < 3600) return `${Math.floor(s / 60)} min ${s % 60} s`;
  return `${Math.floor(s / 3600)} h ${Math.floor((s % 3600) / 60)} min`;
}

// The zone and its offset today: times of other seasons may differ by an hour
// (summer time), which is why UTC stands beside each of them.
export function zoneName() {
  const zone = Intl.DateTimeFormat().resolvedOptions().timeZone || 'local time';
  const off = -new Date().getTimezoneOffset();
  const sign = off < 0 ? '-' : '+';
  const abs = Math.abs(off);
  return `${zone} (now UTC${sign}${pad2(Math.floor(abs / 60))}:${pad2(abs % 60)})`;
}

// The local day that holds t (epoch s): its start and end in epoch s (23 or
// 25 hours long on the days the clocks change).
export function localDay(t) {
  const d = new Date(t * 1000);
  const a = new Date(d.getFullYear(), d.getMonth(), d.getDate());
  const b = new Date(d.getFullYear(), d.getMonth(), d.getDate() + 1);
  return [a.getTime() / 1000, b.getTime() / 1000];
}

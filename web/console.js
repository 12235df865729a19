// Brindlewood console: the watch view of the libraries, the export tasks
// kept live over the daemon's WebSocket, and a form that asks for a clip by
// wall-clock time. ES modules in js/, no build step, nothing fetched from
// elsewhere; the player library is served by the daemon under /vendor/.
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
// The watch view's hooks are listed in js/watch.js.
import { $ } from './js/dom.js';
import { zoneName } from './js/time.js';
import { startTasks } from './js/tasks.js';
import { startClipForm, taskAnnounced, taskState } from './js/clip.js';
import { startWatch } from './js/watch.js';

const zone = zoneName();
$('tz-name').textContent = zone;
for (const el of document.querySelectorAll('.tz-short')) el.textContent = `(${zone.split(' ')[0]})`;
startClipForm();
startTasks(taskAnnounced, taskState);
startWatch();

#!/usr/bin/env bash
# The whole job on a built-in example: a recorder writes a little over a
# minute of generated video, six-second MPEG-TS segments named by their start
# time and crossing an hour boundary, into a watch folder; Brindlewood files
# them into the media library as they come; BrindlewoodExporter cuts a clip
# across the boundary when BrindlewoodClient asks for it. Everything lives in
# one folder (DEMO_DIR, default demo-run/ in the repository); the recorder
# and both daemons are stopped on every exit path.
#
# DEMO_SEGMENTS (default 12) sets how many segments the recorder writes.
# The report ends with the address of the console's watch view at the clip's
# start. With SERVE=1 the export daemon stays up after the report, until
# Ctrl-C, so that the address can be opened; DEMO_PORT picks its port
# (default: a free one).
set -euo pipefail

top=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD_DIR:-$top/build}
demo=${DEMO_DIR:-$top/demo-run}
segments=${DEMO_SEGMENTS:-12}
serve=${SERVE:-}
[ "$serve" = 0 ] && serve=""
font=/usr/share/fonts/truetype/dejavu/DejaVuSans.ttf

say() { printf 'demo: %s\n' "$*"; }
die() { printf 'demo: FAILED: %s\n' "$*" >&2; exit 1; }

recorder_pid=""
register_pid=""
exporter_pid=""
stop_all() {
  for pid in $recorder_pid $register_pid $exporter_pid; do
    kill -TERM "$pid" 2>/dev/null || true
  done
  for pid in $recorder_pid $register_pid $exporter_pid; do
    for _ in $(seq 50); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
    kill -KILL "$pid" 2>/dev/null || true
  done
  recorder_pid=""
  register_pid=""
  exporter_pid=""
}
trap stop_all EXIT
trap 'say "interrupted"; exit 130' INT TERM

# Waits up to $1 seconds for the command in the remaining words to succeed.
wait_for() {
  local seconds=$1; shift
  local end=$((SECONDS + seconds))
  until "$@"; do
    [ $SECONDS -lt $end ] || return 1
    sleep 0.2
  done
}

for prog in Brindlewood BrindlewoodExporter BrindlewoodClient; do
  [ -x "$build/$prog" ] || die "$build/$prog is missing; run make build first"
done
[ $segments -ge 4 ] || die "DEMO_SEGMENTS must be at least 4"
[ -f "$font" ] || die "the font $font is missing (package fonts-dejavu-core)"

rm -rf "$demo"
mkdir -p "$demo"/{watch,hold,library,tasks,recorder,logs}

# The recording starts half of it before an hour boundary (UTC), so that the
# clip asked for below crosses it.
half=$(( segments / 2 * 6 ))
t0=$(( ( $(date +%s) / 3600 ) * 3600 - half ))
total=$(( segments * 6 ))
say "folder: $demo"
say "recording $segments segments of 6 s from $(date -u -d @$t0 '+%F %T') UTC"

"$build/Brindlewood" --nodemonize \
  --watch-path="$demo/watch" --tmp-path="$demo/hold" --lib-path="$demo/library" \
  --ffprobe-path=ffprobe --ffmpeg-path=ffmpeg \
  --log-file-name="$demo/logs/Brindlewood.log" 2>/dev/null &
register_pid=$!
wait_for 10 grep -q 'watcher_thread_proc: waiting' "$demo/logs/Brindlewood.log" 2>/dev/null ||
  die "Brindlewood did not start watching (see $demo/logs/Brindlewood.log)"

# The recorder: one continuous encode with the wall-clock time drawn in,
# cut at keyframes into six-second segments. As a real recorder does, it
# hands each segment over while the encode goes on: once the next one is
# begun, the finished one is written into the watch folder under its start
# time and closed, and Brindlewood registers it at once.
clock="%{pts\\:gmtime\\:${t0}\\:%Y-%m-%d %H\\\\\\:%M\\\\\\:%S} UTC"
ffmpeg -nostdin -hide_banner -loglevel error \
  -f lavfi -i "testsrc=size=320x180:rate=25:duration=$total" \
  -f lavfi -i "sine=frequency=440:sample_rate=48000:duration=$total" \
  -vf "drawtext=fontfile=$font:fontsize=15:fontcolor=white:box=1:boxcolor=black@0.6:x=6:y=6:text='$clock'" \
  -c:v libx264 -preset ultrafast -pix_fmt yuv420p -g 150 -force_key_frames 'expr:gte(t,n_forced*6)' \
  -c:a aac -b:a 64k \
  -f segment -segment_time 6 -segment_format mpegts -reset_timestamps 0 "$demo/recorder/%03d.ts" \
  2>"$demo/logs/recorder.err" &
recorder_pid=$!
piece() { printf '%s/recorder/%03d.ts' "$demo" "$1"; }
handed=0
hand_over() { cat "$(piece $handed)" > "$demo/watch/$((t0 + 6 * handed)).ts"; handed=$((handed + 1)); }
while kill -0 "$recorder_pid" 2>/dev/null; do
  while [ -e "$(piece $((handed + 1)))" ]; do hand_over; done
  sleep 0.1
done
wait "$recorder_pid" || die "ffmpeg could not generate the recording: $(cat "$demo/logs/recorder.err")"
recorder_pid=""
while [ $handed -lt $segments ]; do
  [ -e "$(piece $handed)" ] || die "the recorder made $handed segments, not $segments"
  hand_over
done

indexed() { cat "$demo"/library/*/*/*/*/index.cvs 2>/dev/null | wc -l; }
all_indexed() { [ "$(indexed)" -ge "$segments" ]; }
wait_for 90 all_indexed ||
  die "only $(indexed) of $segments segments reached the library (see $demo/logs/Brindlewood.log)"
say "all $segments segments are in the library"

port=${DEMO_PORT:-}
[ -n "$port" ] || port=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])' 2>/dev/null ||
       echo $((20000 + RANDOM % 20000)))
"$build/BrindlewoodExporter" --nodemonize --ws-port="$port" \
  --tasks-path="$demo/tasks" --lib0-path="$demo/library" --ffmpeg-path=ffmpeg \
  --log-file-name="$demo/logs/BrindlewoodExporter.log" 2>/dev/null &
exporter_pid=$!
wait_for 10 grep -q 'ws_init' "$demo/logs/BrindlewoodExporter.log" 2>/dev/null ||
  die "BrindlewoodExporter did not start (see $demo/logs/BrindlewoodExporter.log)"

# The middle half of the recording, starting 3 s into a segment and so
# across the hour: --exact starts the clip at that very frame.
from=$(( t0 + total / 4 / 6 * 6 + 3 ))
to=$(( from + total / 2 ))
say "asking for a clip from $(date -u -d @$from '+%F %T') to $(date -u -d @$to '+%F %T') UTC"
"$build/BrindlewoodClient" clip --port "$port" --lib-path "$demo/library" --exact \
  --from "$from" --to "$to" --title "Brindlewood demo" --wait --tasks-path "$demo/tasks" --timeout 120 \
  | tee "$demo/logs/client.out" || die "the clip did not finish (see $demo/logs)"

task=$(sed -n 's/^task \([0-9]*\) done$/\1/p' "$demo/logs/client.out" | tail -n1)
[ -n "$task" ] || die "the client did not report a finished task"
folder="$demo/tasks/$(printf '%05d' "$task")"
[ -s "$folder/cut.mp4" ] || die "$folder/cut.mp4 is missing"
measured=$(ffprobe -v error -show_entries format=duration -of csv=p=0 "$folder/cut.mp4")
stream_duration() {
  ffprobe -v error -select_streams "$1" -show_entries stream=duration -of csv=p=0 "$folder/cut.mp4"
}
video=$(stream_duration v:0)
audio=$(stream_duration a:0)
# What the file holds: stream copy keeps the video from the start of the
# first segment, and the edit list hides what comes before --from.
held=$(ffprobe -v error -select_streams v:0 -show_entries stream=nb_frames,r_frame_rate -of csv=p=0 "$folder/cut.mp4" |
       awk -F, '{ split($1, r, "/"); printf "%.2f", $2 * r[2] / r[1] }')
before=$(awk -v h="$held" -v m="$video" 'BEGIN { d = h - m; printf "%.2f", d < 0 ? 0 : d }')
# With SERVE=1 only the export daemon is kept: the recording is over.
kept=""
[ -z "$serve" ] || { kept=$exporter_pid; exporter_pid=""; }
stop_all
exporter_pid=$kept

# The client's plan: "segments N from T, head_offs H, length L, tail_rem R".
read -r planned first head length tail < <(sed -n \
  's/^segments \([0-9]*\) from \([0-9]*\), head_offs \([0-9.]*\), length \([0-9.]*\), tail_rem \([0-9.]*\)$/\1 \2 \3 \4 \5/p' \
  "$demo/logs/client.out")
[ -n "${tail:-}" ] || die "the client did not print its plan"
hm() { date -u -d "@$1" '+%H:%M:%S'; }
thumbs=$(cd "$demo" && ls library/*/*/*/*/*.jpg)
thumb_count=$(wc -l <<<"$thumbs")
thumb_list="$(sed -n '1p;2p' <<<"$thumbs" | tr '\n' ' ')... $(tail -n1 <<<"$thumbs")"
extra=$(awk -v a="$audio" -v v="$video" 'BEGIN { printf "%.3f", a - v }')

echo
echo "Brindlewood demo: done"
echo "  folder            $demo"
echo "  media library     $demo/library"
echo "  index files       $(cd "$demo/library" && ls */*/*/*/index.cvs | tr '\n' ' ')"
echo "  thumbnails        $thumb_count JPEG files (96x54), one beside each segment: $thumb_list"
echo "  span              $(date -u -d @$from '+%F %T') to $(hm $to) UTC, $((to - from)) s: the middle half of the" \
     "$total s recording, starting 3 s into a segment and crossing the hour"
echo "  segments          $planned segments hold the span, ${length%.*} s of video from $(hm "$first");" \
     "the task skips head_offs ${head%.*} s at its start and drops tail_rem ${tail%.*} s at its end:" \
     "${length%.*} - ${head%.*} - ${tail%.*} = $(( ${length%.*} - ${head%.*} - ${tail%.*} )) s"
echo "  task folder       $folder"
echo "  clip              $folder/cut.mp4"
echo "  clip duration     ${measured} s measured by ffprobe, $((to - from)) s requested: the video lasts ${video} s," \
     "the span to the frame, because --exact starts it at the frame of the span's start; the audio runs" \
     "${extra} s longer, to the end of its last AAC frame (1024 samples, 21 ms)"
echo "  before the start  ${before} s of video the file holds behind its edit list (--exact), from the" \
     "segment's keyframe, where stream copy must begin; players that ignore edit lists show it"
echo "  logs              $demo/logs"
watch="http://127.0.0.1:$port/?lib=0&t=$(date -u -d @$from '+%FT%TZ')"
if [ -z "$serve" ]; then
  echo "  watch view        $watch (the clip's start; the export daemon has stopped:" \
       "make demo SERVE=1 keeps it running)"
  exit 0
fi
echo "  watch view        $watch (the clip's start), served until Ctrl-C"
trap 'echo; say "stopping"; exit 0' INT TERM
wait "$exporter_pid" || true
exporter_pid=""
die "BrindlewoodExporter stopped by itself (see $demo/logs/BrindlewoodExporter.log)"

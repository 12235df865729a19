#!/usr/bin/env bash
# Runs inside the machine that scripts/unit-check.sh boots, as root, with the
# programs, units and examples installed under /usr/local. Sets up the users
# and folders as dist/README.md says, starts the hardened units (the single
# ones and template instances), plays a recorder of another user writing
# segments, and checks that they are linked (not copied), registered, and
# that clips reach done through both export daemons. Then the start-time
# check of a segment still being written, with and without CAP_LEASE.
set -uo pipefail

examples=/usr/local/share/doc/brindlewood/examples
token=/etc/brindlewood/exporter.token
logs=/var/log/brindlewood
failures=0
say() { echo "== $*"; }
pass() { echo "PASS: $*"; }
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
check() { local what=$1; shift; if "$@"; then pass "$what"; else fail "$what"; fi; }
wait_for() {
  local seconds=$1; shift
  for _ in $(seq $((seconds * 5))); do "$@" && return 0; sleep 0.2; done
  return 1
}

say "users, folders, option files (dist/README.md)"
# A run starts from nothing: what an earlier run left would pass the counts.
units=(brindlewood brindlewood-exporter brindlewood@cam1 brindlewood@cam2 brindlewood-exporter@cam1)
systemctl disable --now "${units[@]}" brindlewood-prune.timer brindlewood-prune@cam1.timer >/dev/null 2>&1
rm -rf /srv/recorder /srv/library /srv/exports /var/log/brindlewood /etc/brindlewood
id brindlewood >/dev/null 2>&1 ||
  useradd --system --user-group --home-dir /var/lib/brindlewood --create-home --shell /usr/sbin/nologin brindlewood
# The recorder: another user, not in group brindlewood.
id recorder >/dev/null 2>&1 || useradd --create-home recorder
install -d -m 0755 /srv/recorder
install -d -o recorder -g brindlewood -m 2750 /srv/recorder/out
install -d -o brindlewood -g brindlewood -m 0750 /srv/recorder/hold /srv/library /srv/exports /var/log/brindlewood
install -d -m 0755 /etc/brindlewood
cp -n "$examples"/*.opts /etc/brindlewood/
(umask 027; head -c 32 /dev/urandom | base64 > "$token")
chgrp brindlewood "$token"
for s in cam1 cam2; do
  install -d -m 0755 /srv/recorder/$s
  install -d -o recorder -g brindlewood -m 2750 /srv/recorder/$s/out
  install -d -o brindlewood -g brindlewood -m 0750 /srv/recorder/$s/hold /srv/library/$s
  sed -e "s|/srv/recorder/out|/srv/recorder/$s/out|" \
      -e "s|/srv/recorder/hold|/srv/recorder/$s/hold|" \
      -e "s|^--lib-path=.*|--lib-path=/srv/library/$s|" \
      -e "s|/Brindlewood.log|/$s.log|" \
      "$examples/Brindlewood.opts" > /etc/brindlewood/$s.conf
done
install -d -o brindlewood -g brindlewood -m 0750 /srv/exports/cam1
sed -e "s|^--ws-port=.*|--ws-port=9001|" \
    -e "s|^--tasks-path=.*|--tasks-path=/srv/exports/cam1|" \
    -e "s|^--lib0-path=.*|--lib0-path=/srv/library/cam1|" \
    -e "s|/BrindlewoodExporter.log|/exporter-cam1.log|" \
    "$examples/BrindlewoodExporter.opts" > /etc/brindlewood/exporter-cam1.conf
echo "fs.protected_hardlinks = $(cat /proc/sys/fs/protected_hardlinks)"

say "starting ${units[*]}"
systemctl daemon-reload
systemctl enable --now "${units[@]}" 2>&1
for u in "${units[@]}"; do
  check "$u is active" wait_for 10 systemctl is-active --quiet "$u"
done
waiting() { grep -q 'watcher_thread_proc: waiting' "$1" 2>/dev/null; }
listening() { grep -q "ws_init: listening on .* port $2" "$1" 2>/dev/null; }
check "Brindlewood watches" wait_for 10 waiting $logs/Brindlewood.log
check "cam1 watches" wait_for 10 waiting $logs/cam1.log
check "cam2 watches" wait_for 10 waiting $logs/cam2.log
check "the exporter listens on 9000" wait_for 10 listening $logs/BrindlewoodExporter.log 9000
check "the cam1 exporter listens on 9001" wait_for 10 listening $logs/exporter-cam1.log 9001

say "the recorder writes segments as user recorder with umask 002"
work=/home/recorder/segments
runuser -u recorder -- mkdir -p "$work"
runuser -u recorder -- ffmpeg -nostdin -hide_banner -loglevel error -y \
  -f lavfi -i "testsrc=size=320x180:rate=25:duration=24" \
  -f lavfi -i "sine=frequency=440:sample_rate=48000:duration=24" \
  -c:v libx264 -preset ultrafast -pix_fmt yuv420p -g 150 -force_key_frames 'expr:gte(t,n_forced*6)' \
  -c:a aac -b:a 64k -f segment -segment_time 6 -segment_format mpegts -reset_timestamps 0 "$work/%03d.ts" ||
  fail "ffmpeg could not make the segments"
t0=$(( $(date +%s) / 60 * 60 - 120 ))
record() {  # folder first-time: four segments, each written under its final name and closed
  local i
  for i in 0 1 2 3; do
    runuser -u recorder -- sh -c "umask 002; cat $work/00$i.ts > $1/$(( $2 + 6 * i )).ts"
  done
}
record /srv/recorder/out "$t0"
record /srv/recorder/cam1/out "$t0"
record /srv/recorder/cam2/out "$t0"
ls -l /srv/recorder/out

indexed() { [ "$(cat "$1"/*/*/*/*/index.cvs 2>/dev/null | wc -l)" -ge "$2" ]; }
check "four segments in /srv/library" wait_for 60 indexed /srv/library 4
check "four segments in /srv/library/cam1" wait_for 60 indexed /srv/library/cam1 4
check "four segments in /srv/library/cam2" wait_for 60 indexed /srv/library/cam2 4
for log in $logs/Brindlewood.log $logs/cam1.log $logs/cam2.log; do
  if grep -q 'copying segments instead\|copied into' "$log"; then
    grep 'link(' "$log"
    fail "$log: segments were copied, not linked"
  else
    pass "$(basename "$log"): every segment hard-linked (no copy line)"
  fi
  check "$(basename "$log"): four thumbnails" test "$(grep -c 'register_thumb(.*) success' "$log")" -ge 4
done
holds_empty() { [ -z "$(find /srv/recorder/hold /srv/recorder/cam1/hold /srv/recorder/cam2/hold -mindepth 1)" ]; }
check "the hold folders are empty again" wait_for 10 holds_empty
ls -l /srv/library/*/*/*/* | head -n 8

say "clips through both export daemons"
clip() {  # port library tasks
  BrindlewoodClient clip --port "$1" --token-file "$token" --lib-path "$2" \
    --from $((t0 + 3)) --to $((t0 + 20)) --title "unit check" --wait --tasks-path "$3" --timeout 120
}
out=$(clip 9000 /srv/library /srv/exports 2>&1); echo "$out"
check "clip on 9000 done" grep -q '^task [0-9]* done$' <<<"$out"
out=$(clip 9001 /srv/library/cam1 /srv/exports/cam1 2>&1); echo "$out"
check "clip on 9001 done" grep -q '^task [0-9]* done$' <<<"$out"
check "cut.mp4 has video" test -n "$(ffprobe -v error -select_streams v:0 -show_entries stream=codec_name -of csv=p=0 /srv/exports/00001/cut.mp4)"
BrindlewoodClient list --port 9000 --token-file "$token"
BrindlewoodClient status --port 9000 --token-file "$token"
check "status from the tasks folder says done" grep -q 'done' <(BrindlewoodClient status --tasks-path /srv/exports)
check "a client without the token is refused" bash -c "! BrindlewoodClient list --port 9000 2>/dev/null"

say "a segment still being written at start"
# start_writer folder name: the recorder opens the segment for writing and
# keeps it open until its holder is killed.
start_writer() {
  runuser -u recorder -- bash -c "umask 002; exec 3>$1/$2.ts; cat $work/000.ts >&3; exec sleep 300" &
  writer=$!
  wait_for 5 test -s "$1/$2.ts"
}
stop_writer() {
  local pid
  for pid in $(pgrep -u recorder -x sleep); do kill "$pid"; done
  wait "$writer" 2>/dev/null
}
open_case() {  # expect-word time: stop, write, start, look, close
  systemctl stop brindlewood
  start_writer /srv/recorder/out "$2"
  systemctl start brindlewood
  wait_for 10 grep -q "\[$2.ts\] \(is still open\|closed while\)" $logs/Brindlewood.log
  grep "\[$2.ts\] \(is still open\|closed while\)" $logs/Brindlewood.log
  grep -q "\[$2.ts\] $1" $logs/Brindlewood.log
}
t1=$((t0 + 24))
check "with CAP_LEASE: left to its close" open_case "is still open for writing" "$t1"
stop_writer
check "with CAP_LEASE: registered at its close" wait_for 30 indexed /srv/library 5

# The same without the capability, through a drop-in as an operator would.
mkdir -p /run/systemd/system/brindlewood.service.d
printf '[Service]\nAmbientCapabilities=\nCapabilityBoundingSet=\n' > /run/systemd/system/brindlewood.service.d/no-lease.conf
systemctl daemon-reload
t2=$((t0 + 30))
if open_case "closed while the daemon was down" "$t2"; then
  echo "without CAP_LEASE the segment still being written is taken for a closed one"
else
  echo "without CAP_LEASE the segment was still seen as open"
fi
stop_writer
rm -r /run/systemd/system/brindlewood.service.d
systemctl daemon-reload
systemctl restart brindlewood

say "without umask 002 the link is refused and the segment copied"
systemctl stop brindlewood@cam2
runuser -u recorder -- sh -c "umask 022; cat $work/000.ts > /srv/recorder/cam2/out/$((t0 + 60)).ts"
check "brindlewood may not link a segment it may only read" \
  bash -c "! runuser -u brindlewood -- ln /srv/recorder/cam2/out/$((t0 + 60)).ts /srv/recorder/cam2/hold/probe 2>/dev/null"
systemctl start brindlewood@cam2
check "cam2 copied it and said why" wait_for 20 grep -q 'copying segments instead' $logs/cam2.log
grep 'copying segments instead' $logs/cam2.log

say "retention: brindlewood-prune and brindlewood-prune@cam1"
# An hour of long ago in each library, as the register daemon would have made it.
old_hour() {
  install -d -o brindlewood -g brindlewood "$1/2020" "$1/2020/01" "$1/2020/01/02" "$1/2020/01/02/03"
  runuser -u brindlewood -- sh -c "head -c 100000 /dev/zero > $1/2020/01/02/03/1577934000.ts; touch $1/2020/01/02/here"
  printf '1577934000.ts\t1577934000\t540000\t0\n' | runuser -u brindlewood -- tee "$1/2020/01/02/03/index.cvs" >/dev/null
}
old_hour /srv/library
old_hour /srv/library/cam1
systemctl enable --now brindlewood-prune.timer brindlewood-prune@cam1.timer 2>&1
check "the prune timers are waiting" systemctl is-active --quiet brindlewood-prune.timer brindlewood-prune@cam1.timer
systemctl list-timers --no-pager 'brindlewood-prune*' | head -n 4
for u in brindlewood-prune brindlewood-prune@cam1; do
  systemctl start "$u"
  check "$u ran to its end" test "$(systemctl show -p Result --value "$u")" = success
  journalctl --no-pager -o cat -u "$u" | grep '^prune: ' | tail -n 1
  check "$u said what it removed" grep -q '^prune: removed 1 hour ' <(journalctl --no-pager -o cat -u "$u")
done
check "the old hour left /srv/library" test ! -e /srv/library/2020
check "the old hour left /srv/library/cam1" test ! -e /srv/library/cam1/2020
check "this hour's segments stayed" indexed /srv/library 5

say "what the journal and the units show"
for u in "${units[@]}"; do
  systemctl show -p ActiveState -p SubState -p NRestarts -p ExecMainStatus "$u" | tr '\n' ' '; echo "$u"
done
journalctl -b --no-pager -p warning -u 'brindlewood*' | tail -n 20
for u in "${units[@]}"; do
  systemctl is-active --quiet "$u" || fail "$u is not active at the end"
done
echo "$failures failed"
[ $failures -eq 0 ]

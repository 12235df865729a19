#!/usr/bin/env bash
# The register daemon's steps as a plain shell loop, for comparison: for each
# segment named on the command line, hard-link it from the watch folder into
# the holding folder, probe it, copy it into the library's hour folder,
# thumbnail it, append its index line, mark its day and drop the link.
#
# usage: shell_loop.sh WATCH HOLD LIB FFPROBE FFMPEG NAME...
set -u
watch=$1 hold=$2 lib=$3 ffprobe=$4 ffmpeg=$5
shift 5
export TZ=UTC
for name in "$@"; do
  link=$hold/$name
  ln "$watch/$name" "$link" || continue
  t=${name%%.*}
  printf -v hour '%(%Y/%m/%d/%H)T' "$t"
  printf -v day '%(%Y/%m/%d)T' "$t"
  duration_ts=0 start_pts=0
  while IFS= read -r line; do
    case $line in
      duration_ts=*) duration_ts=${line#duration_ts=} ;;
      start_pts=*) start_pts=${line#start_pts=} ;;
    esac
  done < <("$ffprobe" -i "$link" -select_streams v:0 -show_streams -of ini </dev/null 2>/dev/null)
  if [ "$duration_ts" != 0 ]; then
    mkdir -p "$lib/$hour"
    copy=$lib/$hour/$name
    if cp "$link" "$copy" &&
      "$ffmpeg" -i "$copy" -vframes 1 -vf scale=96:54 -y "${copy%.ts}.jpg" </dev/null >/dev/null 2>&1; then
      printf '%s\t%s\t%s\t%s\n' "$name" "$t" "$duration_ts" "$start_pts" >>"$lib/$hour/index.cvs"
      : >>"$lib/$day/here"
    fi
  fi
  rm -f "$link"
done

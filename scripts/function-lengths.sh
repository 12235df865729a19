#!/usr/bin/env bash
# Prints, for each C++ file given, its line count and its longest function:
#
#   src/register/pipeline.cpp: 142 lines; longest function register_segment, 29 lines (111-139)
#
# What it measures, and what it does not: it follows brace depth after
# removing comments, string and character literals (raw strings of the plain
# R"(...)" form too) and preprocessor lines (macro bodies are not counted). A
# brace opened outside any function, after a header that holds ")" and no
# "=", starts a function; namespace, class, struct, union and enum braces
# hold functions; everything else (initialisers, tables) does not. A
# function runs from the first line of its header to its closing brace, so a
# lambda counts as part of the function that holds it. The name is the word
# before the header's first "(" (Class::name for a definition outside its
# class). Good enough to compare files and spot long functions; not a parser.
#
# Usage: scripts/function-lengths.sh FILE...
set -euo pipefail
[ $# -gt 0 ] || { echo "usage: $0 FILE..." >&2; exit 2; }

for file in "$@"; do
  awk -v file="$file" '
    function strip(s,    out, i, c, n) {
      out = ""; n = length(s); i = 1
      while (i <= n) {
        if (in_comment) {
          if (substr(s, i, 2) == "*/") { in_comment = 0; i += 2 } else i++
          continue
        }
        if (in_raw) {
          if (substr(s, i, 2) == ")\"") { in_raw = 0; i += 2 } else i++
          continue
        }
        c = substr(s, i, 1)
        if (substr(s, i, 2) == "//") break
        if (substr(s, i, 2) == "/*") { in_comment = 1; i += 2; continue }
        if (substr(s, i, 3) == "R\"(") { in_raw = 1; i += 3; out = out "\"\""; continue }
        if (c == "\"" || c == "\047") {
          q = c; i++
          while (i <= n && substr(s, i, 1) != q) { if (substr(s, i, 1) == "\\") i++; i++ }
          i++; out = out q q; continue
        }
        out = out c; i++
      }
      return out
    }
    function name_of(h,    p, pre, m) {
      p = index(h, "(")
      if (p == 0) return "?"
      pre = substr(h, 1, p - 1)
      sub(/[ \t]+$/, "", pre)
      if (match(pre, /[A-Za-z_~][A-Za-z0-9_:~<>]*(operator[^ \t]*)?$/)) return substr(pre, RSTART)
      return "?"
    }
    BEGIN { depth = 0; fdepth = -1; header = ""; hstart = 0; best = 0; in_pp = 0 }
    {
      raw = $0
      if (in_pp) { in_pp = (raw ~ /\\$/); next }
      if (!in_comment && !in_raw && raw ~ /^[ \t]*#/) { in_pp = (raw ~ /\\$/); next }
      s = strip(raw)
      for (i = 1; i <= length(s); i++) {
        c = substr(s, i, 1)
        if (c == "{") {
          kind[depth] = "block"
          if (fdepth < 0) {
            if (header ~ /(^|[^A-Za-z0-9_])(namespace|class|struct|union|enum)([^A-Za-z0-9_]|$)/ && header !~ /\)[^(]*$/) {
              kind[depth] = "container"
            } else if (header ~ /\)/ && header !~ /=/) {
              fdepth = depth; fname = name_of(header); fstart = hstart
            }
          }
          depth++; header = ""; hstart = 0
        } else if (c == "}") {
          depth--
          if (depth == fdepth) {
            len = NR - fstart + 1
            if (len > best) { best = len; bname = fname; bfrom = fstart; bto = NR }
            fdepth = -1
          }
          header = ""; hstart = 0
        } else if (c == ";") {
          header = ""; hstart = 0
        } else {
          if (hstart == 0 && c !~ /[ \t]/) hstart = NR
          header = header c
        }
      }
      if (hstart != 0) header = header " "
    }
    END {
      if (best > 0) printf "%s: %d lines; longest function %s, %d lines (%d-%d)\n", file, NR, bname, best, bfrom, bto
      else printf "%s: %d lines; no function\n", file, NR
    }
  ' "$file"
done

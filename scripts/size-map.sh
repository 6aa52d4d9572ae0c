#!/usr/bin/env bash
# Reads a GNU ld map file and prints the largest contributors to an executable's loaded bytes:
#   scripts/size-map.sh MAP [COUNT] [--objects]
# One line per input archive (or per object file outside an archive), largest first, COUNT lines
# (default 10). --objects splits archives into their members. Counted are the input sections
# that end up in the file: allocated output sections, without the zero-filled ones (.bss, .sbss,
# .tbss), which cost memory but no bytes on storage. Sections dropped by --gc-sections are not
# in the memory map and so not counted. The objects of a link-time optimised link are the
# linker's own partitions of the project's code: they count as one. The global offset table and
# the relocation table that the linker makes itself count as one too.
set -euo pipefail

map="${1:?usage: scripts/size-map.sh MAP [COUNT] [--objects]}"
count="${2:-10}"
by=archive
if [ "${3:-}" = --objects ] || [ "${2:-}" = --objects ]; then
  by=object
  [ "${2:-}" = --objects ] && count=10
fi

awk -v count="$count" -v by="$by" '
function keep(sec) {
  # Output sections whose bytes are on storage and loaded: not debug, notes of the tool chain,
  # or zero-filled data.
  if (sec ~ /^\.(debug|comment|gnu\.attributes|mdebug|pdr|stab|line|zdebug)/) return 0
  if (sec ~ /^\.(bss|sbss|tbss)$/) return 0
  return 1
}
function who(file) {
  if (file ~ /\.ltrans[0-9]*\.ltrans\.o$/) return "project code (link-time optimised)"
  if (out == ".got" || out == ".rel.dyn") return "linker tables (.got, .rel.dyn)"
  if (by == "object") { sub(/.*\//, "", file); return file }
  if (match(file, /\.a\(/)) file = substr(file, 1, RSTART + 1)
  sub(/.*\//, "", file)
  return file
}
function add(size, file) {
  if (file == "" || !keep(out)) return
  total[who(file)] += strtonum_(size)
}
function strtonum_(h,   i, c, v) {
  v = 0; h = tolower(h); sub(/^0x/, "", h)
  for (i = 1; i <= length(h); i++) { c = index("0123456789abcdef", substr(h, i, 1)) - 1; v = v * 16 + c }
  return v
}
/^Linker script and memory map/ { inmap = 1; next }
!inmap { next }
# An output section: its name in the first column.
/^\.[^ ]/ { out = $1; pending = 0; next }
/^[^ ]/ { out = ""; pending = 0; next }
# An input section with address, size and file on one line.
/^ [.A-Za-z_*][^ ]* +0x[0-9a-f]+ +0x[0-9a-f]+ +[^ ]/ {
  if ($1 !~ /^\*/) add($3, $4)
  pending = 0; next
}
# An input section whose name is too long: address, size and file follow on the next line.
/^ [.A-Za-z_][^ ]*$/ { pending = 1; next }
pending && /^ +0x[0-9a-f]+ +0x[0-9a-f]+ +[^ ]/ { add($2, $3); pending = 0; next }
{ pending = 0 }
END {
  for (k in total) if (total[k] > 0) printf "%d\t%s\n", total[k], k
}' "$map" | sort -rn | head -n "$count" | awk -F'\t' '{ printf "%10d  %s\n", $1, $2 }'

#!/usr/bin/env bash
# Whole-program comparison on a real tree: zipbackup-cli against Info-ZIP
# zip/unzip on a copy of /usr/include (about 10,000 files), warm cache.
#
#   bench/archive_bench.sh [path/to/zipbackup-cli] [repetitions]
#
# ZB_BENCH_TREE names another tree to copy instead (the backup-run bench
# uses /usr/share/doc); links inside it are copied as links and followed by
# both tools when they archive.
#
# Reports the best wall time of each tool, the ratio ours/theirs, the archive
# sizes and the peak resident memory of our runs. Targets: zip <= 0.7x with
# an archive no larger, test <= 0.6x, extract <= 1.0x, memory < 64 MB.
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
cli=${1:-$here/../build/bin/zipbackup-cli}
reps=${2:-3}
cli=$(cd "$(dirname "$cli")" && pwd)/$(basename "$cli")
[ -x "$cli" ] || { echo "no zipbackup-cli at $cli" >&2; exit 2; }
for tool in zip unzip; do
  command -v $tool >/dev/null || { echo "$tool is not installed" >&2; exit 2; }
done

work=$(mktemp -d /tmp/zb_archive_bench.XXXXXX)
trap 'rm -rf "$work"' EXIT
tree=${ZB_BENCH_TREE:-/usr/include}
[ -d "$tree" ] || { echo "no folder $tree" >&2; exit 2; }
cp -r "$tree" "$work/include"
cd "$work"
echo "corpus: $tree, $(find include -type f | wc -l) files, $(du -sb include | cut -f1) bytes"
echo "cli:    $cli"

have_time=0
[ -x /usr/bin/time ] && have_time=1

# run LABEL CMD...: runs CMD $reps times (after one warm-up run), sets
# best (seconds) and rss (peak KB of the last run).
run() {
  local label=$1
  shift
  best=
  rss=0
  local i t0 t1 t
  prepare_$label
  "$@" >/dev/null 2>&1 || true
  for ((i = 0; i < reps; i++)); do
    prepare_$label
    t0=$(date +%s.%N)
    if ((have_time)); then
      /usr/bin/time -v -o "$work/time.txt" "$@" >/dev/null 2>&1 || true
    else
      "$@" >/dev/null 2>&1 || true
    fi
    t1=$(date +%s.%N)
    t=$(awk -v a="$t0" -v b="$t1" 'BEGIN { printf "%.3f", b - a }')
    if [ -z "$best" ] || awk -v t="$t" -v b="$best" 'BEGIN { exit !(t < b) }'; then best=$t; fi
  done
  if ((have_time)); then
    rss=$(awk -F: '/Maximum resident set size/ {gsub(/ /, "", $2); print $2}' "$work/time.txt")
  fi
}

prepare_zip_ours() { rm -f ours.zip; }
prepare_zip_theirs() { rm -f theirs.zip; }
prepare_test_ours() { :; }
prepare_test_theirs() { :; }
prepare_extract_ours() { rm -rf out_ours; mkdir out_ours; }
prepare_extract_theirs() { rm -rf out_theirs; mkdir out_theirs; }

report() {
  printf '%-8s ours %7.3f s  theirs %7.3f s  ratio %.2f  (target <= %s)  peak RSS ours %s KB\n' \
    "$1" "$2" "$3" "$(awk -v a="$2" -v b="$3" 'BEGIN { print a / b }')" "$4" "$5"
}

run zip_ours "$cli" zip ours.zip --recurse --store-paths --level 6 include
zo=$best zr=$rss
run zip_theirs zip -r -q -6 theirs.zip include
zt=$best
report zip "$zo" "$zt" 0.7 "$zr"
echo "         archive ours $(stat -c %s ours.zip) bytes, theirs $(stat -c %s theirs.zip) bytes"

if "$cli" --help 2>/dev/null | grep -q '^  test '; then
  run test_ours "$cli" test ours.zip
  to=$best tr=$rss
  run test_theirs unzip -t -q ours.zip
  report test "$to" "$best" 0.6 "$tr"
else
  echo "test     (zipbackup-cli has no test verb yet)"
fi

if "$cli" --help 2>/dev/null | grep -q '^  extract '; then
  run extract_ours "$cli" extract ours.zip out_ours --overwrite always
  eo=$best er=$rss
  run extract_theirs unzip -q -o ours.zip -d out_theirs
  report extract "$eo" "$best" 1.0 "$er"
  if diff -r out_ours out_theirs >/dev/null; then
    echo "         extracted trees identical"
  else
    echo "         extracted trees DIFFER"
  fi
else
  echo "extract  (zipbackup-cli has no extract verb yet)"
fi

#!/usr/bin/env bash
# Makes the benchmark corpora in $1 (default /tmp/zb-corpus) from files any
# Debian machine has: text.tar (a tar of /usr/include), binary.tar (at least
# 50 MB of shared libraries from /usr/lib) and random.bin (32 MiB of random
# bytes). Existing files are kept, so repeated runs measure the same data.
set -euo pipefail
dir=${1:-/tmp/zb-corpus}
mkdir -p "$dir"
if [ ! -s "$dir/text.tar" ]; then
  tar -cf "$dir/text.tar" -C / usr/include 2>/dev/null || true
fi
if [ ! -s "$dir/binary.tar" ]; then
  find /usr/lib -name '*.so*' -type f -size +100k 2>/dev/null | LC_ALL=C sort | head -c 1000000 > "$dir/.libs"
  list=$(mktemp); total=0
  while read -r f; do
    s=$(stat -c %s "$f"); total=$((total + s)); echo "${f#/}" >> "$list"
    [ $total -gt 60000000 ] && break
  done < "$dir/.libs"
  tar -cf "$dir/binary.tar" -C / -T "$list" 2>/dev/null || true
  rm -f "$list" "$dir/.libs"
fi
if [ ! -s "$dir/random.bin" ]; then
  head -c 33554432 /dev/urandom > "$dir/random.bin"
fi
ls -l "$dir"

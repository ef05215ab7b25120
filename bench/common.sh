# Shared by the benchmark scripts: the deterministic inputs (built once in
# $work) and the timing helpers. Sourced with $root, $work, $runs and $kov set.

# The peers, the key stream of the inputs and the timer.
"$root/scripts/install-deps" zstd 7zip zip unzip openssl time

mkdir -p "$work"
cd "$work"

# Deterministic inputs, built once: files every Debian machine of this kind
# has, plus incompressible data from a fixed AES-CTR key stream.
if [ ! -e .inputs-ready ]; then
  rm -rf small binaries large bench.kovkey
  mkdir -p small binaries large
  # Links are followed: absolute link targets are refused by design.
  cp -rL /usr/include small/include 2>/dev/null || true
  cp -rL /usr/share/man small/man 2>/dev/null || true
  # kov refuses names that differ only in letter case (they would land on one
  # file on many systems); keep the first of each such group for both tools.
  find small | sort | awk '{k = tolower($0); if (k in seen) print; else seen[k] = 1}' | xargs -r rm -rf
  find /usr/lib/x86_64-linux-gnu -maxdepth 1 -type f -print0 | sort -z | xargs -0 cp -t binaries
  # head closes the pipe early on purpose.
  stream() { (openssl enc -aes-128-ctr -nosalt -K "$1" -iv 0 </dev/zero 2>/dev/null || true) | head -c "$2"; }
  for i in 1 2; do
    (find /usr/lib/x86_64-linux-gnu -maxdepth 1 -type f -print0 | sort -z | xargs -0 cat 2>/dev/null || true) |
      head -c 268435456 >"large/binaries-$i.bin"
    stream "0${i}00000000000000000000000000000$i" 268435456 >"large/random-$i.bin"
  done
  "$kov" keygen bench.kovkey >/dev/null
  touch .inputs-ready
fi

# seconds and peak kilobytes of one run: "WALL MAXRSS"
measure() {
  /usr/bin/time -f '%e %M' -o .time "$@" >/dev/null 2>&1
  cat .time
}

median() { sort -g | awk '{v[NR]=$1} END {print (NR % 2) ? v[(NR+1)/2] : (v[NR/2] + v[NR/2+1]) / 2}'; }

# compare NAME 'A COMMAND' 'B COMMAND' ['SETUP COMMAND']: runs A and B in turn
# (A B A B ...) after one warm-up each, SETUP before every run, and prints the
# median ratio of B's time to A's (above 1: A is faster) and A's peak memory.
compare() {
  local name=$1 a=$2 b=$3 setup=${4:-true} ratios=() a_times=() b_times=() peak=0
  sh -c "$setup"; measure sh -c "$a" >/dev/null
  sh -c "$setup"; measure sh -c "$b" >/dev/null
  for _ in $(seq "$runs"); do
    sh -c "$setup"; read -r ta ma < <(measure sh -c "$a")
    sh -c "$setup"; read -r tb _ < <(measure sh -c "$b")
    ratios+=("$(awk -v a="$ta" -v b="$tb" 'BEGIN {printf "%.3f", (a > 0 ? b / a : 0)}')")
    a_times+=("$ta")
    b_times+=("$tb")
    if [ "$ma" -gt "$peak" ]; then peak=$ma; fi
  done
  printf '%-40s ratio %s (min %s, max %s)  kov %ss  other %ss  kov peak %s MiB\n' "$name" \
    "$(printf '%s\n' "${ratios[@]}" | median)" "$(printf '%s\n' "${ratios[@]}" | sort -g | head -n1)" \
    "$(printf '%s\n' "${ratios[@]}" | sort -g | tail -n1)" "$(printf '%s\n' "${a_times[@]}" | median)" \
    "$(printf '%s\n' "${b_times[@]}" | median)" "$((peak / 1024))"
}

# The archives of the read and extract benchmarks, made once in read/: each
# tree as .kov, .tar.zst (zstd -3), .7z (-mx=1) and .zip (-1).
make_archives() {
  mkdir -p read
  [ -e read/.ready ] && return
  rm -rf read/*
  for tree in small large; do
    "$kov" create --no-progress -o "read/$tree.kov" "$tree" >/dev/null
    tar -cf - "$tree" | zstd -q -3 -T1 >"read/$tree.tar.zst"
    7zz a -bd -mx=1 "read/$tree.7z" "$tree" >/dev/null
    zip -q -r -1 "read/$tree.zip" "$tree"
  done
  mkdir -p tiny && head -c 1000000 large/binaries-1.bin >tiny/one.bin
  "$kov" create --no-progress -o read/tiny.kov tiny >/dev/null
  touch read/.ready
}

# read/huge.kov holds one 4 GiB file, read/many.kov 1,000,000 empty files.
make_huge_archives() {
  if [ ! -e read/huge.kov ]; then
    mkdir -p huge
    for _ in 1 2 3 4; do cat large/*.bin; done >huge/four.bin
    "$kov" create --no-progress -o read/huge.kov huge >/dev/null
    rm -rf huge
  fi
  [ -e read/many.kov ] || "$root/build/kov_core/bench/kov_many_entries_archive" read/many.kov 1000000
}

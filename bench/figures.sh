#!/usr/bin/env bash
# Whole-process timings of the batch figure and the table mode, with hyperfine (medians
# of warm runs; the files are read once before, so all come from the page cache):
#
#   1. -load F -echohighpeak -exit against -load F -exit on a 1024 × 1024 × 64 raw volume;
#   2. --figures --jobs 2 over 200 volumes the size of chromo3d (160 × 140 × 16), raw and
#      ICS, against the same files as one chain of options in one process and against one
#      process per file;
#   3. --figures --jobs 2 over 2 GiB of volumes (32 raw files of 64 MiB) against cat of
#      the same files to /dev/null.
#
#   bench/figures.sh [BUILD-FOLDER] [RUNS]     (default build-bench, 20 runs)
#
# Writes its files into a new folder under $TMPDIR (3 GiB free needed) and removes it at
# the end; prints hyperfine's results and the median of each command (also kept in the
# folder given by
# $FIGURES_BENCH_OUT, if set, as hyperfine's JSON).
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build-bench}
runs=${2:-20}
exe=$PWD/$build/bin/volinspect
[ -x "$exe" ] || { echo "figures.sh: build $exe first" >&2; exit 2; }
command -v hyperfine >/dev/null || { echo "figures.sh: hyperfine is needed (scripts/setup)" >&2; exit 2; }
real=$PWD/../shared/testdata/real
work=$(mktemp -d "${TMPDIR:-/tmp}/volinspect-figures-XXXXXX")
trap 'rm -rf "$work"' EXIT INT TERM HUP
out=${FIGURES_BENCH_OUT:-$work}
cd "$work"

# A raw volume file of X × Y × Z random voxels.
le32() { printf "\\x$(printf %02x $(($1 & 255)))\\x$(printf %02x $((($1 >> 8) & 255)))\\x$(printf %02x $((($1 >> 16) & 255)))\\x$(printf %02x $((($1 >> 24) & 255)))"; }
raw() { { le32 "$1"; le32 "$2"; le32 "$3"; head -c $(($1 * $2 * $3)) /dev/urandom; } > "$4"; }

# hyperfine with warm-up runs; prints the median of each command after its own output.
hf() {
  local json=$1; shift
  hyperfine --warmup 3 --runs "$runs" --style basic --export-json "$out/$json.json" "$@" | grep -v '^ *Range'
  grep -o '"command": "[^"]*"\|"median": [0-9.e-]*' "$out/$json.json" | paste - - |
    sed 's/"command": "\([^"]*\)"\t"median": \(.*\)/  median \2 s  \1/'
}

echo "== 1. the batch figure of one 1024 x 1024 x 64 volume"
raw 1024 1024 64 big.raw
hf figure-vs-load -n load "$exe -load big.raw -exit" \
  -n "load and figure" "$exe -load big.raw -echohighpeak -exit > /dev/null"

echo "== 2. 200 volumes of 160 x 140 x 16, raw and ICS"
mkdir raw ics
for i in $(seq -w 1 200); do raw 160 140 16 "raw/v$i.raw"; done
if [ -f "$real/chromo3d.ics" ]; then
  for i in $(seq -w 1 200); do cp "$real/chromo3d.ics" "ics/v$i.ics"; cp "$real/chromo3d.ids" "ics/v$i.ids"; done
fi
for kind in raw ics; do
  ls $kind/* >/dev/null 2>&1 || continue
  files=$(ls $kind/*.$kind)
  chain=""
  for f in $files; do chain+=" -echo $f -echo : -load $f -echohighpeak -echonewline"; done
  echo "$files" | sed 's/^/-load /; s/$/ -echohighpeak -echonewline -exit/' > $kind-each.txt
  hf "table-$kind" -n "table mode, 2 jobs ($kind)" "$exe --figures --jobs 2 $(echo $files) > /dev/null" \
    -n "one chain of options ($kind)" "$exe$chain -exit > /dev/null" \
    -n "one process per file ($kind)" "xargs -L 1 $exe < $kind-each.txt > /dev/null"
done

echo "== 3. 2 GiB of volumes: --figures against cat"
mkdir many
for i in $(seq -w 1 32); do raw 1024 1024 64 "many/v$i.raw"; done
cat many/* > /dev/null
hf throughput -n cat "cat many/* > /dev/null" \
  -n "table mode, 2 jobs" "$exe --figures --jobs 2 many/*.raw > /dev/null"
echo "2 GiB = 2048 MiB: MB/s = 2147.48 / seconds"

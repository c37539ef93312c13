#!/usr/bin/env bash
# MP3 import and export beside the reference tools, in the same run:
#   LoadMp3 of a 1-hour 128 kbit/s stereo MP3   vs  mpg123 -w out.wav in.mp3
#   SaveMp3 of a 1-hour stereo sound             vs  lame -V4 -b128 -B192 --nores -m j --noreplaygain
# The inputs are made under /var/tmp and removed afterwards.
#
# usage: bench/mp3_compare.sh BUILD_DIR [SECONDS] [RUNS]
set -euo pipefail

build=${1:?usage: $0 BUILD_DIR [SECONDS] [RUNS]}
seconds=${2:-3600}
runs=${3:-3}
bench="$build/bench/mp3_bench"
[[ -x $bench ]] || { echo "build mp3_bench first ($bench)" >&2; exit 1; }
for tool in hyperfine mpg123 lame sox; do
  command -v "$tool" >/dev/null || { echo "missing $tool" >&2; exit 1; }
done

work=$(mktemp -d /var/tmp/brindle-mp3-bench.XXXXXX)
trap 'rm -rf "$work"' EXIT
export TMPDIR="$work"   # the program's own temporary files land here too, and go with it

echo "making ${seconds} s of stereo 44.1 kHz input in $work"
sox -D -n -r 44100 -c 2 -b 16 "$work/in.wav" synth "$seconds" sine 100-8000 pinknoise vol 0.5
lame --quiet --cbr -b 128 "$work/in.wav" "$work/in.mp3"
ls -l "$work/in.wav" "$work/in.mp3"

hyperfine --runs "$runs" --export-markdown "$work/load.md" \
  -n "mpg123 -w" "mpg123 -q -w $work/ref.wav $work/in.mp3" \
  -n "LoadMp3" "$bench load $work/in.mp3"
cat "$work/load.md"

hyperfine --runs "$runs" --export-markdown "$work/save.md" \
  -n "lame (same bytes)" "lame --quiet -V4 -b128 -B192 --nores -m j --noreplaygain $work/in.wav $work/ref.mp3" \
  -n "LoadWav+SaveMp3" "$bench save $work/in.wav $work/out.mp3"
cat "$work/save.md"

# The save alone (the sound already in the editor), as the program itself times it.
for _ in 1 2; do "$bench" save "$work/in.wav" "$work/out.mp3"; done

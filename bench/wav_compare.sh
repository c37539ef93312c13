#!/usr/bin/env bash
# WAV loading and saving beside sox, in the same run:
#   LoadWav of a 1-hour 16-bit stereo 44.1 kHz WAV   vs  sox in.wav -t f32 out.raw
#   SaveWav of that sound as 16-bit WAV              vs  sox -r 44100 -c 2 -t f32 in.raw -b 16 out.wav
# and a plain read of the file (cat to /dev/null) as the floor. LoadWav and SaveWav pause 20 ms after
# every 110 ms of work, as the editor's worker does; that pause is part of their figures.
# The inputs are made under /var/tmp and removed afterwards.
#
# usage: bench/wav_compare.sh BUILD_DIR [SECONDS] [RUNS]
set -euo pipefail

build=${1:?usage: $0 BUILD_DIR [SECONDS] [RUNS]}
seconds=${2:-3600}
runs=${3:-3}
bench="$build/bench/wav_bench"
[[ -x $bench ]] || { echo "build wav_bench first ($bench)" >&2; exit 1; }
for tool in hyperfine sox; do
  command -v "$tool" >/dev/null || { echo "missing $tool" >&2; exit 1; }
done

work=$(mktemp -d /var/tmp/brindle-wav-bench.XXXXXX)
trap 'rm -rf "$work"' EXIT
export TMPDIR="$work"   # the program's float stores land here too, and go with it

echo "making ${seconds} s of 16-bit stereo 44.1 kHz input in $work"
sox -D -n -r 44100 -c 2 -b 16 "$work/in.wav" synth "$seconds" sine 100-8000 pinknoise vol 0.5
sox "$work/in.wav" -t f32 "$work/in.raw"
ls -l "$work/in.wav" "$work/in.raw"

hyperfine --warmup 1 --runs "$runs" --export-markdown "$work/load.md" \
  -n "cat in.wav" "cat $work/in.wav > /dev/null" \
  -n "sox in.wav -t f32" "sox $work/in.wav -t f32 $work/out.raw" \
  -n "LoadWav" "$bench load $work/in.wav"
rm -f "$work/out.raw"
cat "$work/load.md"

hyperfine --warmup 1 --runs "$runs" --export-markdown "$work/save.md" \
  -n "sox -t f32 -b 16" "sox -r 44100 -c 2 -t f32 $work/in.raw -b 16 $work/out.wav" \
  -n "LoadWav+SaveWav" "$bench loadsave $work/in.wav $work/out.wav"
cat "$work/save.md"

# Each step alone, as the program itself times it (SaveWav from a sound already loaded).
for _ in 1 2; do "$bench" loadsave "$work/in.wav" "$work/out.wav"; done
cmp <(tail -c +45 "$work/in.wav") <(tail -c +45 "$work/out.wav") && echo "saved sample data identical to the input"

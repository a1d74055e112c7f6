#!/usr/bin/env bash
# Builds the libFuzzer harnesses with clang (AddressSanitizer and UBSan on) and runs each
# for the given time, starting from the seed corpus in fuzz/corpus/. New inputs go to a
# scratch folder, crashes to fuzz/crashes/; any crash fails the script.
#
#   scripts/fuzz.sh [SECONDS_PER_HARNESS] [HARNESS...]   (default: 10 s, every harness)
#
# Harnesses: ParseFuzzer, FrameReaderFuzzer, MessageFuzzer.
set -euo pipefail

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$ROOT"

SECONDS_EACH=${1:-10}
shift || true
HARNESSES=("$@")
[ ${#HARNESSES[@]} -gt 0 ] || HARNESSES=(ParseFuzzer FrameReaderFuzzer MessageFuzzer)
[[ $SECONDS_EACH =~ ^[1-9][0-9]*$ ]] || { echo "usage: $0 [SECONDS_PER_HARNESS] [HARNESS...]" >&2; exit 2; }

readonly BUILD_DIR=build-fuzz
readonly SCRATCH=${VQSTOMP_FUZZ_DIR:-/tmp/vqstomp-fuzz}

corpus_of() { # harness -> its seed folder
  case $1 in
    ParseFuzzer) echo fuzz/corpus/parse ;;
    FrameReaderFuzzer) echo fuzz/corpus/frame_reader ;;
    MessageFuzzer) echo fuzz/corpus/message ;;
    *) echo "fuzz.sh: unknown harness $1" >&2; exit 2 ;;
  esac
}

scripts/setup.sh
cmake -S . -B "$BUILD_DIR" -G Ninja -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVQSTOMP_FUZZ=ON \
  -DVQSTOMP_BUILD_TESTS=OFF -DVQSTOMP_BUILD_BENCHMARKS=OFF -DVQSTOMP_BUILD_SAMPLES=OFF > /dev/null
cmake --build "$BUILD_DIR" --target "${HARNESSES[@]}"

mkdir -p fuzz/crashes
for harness in "${HARNESSES[@]}"; do
  work="$SCRATCH/$harness"
  mkdir -p "$work"
  echo "=== $harness for ${SECONDS_EACH} s"
  "$BUILD_DIR/fuzz/$harness" -max_total_time="$SECONDS_EACH" -timeout=10 -rss_limit_mb=2048 -print_final_stats=1 \
    -artifact_prefix="fuzz/crashes/$harness-" "$work" "$(corpus_of "$harness")" 2>&1 |
    grep -E '^(#[0-9]+.*DONE|stat::number_of_executed_units|==[0-9]+==ERROR|SUMMARY|Done )' || true
  # libFuzzer's exit status is lost in the pipe: a crash leaves an artifact behind.
  if compgen -G "fuzz/crashes/$harness-*" > /dev/null; then
    echo "fuzz.sh: $harness crashed; inputs in fuzz/crashes/" >&2
    exit 1
  fi
done

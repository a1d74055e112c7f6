#!/usr/bin/env bash
# Builds the library and runs the whole test suite against a real broker on loopback.
#   scripts/test.sh            plain build in build/
#   scripts/test.sh --asan     AddressSanitizer + UndefinedBehaviorSanitizer, in build-asan/
#   scripts/test.sh --tsan     ThreadSanitizer, in build-tsan/
set -euo pipefail

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$ROOT"

BUILD_DIR=build
CMAKE_FLAGS=()
case "${1:-}" in
  "") ;;
  --asan) BUILD_DIR=build-asan; CMAKE_FLAGS+=(-DVQSTOMP_SANITIZE=ON) ;;
  --tsan) BUILD_DIR=build-tsan; CMAKE_FLAGS+=(-DVQSTOMP_TSAN=ON) ;;
  *) echo "usage: $0 [--asan|--tsan]" >&2; exit 2 ;;
esac

scripts/setup.sh
cmake -S . -B "$BUILD_DIR" -G Ninja "${CMAKE_FLAGS[@]}"
cmake --build "$BUILD_DIR"

if [ -x scripts/broker.sh ]; then
  scripts/broker.sh start activemq
  trap 'scripts/broker.sh stop activemq' EXIT
  export VQSTOMP_BROKER=127.0.0.1:61613
  export VQSTOMP_REQUIRE_BROKER=1
fi

ctest --test-dir "$BUILD_DIR" --output-on-failure --no-tests=error

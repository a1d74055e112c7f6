#!/usr/bin/env bash
# Builds the library and runs the test suite against real brokers on loopback, in
# three rounds:
#   1. the whole suite against ActiveMQ;
#   2. the tests of the messaging API, the sample programs and the examples again, against RabbitMQ;
#   3. the sample programs with no broker listening at all;
#   4. (plain build only) each libFuzzer harness for 10 s, so that a crash fails the run.
# Any failing test fails the script; the brokers are stopped however it ends.
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

readonly END_TO_END='^SamplesEndToEndTest\.'
readonly ON_RABBITMQ='^(SamplesEndToEndTest|VQJMSConnectionBroker|ExamplesEndToEnd)\.'

round() { echo; echo "=== $*"; }

run_tests() { # ctest arguments...
  ctest --test-dir "$BUILD_DIR" --output-on-failure --no-tests=error "$@"
}

stop_brokers() {
  scripts/broker.sh stop activemq
  scripts/broker.sh stop rabbitmq
}

scripts/setup.sh
cmake -S . -B "$BUILD_DIR" -G Ninja "${CMAKE_FLAGS[@]}"
cmake --build "$BUILD_DIR"

trap stop_brokers EXIT
export VQSTOMP_BROKER=127.0.0.1:61613 VQSTOMP_REQUIRE_BROKER=1

round "Whole suite against ActiveMQ"
scripts/broker.sh start activemq
run_tests

round "Messaging API, sample programs and examples against RabbitMQ"
scripts/broker.sh start rabbitmq
run_tests -R "$ON_RABBITMQ"

round "Sample programs with no broker"
stop_brokers
unset VQSTOMP_BROKER VQSTOMP_REQUIRE_BROKER
VQSTOMP_NO_BROKER=1 run_tests -R "${END_TO_END}WithoutBroker"

if [ "$BUILD_DIR" = build ]; then
  round "Fuzzing, 10 s a harness"
  scripts/fuzz.sh 10
fi

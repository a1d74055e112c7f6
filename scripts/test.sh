#!/usr/bin/env bash
# Builds the library and runs the test suite against real brokers on loopback, in
# three rounds:
#   1. the whole suite against ActiveMQ;
#   2. the tests of the messaging API, the sample programs, the examples and TLS again, against RabbitMQ;
#   3. the sample programs with no broker listening at all;
#   4. (plain build only) each libFuzzer harness for 10 s, so that a crash fails the run;
#   5. (plain build only) failover against a three-node RabbitMQ cluster and an ActiveMQ
#      master/slave pair, nodes killed as messages move (VQSTOMP_SKIP_CLUSTERS=1 skips it).
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
readonly ON_RABBITMQ='^(SamplesEndToEndTest|VQJMSConnectionBroker|ExamplesEndToEnd|TLSBroker)\.'

round() { echo; echo "=== $*"; }

run_tests() { # ctest arguments...
  ctest --test-dir "$BUILD_DIR" --output-on-failure --no-tests=error "$@"
}

stop_brokers() {
  scripts/broker.sh stop activemq
  scripts/broker.sh stop rabbitmq
}

stop_everything() {
  stop_brokers
  scripts/cluster.sh stop activemq
  scripts/cluster.sh stop rabbitmq
}

# The failover tests against one cluster; their figures go to build/cluster-figures.txt.
run_cluster() { # rabbitmq|activemq
  scripts/cluster.sh start "$1"
  local brokers
  brokers=$(scripts/cluster.sh ports "$1" | sed 's/^/127.0.0.1:/' | paste -sd, -)
  VQSTOMP_CLUSTER="$1" VQSTOMP_CLUSTER_SCRIPT="$ROOT/scripts/cluster.sh" VQSTOMP_CLUSTER_BROKERS="$brokers" \
    VQSTOMP_REQUIRE_CLUSTER=1 VQSTOMP_CLUSTER_REPORT="$ROOT/$BUILD_DIR/cluster-figures.txt" \
    run_tests -R '^FailoverCluster\.'
  scripts/cluster.sh stop "$1"
}

scripts/setup.sh
cmake -S . -B "$BUILD_DIR" -G Ninja "${CMAKE_FLAGS[@]}"
cmake --build "$BUILD_DIR"

trap stop_everything EXIT
# The brokers' TLS ports (scripts/broker.sh) and the certificates they trust.
export VQSTOMP_BROKER=127.0.0.1:61613 VQSTOMP_REQUIRE_BROKER=1
export VQSTOMP_TLS_DIR=${VQSTOMP_BROKER_DIR:-/tmp/vqstomp-broker}/tls

round "Whole suite against ActiveMQ"
scripts/broker.sh start activemq
VQSTOMP_BROKER_TLS=127.0.0.1:61614 VQSTOMP_BROKER_MUTUAL_TLS=127.0.0.1:61615 run_tests

round "Messaging API, sample programs, examples and TLS against RabbitMQ"
scripts/broker.sh start rabbitmq
VQSTOMP_BROKER_MUTUAL_TLS=127.0.0.1:61614 run_tests -R "$ON_RABBITMQ"

round "Sample programs with no broker"
stop_brokers
unset VQSTOMP_BROKER VQSTOMP_REQUIRE_BROKER VQSTOMP_TLS_DIR
VQSTOMP_NO_BROKER=1 run_tests -R "${END_TO_END}WithoutBroker"

if [ "$BUILD_DIR" = build ]; then
  round "Fuzzing, 10 s a harness"
  scripts/fuzz.sh 10
fi

if [ "$BUILD_DIR" = build ] && [ -z "${VQSTOMP_SKIP_CLUSTERS:-}" ]; then
  rm -f "$BUILD_DIR/cluster-figures.txt"
  round "Failover on a three-node RabbitMQ cluster"
  run_cluster rabbitmq
  round "Failover on an ActiveMQ master/slave pair"
  run_cluster activemq
  cat "$BUILD_DIR/cluster-figures.txt"
fi

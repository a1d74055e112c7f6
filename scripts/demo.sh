#!/usr/bin/env bash
# The demo: installs what is missing (Debian 12), builds the sample programs, starts
# ActiveMQ on 127.0.0.1:61613 unless a broker already answers there, runs sender and
# then receiver, shows the end of their logs and stops the broker it started.
set -euo pipefail

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$ROOT"

BUILD_DIR=build-demo
LOG_DIR=$BUILD_DIR/logs

# Runs a sample program, answering its "Hit any key" with Enter; its log goes to a file.
run_sample() {
  local name=$1 log=$LOG_DIR/$1.log
  echo "== $name (log: $log)"
  if ! echo | "$BUILD_DIR/samples/$name" > "$log"; then
    tail -n 5 "$log"
    echo "demo.sh: $name failed" >&2
    return 1
  fi
}

scripts/setup.sh
cmake -S . -B "$BUILD_DIR" -G Ninja -DCMAKE_BUILD_TYPE=Release \
  -DVQSTOMP_BUILD_TESTS=OFF -DVQSTOMP_BUILD_BENCHMARKS=OFF > /dev/null
cmake --build "$BUILD_DIR" --target sender receiver
mkdir -p "$LOG_DIR"

if scripts/broker.sh status > /dev/null; then
  echo "== using the broker that already answers on 127.0.0.1:61613"
else
  trap 'scripts/broker.sh stop activemq' EXIT
  scripts/broker.sh start activemq
fi

run_sample sender
tail -n 2 "$LOG_DIR/sender.log"
run_sample receiver
tail -n 5 "$LOG_DIR/receiver.log"

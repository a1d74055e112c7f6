#!/usr/bin/env bash
# End-to-end benchmarks of the library beside other STOMP clients, all speaking STOMP 1.0
# without content-length to one ActiveMQ on 127.0.0.1:61613, the library's TLS beside its
# plain TCP, and the listener latency on loopback. Prints a markdown report and, after a
# full run, writes it to BENCHMARKS.md.
#
#   scripts/bench.sh [--runs N] [--count N] [--clients LIST] [--cases LIST] [--output FILE]
#
#   --runs N        repetitions; medians are reported (default 3)
#   --count N       messages of the bulk cases (default 100000; the text cases send 2000)
#   --clients LIST  comma-separated subset of: floor,vqstomp,stomp.py,stompit,stompjs
#   --cases LIST    comma-separated subset of: text-send,text-receive,bulk-send,bulk-listen,bulk-receive,
#                   tls-bulk-send,tls-bulk-listen,connect,latency
#   --output FILE   where the report goes (default: BENCHMARKS.md after a full run, else nowhere)
#
# Only vqstomp runs tls-bulk-send and tls-bulk-listen (bulk-send and bulk-listen over TLS on
# 127.0.0.1:61614, trusting the CA of scripts/broker.sh or the file VQSTOMP_BENCH_TLS_CA names)
# and connect (connections made and closed one after the other, over plain TCP and over TLS).
#
# The broker: one that scripts/broker.sh started is reused as it is (other engineers may
# be testing against it); one started by anything else is used only with
# VQSTOMP_BENCH_REUSE_BROKER=1; with none answering, ActiveMQ is started for the run and
# stopped afterwards. Every run uses queues of its own, /queue/bench-<pid>-<run>-<client>-<case>.
#
# The other clients go into a scratch folder (${VQSTOMP_BENCH_DIR:-/tmp/vqstomp-bench}):
# stompit, @stomp/stompjs and @stomp/tcp-wrapper from npm; stomp.py is Debian's python3-stomp.
set -euo pipefail

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$ROOT"

readonly ALL_CLIENTS=floor,vqstomp,stomp.py,stompit,stompjs
readonly ALL_CASES=text-send,text-receive,bulk-send,bulk-listen,bulk-receive,tls-bulk-send,tls-bulk-listen,connect,latency
readonly BROKER_ADDRESS=127.0.0.1:61613
readonly TLS_BROKER_ADDRESS=ssl://127.0.0.1:61614
readonly BROKER_DIR=${VQSTOMP_BROKER_DIR:-/tmp/vqstomp-broker}
readonly TEXT_COUNT=2000
# A text case takes some 20 ms, where the broker's hiccups weigh: it runs this often per run.
readonly TEXT_REPEATS=5
readonly DEFAULT_BULK_COUNT=100000
readonly CONNECT_COUNT=200
readonly CASE_TIMEOUT=300
readonly SCRATCH=${VQSTOMP_BENCH_DIR:-/tmp/vqstomp-bench}
readonly BUILD_DIR=build-bench
readonly BENCH_BIN=$BUILD_DIR/bench

RUNS=3
BULK_COUNT=$DEFAULT_BULK_COUNT
CLIENTS=$ALL_CLIENTS
CASES=$ALL_CASES
OUTPUT=

say() { echo "bench.sh: $*" >&2; }
die() { say "$*"; exit 1; }

usage() {
    sed -n '2,/^set -euo/p' "$0" | sed '$d; s/^# \{0,1\}//' >&2
    exit 2
}

parse_options() {
    while (( $# > 0 )); do
        case $1 in
            --runs) RUNS=$2; shift 2 ;;
            --count) BULK_COUNT=$2; shift 2 ;;
            --clients) CLIENTS=$2; shift 2 ;;
            --cases) CASES=$2; shift 2 ;;
            --output) OUTPUT=$2; shift 2 ;;
            *) usage ;;
        esac
    done
    [[ $RUNS =~ ^[1-9][0-9]*$ && $BULK_COUNT =~ ^[1-9][0-9]*$ ]] || usage
    check_subset "$CLIENTS" "$ALL_CLIENTS"
    check_subset "$CASES" "$ALL_CASES"
    if [[ -z $OUTPUT && $CLIENTS == "$ALL_CLIENTS" && $CASES == "$ALL_CASES" && $BULK_COUNT == "$DEFAULT_BULK_COUNT" ]]; then
        OUTPUT=BENCHMARKS.md
    fi
}

check_subset() { # list allowed
    local item
    for item in ${1//,/ }; do
        [[ ",$2," == *",$item,"* ]] || die "unknown item '$item' (allowed: $2)"
    done
}

selected() { [[ ",$CASES," == *",$1,"* ]]; }

# --- tools ------------------------------------------------------------------------------

ensure_debian_package() {
    [[ $(dpkg-query -W -f='${Status}' "$1" 2>/dev/null) == "install ok installed" ]] && return 0
    say "installing $1 from Debian"
    local apt=(env DEBIAN_FRONTEND=noninteractive apt-get -q -o DPkg::Lock::Timeout=600)
    "${apt[@]}" install -y "$1" > /dev/null || { "${apt[@]}" update > /dev/null; "${apt[@]}" install -y "$1" > /dev/null; }
}

ensure_node_packages() {
    local modules=$SCRATCH/node/node_modules
    [[ -d $modules/stompit && -d $modules/@stomp/stompjs && -d $modules/@stomp/tcp-wrapper ]] && return 0
    say "installing stompit, @stomp/stompjs and @stomp/tcp-wrapper into $SCRATCH/node"
    mkdir -p "$SCRATCH/node"
    npm install --prefix "$SCRATCH/node" --no-audit --no-fund --no-save --silent \
        stompit @stomp/stompjs @stomp/tcp-wrapper > /dev/null
}

prepare_tools() {
    scripts/setup.sh
    command -v /usr/bin/time > /dev/null || ensure_debian_package time
    [[ ,$CLIENTS, == *,stomp.py,* ]] && ensure_debian_package python3-stomp
    [[ ,$CLIENTS, == *,stomp* ]] && ensure_node_packages
    cmake -S . -B "$BUILD_DIR" -G Ninja -DCMAKE_BUILD_TYPE=Release > /dev/null
    cmake --build "$BUILD_DIR" -j2 --target vqstomp_e2e_bench vqstomp_floor_bench vqstomp_latency_bench > /dev/null
}

# --- broker -----------------------------------------------------------------------------

STARTED_BROKER=0

broker_started_by_script() {
    local pidfile=$BROKER_DIR/activemq/broker.pid pid
    [[ -r $pidfile ]] && read -r pid < "$pidfile" && [[ $pid =~ ^[0-9]+$ ]] || return 1
    [[ $(tr '\0' ' ' < "/proc/$pid/cmdline" 2>/dev/null) == *activemq* ]]
}

acquire_broker() {
    if scripts/broker.sh status > /dev/null; then
        if broker_started_by_script; then
            say "reusing the ActiveMQ that scripts/broker.sh started"
        elif [[ ${VQSTOMP_BENCH_REUSE_BROKER:-0} == 1 ]]; then
            say "reusing the broker on $BROKER_ADDRESS (VQSTOMP_BENCH_REUSE_BROKER=1)"
        else
            die "a broker not started by scripts/broker.sh answers on $BROKER_ADDRESS; set VQSTOMP_BENCH_REUSE_BROKER=1 to use it"
        fi
    else
        scripts/broker.sh start activemq >&2
        STARTED_BROKER=1
    fi
}

release_broker() {
    (( STARTED_BROKER )) && scripts/broker.sh stop activemq >&2 || true
}

# --- running the cases ------------------------------------------------------------------

client_command() { # client -> the command that runs one case
    case $1 in
        floor) echo "$BENCH_BIN/vqstomp_floor_bench" ;;
        vqstomp) echo "$BENCH_BIN/vqstomp_e2e_bench" ;;
        stomp.py) echo "/usr/bin/python3 bench/clients/stomp_py.py" ;;
        stompit) echo "node bench/clients/stompit.cjs" ;;
        stompjs) echo "node bench/clients/stompjs.cjs" ;;
    esac
}

# The tls- cases go to the TLS port; the steps that fill or empty their queues do not.
broker_address() { # case
    if [[ $1 == tls-* ]]; then echo "$TLS_BROKER_ADDRESS"; else echo "$BROKER_ADDRESS"; fi
}

# Runs one case and appends "run client case count elapsed cpu user maxrss_kb" to RESULTS (the
# report shows only the cases, not the steps that fill or empty a queue). Fails when the
# case did.
measure() { # run client case mode count queue
    local run=$1 client=$2 name=$3 mode=$4 count=$5 queue=$6 output rss
    local -a command
    read -r -a command <<< "$(client_command "$client")"
    if ! output=$(NODE_PATH=$SCRATCH/node/node_modules timeout "$CASE_TIMEOUT" \
                  /usr/bin/time -f %M -o "$WORK/rss" "${command[@]}" "$mode" "$count" "$queue" \
                  "$(broker_address "$name")"); then
        say "run $run: $client $name failed"
        return 1
    fi
    read -r rss < "$WORK/rss"
    [[ $output =~ elapsed=([0-9.]+)\ cpu=([0-9.]+)\ user=([0-9.]+) ]] ||
        { say "run $run: $client $name printed '$output'"; return 1; }
    echo "$run $client $name $count ${BASH_REMATCH[1]} ${BASH_REMATCH[2]} ${BASH_REMATCH[3]} $rss" >> "$RESULTS"
    say "run $run: $client $name: ${BASH_REMATCH[1]} s, cpu ${BASH_REMATCH[2]} s (user ${BASH_REMATCH[3]} s), max RSS $rss kB"
}

# Whatever a failed step left in a queue would fill the broker's memory and slow down
# every later send: the floor takes it out.
drain() { # queue
    "$BENCH_BIN/vqstomp_floor_bench" drain "$1" "$BROKER_ADDRESS" >&2 || say "could not drain $1"
}

step() { # case fallback -> the case when it is measured, else the unmeasured step
    if selected "$1"; then echo "$1"; else echo "$2"; fi
}

# Fills a queue and empties it again, each by a case of the client or, unmeasured, by the
# client (filling) or the floor (emptying).
round_trip() { # run client send-step send-mode receive-step receive-mode count queue
    local run=$1 client=$2 count=$7 queue=$8
    measure "$run" "$client" "$3" "$4" "$count" "$queue" || { drain "$queue"; return; }
    if [[ $5 == empty ]]; then
        measure "$run" floor empty receive-auto "$count" "$queue" || drain "$queue"
    else
        measure "$run" "$client" "$5" "$6" "$count" "$queue" || drain "$queue"
    fi
}

run_client() { # run client
    local run=$1 client=$2 queue=/queue/bench-$$-$1-$2
    local repeat
    if selected text-send || selected text-receive; then
        for (( repeat = 1; repeat <= TEXT_REPEATS; repeat++ )); do
            round_trip "$run" "$client" "$(step text-send fill)" send-text \
                       "$(step text-receive empty)" receive-client "$TEXT_COUNT" "$queue-text$repeat"
        done
    fi
    if selected bulk-send || selected bulk-listen; then
        round_trip "$run" "$client" "$(step bulk-send fill)" send-bytes \
                   "$(step bulk-listen empty)" receive-auto "$BULK_COUNT" "$queue-bulk"
    fi
    # Right after the plain bulk cases, so that a noisy minute hurts both alike.
    if [[ $client == vqstomp ]]; then run_tls_bulk "$run" "$queue"; fi
    if selected bulk-receive; then
        round_trip "$run" "$client" fill send-bytes bulk-receive receive-client "$BULK_COUNT" "$queue-poll"
    fi
    if [[ $client == vqstomp ]]; then run_connect "$run" "$queue"; fi
}

# The library alone: the other clients are not asked to speak TLS.
run_tls_bulk() { # run queue
    selected tls-bulk-send || selected tls-bulk-listen || return 0
    round_trip "$1" vqstomp "$(step tls-bulk-send fill)" send-bytes \
               "$(step tls-bulk-listen empty)" receive-auto "$BULK_COUNT" "$2-tls-bulk"
}

run_connect() { # run queue
    selected connect || return 0
    measure "$1" vqstomp connect connect "$CONNECT_COUNT" "$2-connect" || true
    measure "$1" vqstomp tls-connect connect "$CONNECT_COUNT" "$2-connect" || true
}

run_latency() {
    local run output
    for (( run = 1; run <= RUNS; run++ )); do
        output=$(timeout "$CASE_TIMEOUT" "$BENCH_BIN/vqstomp_latency_bench") || { say "latency run $run failed"; continue; }
        say "latency run $run: ${output//$'\n'/; }"
        echo "$output" >> "$LATENCY"
    done
}

machine_facts() {
    echo "date=$(date '+%Y-%m-%d %H:%M %Z')"
    echo "cpu=$(sed -n 's/^model name[[:space:]]*: //p' /proc/cpuinfo | head -n 1)"
    echo "nproc=$(nproc)"
    echo "memory=$(free -g | awk '/^Mem:/ { print $2 " GiB" }')"
    echo "broker=ActiveMQ $(dpkg-query -W -f='${Version}' activemq 2>/dev/null || echo unknown)"
    echo "commit=$(git rev-parse --short HEAD)"
    echo "stomp.py=$(dpkg-query -W -f='${Version}' python3-stomp 2>/dev/null || echo unknown)"
    local package
    for package in stompit @stomp/stompjs @stomp/tcp-wrapper; do
        echo "${package##*/}=$(node -p "require('$SCRATCH/node/node_modules/$package/package.json').version" 2>/dev/null || echo unknown)"
    done
    echo "load=$(cut -d ' ' -f 1-3 /proc/loadavg)"
}

# What the broker agrees to with OpenSSL's defaults, which the library keeps.
tls_session() {
    local session cipher exchange key
    session=$(timeout 10 openssl s_client -connect "${TLS_BROKER_ADDRESS#ssl://}" -CAfile "$VQSTOMP_BENCH_TLS_CA" \
              < /dev/null 2> /dev/null) || true
    cipher=$(sed -n 's/^New, \(.*\), Cipher is \(.*\)/\1, \2/p' <<< "$session")
    exchange=$(sed -n 's/^Server Temp Key: \([^,]*\).*/\1/p' <<< "$session")
    key=$(sed -n 's/^Server public key is \([0-9]*\) bit$/\1/p' <<< "$session")
    echo "tls=${cipher:-unknown session}, key exchange ${exchange:-unknown}, ${key:-?}-bit broker key"
}

main() {
    parse_options "$@"
    prepare_tools
    WORK=$(mktemp -d)
    RESULTS=$WORK/results
    LATENCY=$WORK/latency
    : > "$RESULTS"
    : > "$LATENCY"
    trap 'release_broker; rm -rf "$WORK"' EXIT
    export VQSTOMP_BENCH_TLS_CA=${VQSTOMP_BENCH_TLS_CA:-$BROKER_DIR/tls/ca.pem}
    machine_facts > "$WORK/machine"
    if [[ $CASES != latency ]]; then
        acquire_broker
        tls_session >> "$WORK/machine"
        local run client
        # Clients take turns within each run, so a noisy minute hurts them alike.
        for (( run = 1; run <= RUNS; run++ )); do
            for client in ${CLIENTS//,/ }; do run_client "$run" "$client"; done
        done
    fi
    selected latency && run_latency
    echo "load_after=$(cut -d ' ' -f 1-3 /proc/loadavg)" >> "$WORK/machine"
    python3 bench/report.py "$WORK/machine" "$RESULTS" "$LATENCY" "$TEXT_COUNT" "$TEXT_REPEATS" "$BULK_COUNT" \
        > "$WORK/report.md"
    cat "$WORK/report.md"
    if [[ -n $OUTPUT ]]; then
        cp "$WORK/report.md" "$OUTPUT"
        say "wrote $OUTPUT"
    fi
}

main "$@"

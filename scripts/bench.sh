#!/usr/bin/env bash
# End-to-end benchmarks of the library beside other STOMP clients, all speaking STOMP 1.0
# to one ActiveMQ on 127.0.0.1:61613; the library's own cases (large messages, a thousand
# consumers, synchronous sends, idle heart-beats, TLS beside plain TCP, reconnection in a
# RabbitMQ cluster); and the listener latency on loopback. Prints a markdown report and,
# after a full run, writes it to BENCHMARKS.md.
#
#   scripts/bench.sh [--runs N] [--count N] [--clients LIST] [--cases LIST] [--output FILE]
#
#   --runs N        measured runs (default 5); each figure's median, min and max are reported
#   --count N       messages of the bulk and spread cases (default 100000; the text cases send 2000)
#   --clients LIST  comma-separated subset of: floor,vqstomp,stomp.py,stompit,stompjs,php-stomp
#   --cases LIST    comma-separated subset of: text-send,text-receive,bulk-send,bulk-listen,
#                   bulk-receive,1mib-send,1mib-receive,16mib-send,16mib-receive,spread-send,
#                   spread-listen,sync-send,idle-heartbeat,tls-bulk-send,tls-bulk-listen,connect,
#                   reconnect,latency
#   --output FILE   where the report goes (default: BENCHMARKS.md after a full run, else nowhere)
#
# A Java broker is slow until its JIT has seen the work, and two shared cores make any one
# run noisy: an untimed pass of every selected case comes first, then the runs, the clients
# taking turns in an order rotated from run to run. The report compares clients within each
# run, where they met the same broker, and summarises those ratios over the runs.
#
# Every client runs the text and bulk cases (php-stomp's "listener" is a readFrame loop);
# vqstomp and php-stomp the 1 MiB and 16 MiB bytes messages; vqstomp alone the rest:
#   spread-send, spread-listen   the bulk messages round-robin over VQSTOMP_BENCH_CONSUMERS
#                                queues (default 1000), then one listening consumer per queue
#   sync-send, idle-heartbeat    STOMP 1.2 with heart-beats 1000,1000: the texts, each waiting
#                                for its receipt, and an idle connection
#   tls-bulk-send, tls-bulk-listen  the bulk cases over TLS on 127.0.0.1:61614, trusting the CA
#                                of scripts/broker.sh or the file VQSTOMP_BENCH_TLS_CA names
#   connect                      connections made and closed one after the other, plain and TLS
#   reconnect                    after the other cases, on a three-node RabbitMQ cluster
#                                (scripts/cluster.sh, on the single broker's ports): from the
#                                kill of the node the client uses to a message through another
#
# The broker: one that scripts/broker.sh started is reused as it is (other engineers may
# be testing against it); one started by anything else is used only with
# VQSTOMP_BENCH_REUSE_BROKER=1; with none answering, ActiveMQ is started for the run and
# stopped afterwards. Only then can reconnect have the ports. Each client and case has queues
# of its own, /queue/bench-<pid>-<client>-<case>, the same in every run: ActiveMQ keeps the
# last message of every queue it has seen, which would pile up 16 MiB bodies and a thousand
# spread queues a run until its heap gave out.
#
# The other clients go into a scratch folder (${VQSTOMP_BENCH_DIR:-/tmp/vqstomp-bench}):
# stompit, @stomp/stompjs and @stomp/tcp-wrapper from npm; stomp.py is Debian's python3-stomp,
# php-stomp Debian's php-stomp.
set -euo pipefail

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$ROOT"

readonly ALL_CLIENTS=floor,vqstomp,stomp.py,stompit,stompjs,php-stomp
readonly ALL_CASES=text-send,text-receive,bulk-send,bulk-listen,bulk-receive,1mib-send,1mib-receive,16mib-send,16mib-receive,spread-send,spread-listen,sync-send,idle-heartbeat,tls-bulk-send,tls-bulk-listen,connect,reconnect,latency
readonly BROKER_ADDRESS=127.0.0.1:61613
readonly TLS_BROKER_ADDRESS=ssl://127.0.0.1:61614
readonly BROKER_DIR=${VQSTOMP_BROKER_DIR:-/tmp/vqstomp-broker}
readonly DEFAULT_RUNS=5
readonly TEXT_COUNT=2000
# A text case takes some 20 ms, where the broker's hiccups weigh: it runs this often per run.
readonly TEXT_REPEATS=5
readonly DEFAULT_BULK_COUNT=100000
# The broker's 512 MiB heap holds about 100 MiB of queued large bodies safely; a round
# trip that small takes well under a second, so it runs this often per run.
readonly MIB1_COUNT=100
readonly MIB16_COUNT=6
readonly LARGE_REPEATS=3
readonly IDLE_SECONDS=10
readonly CONNECT_COUNT=200
readonly CASE_TIMEOUT=300
readonly CLUSTER=rabbitmq
readonly SCRATCH=${VQSTOMP_BENCH_DIR:-/tmp/vqstomp-bench}
readonly BUILD_DIR=build-bench
readonly BENCH_BIN=$BUILD_DIR/bench
export VQSTOMP_BENCH_CONSUMERS=${VQSTOMP_BENCH_CONSUMERS:-1000}

RUNS=$DEFAULT_RUNS
BULK_COUNT=$DEFAULT_BULK_COUNT
CLIENTS=$ALL_CLIENTS
CASES=$ALL_CASES
OUTPUT=

say() { echo "bench.sh: $*" >&2; }
die() { say "$*"; exit 1; }
# A case left out of the run is named in the report too, with why.
skip() { # case reason
    say "$1 skipped: $2"
    echo "skipped_$1=$2" >> "$WORK/machine"
}

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
    if [[ -z $OUTPUT && $CLIENTS == "$ALL_CLIENTS" && $CASES == "$ALL_CASES" && $BULK_COUNT == "$DEFAULT_BULK_COUNT" &&
          $RUNS == "$DEFAULT_RUNS" ]]; then
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
client_selected() { [[ ",$CLIENTS," == *",$1,"* ]]; }

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
    client_selected stomp.py && ensure_debian_package python3-stomp
    if client_selected php-stomp; then
        ensure_debian_package php-cli
        ensure_debian_package php-stomp
    fi
    if client_selected stompit || client_selected stompjs; then ensure_node_packages; fi
    cmake -S . -B "$BUILD_DIR" -G Ninja -DCMAKE_BUILD_TYPE=Release > /dev/null
    cmake --build "$BUILD_DIR" -j2 --target vqstomp_e2e_bench vqstomp_floor_bench vqstomp_latency_bench > /dev/null
}

# --- broker -----------------------------------------------------------------------------

STARTED_BROKER=0
STARTED_CLUSTER=0

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
    (( STARTED_BROKER )) || return 0
    scripts/broker.sh stop activemq >&2 || true
    STARTED_BROKER=0
}

release_cluster() {
    (( STARTED_CLUSTER )) || return 0
    scripts/cluster.sh stop "$CLUSTER" >&2 || true
    STARTED_CLUSTER=0
}

# --- running the cases ------------------------------------------------------------------

client_command() { # client -> the command that runs one case
    case $1 in
        floor) echo "$BENCH_BIN/vqstomp_floor_bench" ;;
        vqstomp) echo "$BENCH_BIN/vqstomp_e2e_bench" ;;
        stomp.py) echo "/usr/bin/python3 bench/clients/stomp_py.py" ;;
        stompit) echo "node bench/clients/stompit.cjs" ;;
        stompjs) echo "node bench/clients/stompjs.cjs" ;;
        php-stomp) echo "php bench/clients/php_stomp.php" ;;
    esac
}

# The tls- cases go to the TLS port; the steps that fill or empty their queues do not.
broker_address() { # case
    if [[ $1 == tls-* ]]; then echo "$TLS_BROKER_ADDRESS"; else echo "$BROKER_ADDRESS"; fi
}

run_label() { # run
    if (( $1 == 0 )); then echo warm-up; else echo "run $1"; fi
}

# Runs one case and appends "run client case count elapsed cpu user maxrss_kb" to RESULTS (the
# report shows only the cases, not the steps that fill or empty a queue, nor the warm-up's run
# 0). Fails when the case did.
measure() { # run client case mode count queue [address]
    local run=$1 client=$2 name=$3 mode=$4 count=$5 queue=$6 address=${7:-$(broker_address "$3")} output rss
    local -a command
    read -r -a command <<< "$(client_command "$client")"
    if ! output=$(NODE_PATH=$SCRATCH/node/node_modules timeout "$CASE_TIMEOUT" \
                  /usr/bin/time -f %M -o "$WORK/rss" "${command[@]}" "$mode" "$count" "$queue" "$address"); then
        say "$(run_label "$run"): $client $name failed"
        return 1
    fi
    read -r rss < "$WORK/rss"
    [[ $output =~ elapsed=([0-9.]+)\ cpu=([0-9.]+)\ user=([0-9.]+) ]] ||
        { say "$(run_label "$run"): $client $name printed '$output'"; return 1; }
    echo "$run $client $name $count ${BASH_REMATCH[1]} ${BASH_REMATCH[2]} ${BASH_REMATCH[3]} $rss" >> "$RESULTS"
    say "$(run_label "$run"): $client $name: ${BASH_REMATCH[1]} s, cpu ${BASH_REMATCH[2]} s (user ${BASH_REMATCH[3]} s), max RSS $rss kB"
}

# Whatever a failed step left in a queue would fill the broker's memory and slow down
# every later send: the floor takes it out.
drain() { # destination
    "$BENCH_BIN/vqstomp_floor_bench" drain "$1" "$BROKER_ADDRESS" >&2 || say "could not drain $1"
}

step() { # case fallback -> the case when it is measured, else the unmeasured step
    if selected "$1"; then echo "$1"; else echo "$2"; fi
}

# Fills a queue and empties it again, each by a case of the client or, unmeasured, by the
# client (filling) or the floor (emptying the destination, by default the queue).
round_trip() { # run client send-step send-mode receive-step receive-mode count queue [emptied]
    local run=$1 client=$2 count=$7 queue=$8 emptied=${9:-$8}
    measure "$run" "$client" "$3" "$4" "$count" "$queue" || { drain "$emptied"; return; }
    if [[ $5 == empty ]]; then
        measure "$run" floor empty receive-auto "$count" "$emptied" || drain "$emptied"
    else
        measure "$run" "$client" "$5" "$6" "$count" "$queue" || drain "$emptied"
    fi
}

# A send case and a receive case over one queue, repeated; either, when not selected, is an
# unmeasured step instead. Nothing when neither is selected.
round_trips() { # run client repeats count queue send-case send-mode receive-case receive-mode [emptied-suffix]
    local run=$1 client=$2 repeats=$3 count=$4 queue=$5 repeat
    selected "$6" || selected "$8" || return 0
    for (( repeat = 1; repeat <= repeats; repeat++ )); do
        round_trip "$run" "$client" "$(step "$6" fill)" "$7" "$(step "$8" empty)" "$9" "$count" "$queue" "$queue${10:-}"
    done
}

run_client() { # run client
    local run=$1 client=$2 queue=/queue/bench-$$-$2
    round_trips "$run" "$client" "$TEXT_REPEATS" "$TEXT_COUNT" "$queue-text" \
                text-send send-text text-receive receive-client
    round_trips "$run" "$client" 1 "$BULK_COUNT" "$queue-bulk" bulk-send send-bytes bulk-listen receive-auto
    # Right after the plain bulk cases, so that a noisy minute hurts both alike.
    [[ $client == vqstomp ]] &&
        round_trips "$run" vqstomp 1 "$BULK_COUNT" "$queue-tls-bulk" tls-bulk-send send-bytes tls-bulk-listen receive-auto
    round_trips "$run" "$client" 1 "$BULK_COUNT" "$queue-poll" fill send-bytes bulk-receive receive-client
    if [[ $client == vqstomp || $client == php-stomp ]]; then
        round_trips "$run" "$client" "$LARGE_REPEATS" "$MIB1_COUNT" "$queue-1mib" 1mib-send send-1mib 1mib-receive receive-1mib
        round_trips "$run" "$client" "$LARGE_REPEATS" "$MIB16_COUNT" "$queue-16mib" 16mib-send send-16mib 16mib-receive receive-16mib
    fi
    [[ $client == vqstomp ]] && run_library_cases "$run" "$queue"
    return 0
}

# The library alone: the other clients have no counterpart here, or are not asked to.
run_library_cases() { # run queue
    local run=$1 queue=$2
    # The floor empties all the spread queues at once through ActiveMQ's wildcard.
    round_trips "$run" vqstomp 1 "$BULK_COUNT" "$queue-spread" spread-send send-spread spread-listen listen-spread .\>
    round_trips "$run" vqstomp 1 "$TEXT_COUNT" "$queue-sync" sync-send send-sync empty receive-auto
    if selected idle-heartbeat; then measure "$run" vqstomp idle-heartbeat idle-heartbeat "$IDLE_SECONDS" "$queue-idle" || true; fi
    if selected connect; then
        measure "$run" vqstomp connect connect "$CONNECT_COUNT" "$queue-connect" || true
        measure "$run" vqstomp tls-connect connect "$CONNECT_COUNT" "$queue-connect" || true
    fi
}

# The clients of run RUN, in an order turned by one place from the run before.
rotated_clients() { # run
    local -a clients
    IFS=, read -r -a clients <<< "$CLIENTS"
    local shift=$(( $1 % ${#clients[@]} ))
    echo "${clients[@]:shift}" "${clients[@]:0:shift}"
}

broker_cases_selected() { tr , '\n' <<< "$CASES" | grep -qvx -e reconnect -e latency; }

# Run 0 is the warm-up.
run_broker_cases() {
    local run client
    for (( run = 0; run <= RUNS; run++ )); do
        say "$(run_label "$run"): $(rotated_clients "$run")"
        for client in $(rotated_clients "$run"); do run_client "$run" "$client"; done
    done
}

cluster_addresses() {
    scripts/cluster.sh ports "$CLUSTER" | sed "s/^/127.0.0.1:/" | paste -sd ,
}

# The cluster takes the single broker's ports, so it comes after every other broker case.
run_reconnect() {
    selected reconnect || return 0
    client_selected vqstomp || return 0
    if scripts/broker.sh status > /dev/null 2>&1 && (( ! STARTED_BROKER )); then
        skip reconnect "the cluster needs the ports of a broker that bench.sh did not start"
        return 0
    fi
    release_broker
    STARTED_CLUSTER=1
    scripts/cluster.sh start "$CLUSTER" >&2 || { skip reconnect "the $CLUSTER cluster did not start"; return 0; }
    local addresses run node
    addresses=$(cluster_addresses)
    # The program appends the number of the node it is connected to; noted for the restart.
    local kill="sh -c 'echo \"\$1\" > $WORK/killed; exec scripts/cluster.sh kill $CLUSTER \"\$1\"' kill"
    for (( run = 0; run <= RUNS; run++ )); do
        rm -f "$WORK/killed"
        # A classic queue dies with its node; a topic is subscribed to again on the next one.
        VQSTOMP_BENCH_KILL=$kill measure "$run" vqstomp reconnect reconnect 1 "/topic/bench-$$-reconnect" "$addresses" || true
        [[ -r $WORK/killed ]] || continue
        read -r node < "$WORK/killed"
        scripts/cluster.sh restart "$CLUSTER" "$node" >&2 || { say "node $node did not come back"; break; }
    done
    release_cluster
}

run_latency() {
    local run output
    for (( run = 1; run <= RUNS; run++ )); do
        output=$(timeout "$CASE_TIMEOUT" "$BENCH_BIN/vqstomp_latency_bench") || { say "latency run $run failed"; continue; }
        say "latency run $run: ${output//$'\n'/; }"
        echo "$output" >> "$LATENCY"
    done
}

package_version() { dpkg-query -W -f='${Version}' "$1" 2>/dev/null || echo unknown; }

machine_facts() {
    echo "date=$(date '+%Y-%m-%d %H:%M %Z')"
    echo "cpu=$(sed -n 's/^model name[[:space:]]*: //p' /proc/cpuinfo | head -n 1)"
    echo "nproc=$(nproc)"
    echo "memory=$(free -g | awk '/^Mem:/ { print $2 " GiB" }')"
    echo "broker=ActiveMQ $(package_version activemq)"
    echo "cluster=RabbitMQ $(package_version rabbitmq-server)"
    echo "commit=$(git rev-parse --short HEAD)$(git diff --quiet HEAD -- source include bench || echo ' with uncommitted changes')"
    echo "stomp.py=$(package_version python3-stomp)"
    echo "php-stomp=$(package_version php-stomp)"
    echo "php=$(php -r 'echo PHP_VERSION;' 2>/dev/null || echo unknown)"
    local package
    for package in stompit @stomp/stompjs @stomp/tcp-wrapper; do
        echo "${package##*/}=$(node -p "require('$SCRATCH/node/node_modules/$package/package.json').version" 2>/dev/null || echo unknown)"
    done
    echo "load=$(cut -d ' ' -f 1-3 /proc/loadavg)"
}

# How the runs were made, for the report's text.
settings() {
    echo "runs=$RUNS"
    echo "text_count=$TEXT_COUNT"
    echo "text_repeats=$TEXT_REPEATS"
    echo "bulk_count=$BULK_COUNT"
    echo "mib1_count=$MIB1_COUNT"
    echo "mib16_count=$MIB16_COUNT"
    echo "large_repeats=$LARGE_REPEATS"
    echo "idle_seconds=$IDLE_SECONDS"
    echo "consumers=$VQSTOMP_BENCH_CONSUMERS"
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
    local started=$SECONDS
    prepare_tools
    WORK=$(mktemp -d)
    RESULTS=$WORK/results
    LATENCY=$WORK/latency
    : > "$RESULTS"
    : > "$LATENCY"
    trap 'release_cluster; release_broker; rm -rf "$WORK"' EXIT
    export VQSTOMP_BENCH_TLS_CA=${VQSTOMP_BENCH_TLS_CA:-$BROKER_DIR/tls/ca.pem}
    { machine_facts; settings; } > "$WORK/machine"
    if broker_cases_selected; then
        acquire_broker
        tls_session >> "$WORK/machine"
        run_broker_cases
    fi
    run_reconnect
    release_broker
    selected latency && run_latency
    echo "load_after=$(cut -d ' ' -f 1-3 /proc/loadavg)" >> "$WORK/machine"
    echo "minutes=$(( (SECONDS - started + 30) / 60 ))" >> "$WORK/machine"
    python3 bench/report.py "$WORK/machine" "$RESULTS" "$LATENCY" ${OUTPUT:+"$OUTPUT"} > "$WORK/report.md"
    cat "$WORK/report.md"
    if [[ -n $OUTPUT ]]; then
        cp "$WORK/report.md" "$OUTPUT"
        say "wrote $OUTPUT"
    fi
}

main "$@"

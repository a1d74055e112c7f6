#!/usr/bin/env bash
# Throwaway broker clusters on loopback for the failover tests.
#
#   scripts/cluster.sh start|stop|ports  rabbitmq|activemq
#   scripts/cluster.sh kill|restart      rabbitmq|activemq NODE
#   scripts/cluster.sh active            activemq
#
# rabbitmq: three clustered nodes with STOMP on 61613, 61614 and 61615.
# activemq: two brokers on one KahaDB store, STOMP on 61613 and 61614; the one
#           holding the store's file lock serves, the other waits as slave.
#
# start   (re)starts the whole cluster with empty stores, returns once it is ready.
# stop    stops whatever start and restart started; nothing to stop is fine.
# ports   prints the STOMP ports, one per line, in node order.
# kill    SIGKILLs node NODE (1-based) and returns as soon as it is dead.
# restart starts a killed node again and returns once it is back: a running
#         cluster member answering STOMP (rabbitmq), or serving STOMP or waiting
#         for the lock (activemq).
# active  prints the number of the ActiveMQ node that serves STOMP now.
#
# Files live under ${VQSTOMP_BROKER_DIR:-/tmp/vqstomp-broker}/cluster-<broker>,
# emptied on start. Only one cluster (or broker.sh broker) fits on the ports.
set -euo pipefail

readonly ROOT=${VQSTOMP_BROKER_DIR:-/tmp/vqstomp-broker}
readonly START_TIMEOUT=${VQSTOMP_CLUSTER_TIMEOUT:-120}
readonly STOP_TIMEOUT=30
readonly CLUSTERS=(rabbitmq activemq)
readonly SELF=cluster.sh
# shellcheck source-path=SCRIPTDIR source=broker-common.sh
source "$(dirname "${BASH_SOURCE[0]}")/broker-common.sh"

usage() {
    cat >&2 <<EOF
usage: $0 start|stop|ports rabbitmq|activemq
       $0 kill|restart rabbitmq|activemq NODE
       $0 active activemq
EOF
    exit 2
}

stomp_port() { echo $((61612 + $1)); }
stomp_ports() { seq "$(stomp_port 1)" "$(stomp_port "$NODES")"; }
node_dir() { echo "$BASE/node-$1"; }
node_pidfile() { echo "$BASE/node-$1/node.pid"; }
node_pid() { owned_pid "$(node_pidfile "$1")" "$("${CLUSTER}_signature" "$1")"; }
node_alive() { node_pid "$1" > /dev/null; }

# --- RabbitMQ ------------------------------------------------------------------------

readonly RABBIT_BIN=/usr/lib/rabbitmq/bin

rabbitmq_package() { echo rabbitmq-server; }
rabbitmq_nodes() { echo 3; }
rabbitmq_signature() { echo rabbitmq-server; }
rabbit_name() { echo "rabbit-$1@localhost"; }
# Off the defaults (5672, 25672) so that a system RabbitMQ does not clash.
amqp_port() { echo $((5680 + $1)); }
dist_port() { echo $((25680 + $1)); }
rabbitmq_ports() {
    local n
    for n in 1 2 3; do stomp_port "$n"; amqp_port "$n"; dist_port "$n"; done
}
rabbitmq_logs() { # node
    echo "$(node_dir "$1")/log/console.log $(node_dir "$1")/log/rabbit.log"
}

rabbitmq_configure() {
    local n dir
    mkdir -p "$BASE/home"
    : > "$BASE/rabbitmq-env.conf"
    # One cookie for the nodes and rabbitmqctl, never the user's; Erlang
    # insists it is private to its owner.
    od -An -N16 -tx1 /dev/urandom | tr -d ' \n' > "$BASE/home/.erlang.cookie"
    chmod 400 "$BASE/home/.erlang.cookie"
    for n in 1 2 3; do
        dir=$(node_dir "$n")
        mkdir -p "$dir/mnesia" "$dir/log"
        cat > "$dir/rabbitmq.conf" <<EOF
listeners.tcp.1 = $HOST:$(amqp_port "$n")
stomp.listeners.tcp.1 = $HOST:$(stomp_port "$n")
log.console = false
EOF
        echo '[rabbitmq_stomp].' > "$dir/enabled_plugins"
    done
}

rabbit_env() { # node ; for the node itself and for rabbitmqctl
    local dir
    dir=$(node_dir "$1")
    export HOME=$BASE/home
    export ERL_EPMD_ADDRESS=$HOST
    export RABBITMQ_CONF_ENV_FILE=$BASE/rabbitmq-env.conf
    export RABBITMQ_CONFIG_FILE=$dir/rabbitmq.conf
    export RABBITMQ_ADVANCED_CONFIG_FILE=$dir/advanced.config
    export RABBITMQ_ENABLED_PLUGINS_FILE=$dir/enabled_plugins
    export RABBITMQ_MNESIA_BASE=$dir/mnesia
    export RABBITMQ_LOG_BASE=$dir/log
    export RABBITMQ_LOGS=$dir/log/rabbit.log
    export RABBITMQ_NODENAME
    RABBITMQ_NODENAME=$(rabbit_name "$1")
    export RABBITMQ_NODE_IP_ADDRESS=$HOST
    export RABBITMQ_NODE_PORT
    RABBITMQ_NODE_PORT=$(amqp_port "$1")
    export RABBITMQ_DIST_PORT
    RABBITMQ_DIST_PORT=$(dist_port "$1")
    # Distribution on loopback only; schedulers that sleep instead of spinning
    # keep three nodes from eating both cores.
    export RABBITMQ_SERVER_ADDITIONAL_ERL_ARGS="-kernel inet_dist_use_interface {127,0,0,1} +sbwt none +sbwtdcpu none +sbwtdio none"
}

rabbit_ctl() { # node args... ; talks to that node, its chatter goes to a log
    (
        rabbit_env "$1"
        echo "--- rabbitmqctl -n $(rabbit_name "$1") ${*:2}" >> "$BASE/rabbitmqctl.log"
        timeout 60 "$RABBIT_BIN/rabbitmqctl" -q -n "$(rabbit_name "$1")" "${@:2}" 2>> "$BASE/rabbitmqctl.log"
    )
}

rabbitmq_launch() { # node
    local dir
    dir=$(node_dir "$1")
    # The /usr/sbin wrapper would switch to the rabbitmq user; every path is ours.
    ( rabbit_env "$1"; spawn "$(node_pidfile "$1")" "$dir/log/console.log" "$RABBIT_BIN/rabbitmq-server" )
}

running_nodes() { # node -> the running cluster members that node sees, one per line
    local json
    json=$(rabbit_ctl "$1" cluster_status --formatter json 2>/dev/null) || return 1
    [[ $json =~ \"running_nodes\":\[([^]]*)\] ]] || return 1
    tr -d '"' <<< "${BASH_REMATCH[1]}" | tr ',' '\n'
}

members_running() { # node expected_count
    local nodes
    nodes=$(running_nodes "$1") || return 1
    [[ $(grep -c . <<< "$nodes") == "$2" ]]
}

running_member() { # node ; true when the other live nodes (or, alone, itself) count it as running
    local n asked=0
    for n in 1 2 3; do
        if (( n == $1 )) || ! node_alive "$n"; then continue; fi
        running_nodes "$n" | grep -qx "$(rabbit_name "$1")" || return 1
        asked=1
    done
    (( asked )) || running_nodes "$1" | grep -qx "$(rabbit_name "$1")"
}

rabbitmq_ready() { # node
    stomp_answers "$(stomp_port "$1")" && running_member "$1"
}

rabbitmq_start() {
    local n
    start_epmd "$BASE/epmd.pid" "$BASE/epmd.log" || return 1
    rabbitmq_launch 1 || return 1
    await_node 1 "answer STOMP" stomp_answers "$(stomp_port 1)" || return 1
    rabbitmq_launch 2 || return 1
    rabbitmq_launch 3 || return 1
    for n in 2 3; do
        await_node "$n" "answer STOMP" stomp_answers "$(stomp_port "$n")" || return 1
        rabbit_ctl "$n" stop_app >> "$BASE/rabbitmqctl.log" || return 1
        rabbit_ctl "$n" join_cluster "$(rabbit_name 1)" >> "$BASE/rabbitmqctl.log" || return 1
        rabbit_ctl "$n" start_app >> "$BASE/rabbitmqctl.log" || return 1
    done
    for n in 1 2 3; do
        await_node "$n" "answer STOMP" stomp_answers "$(stomp_port "$n")" || return 1
    done
    await_node 1 "see three running nodes" members_running 1 3 || return 1
}

rabbitmq_restart() { # node
    rabbitmq_launch "$1" || return 1
    await_node "$1" "answer STOMP as a running cluster member" rabbitmq_ready "$1" || return 1
}

rabbitmq_role() { echo "a running cluster member"; }

rabbitmq_cleanup() { terminate "$BASE/epmd.pid" epmd; }

# --- ActiveMQ ------------------------------------------------------------------------

# How often a slave tries the store's lock: the takeover delay after the master dies.
readonly LOCK_INTERVAL_MS=500
readonly SLAVE_LINE='is locked by another server. This broker is now in slave mode'

activemq_package() { echo activemq; }
activemq_nodes() { echo 2; }
activemq_signature() { echo "-Dactivemq.base=$(node_dir "$1")"; }
activemq_ports() { stomp_port 1; stomp_port 2; }
activemq_logs() { # node
    echo "$(node_dir "$1")/data/console.log $(node_dir "$1")/data/activemq.log"
}

activemq_configure() {
    local n dir
    mkdir -p "$BASE/kahadb"
    for n in 1 2; do
        dir=$(node_dir "$n")
        mkdir -p "$dir/conf" "$dir/data" "$dir/tmp"
        cat > "$dir/conf/activemq.xml" <<EOF
<beans xmlns="http://www.springframework.org/schema/beans"
       xmlns:xsi="http://www.w3.org/2001/XMLSchema-instance"
       xsi:schemaLocation="http://www.springframework.org/schema/beans http://www.springframework.org/schema/beans/spring-beans.xsd
                           http://activemq.apache.org/schema/core http://activemq.apache.org/schema/core/activemq-core.xsd">
  <broker xmlns="http://activemq.apache.org/schema/core"
          brokerName="vqstomp" useJmx="false" dataDirectory="$dir/data">
    <!-- A message the dead master had dispatched comes from the slave marked redelivered. -->
    <destinationPolicy>
      <policyMap>
        <policyEntries>
          <policyEntry queue=">" persistJMSRedelivered="true"/>
        </policyEntries>
      </policyMap>
    </destinationPolicy>
    <persistenceAdapter>
      <kahaDB directory="$BASE/kahadb">
        <locker>
          <shared-file-locker lockAcquireSleepInterval="$LOCK_INTERVAL_MS"/>
        </locker>
      </kahaDB>
    </persistenceAdapter>
    <transportConnectors>
      <transportConnector name="stomp" uri="stomp://$HOST:$(stomp_port "$n")"/>
    </transportConnectors>
  </broker>
</beans>
EOF
        activemq_log4j "$dir"
    done
}

activemq_launch() { # node
    local dir
    dir=$(node_dir "$1")
    # Where this launch's log lines begin, for the slave line.
    stat -c %s "$dir/data/activemq.log" > "$dir/log.offset" 2>/dev/null || echo 0 > "$dir/log.offset"
    activemq_spawn "$dir" "$(node_pidfile "$1")"
}

waits_as_slave() { # node ; the slave line was logged since the last launch
    local dir offset
    dir=$(node_dir "$1")
    read -r offset < "$dir/log.offset"
    tail -c "+$((offset + 1))" "$dir/data/activemq.log" 2>/dev/null | grep -qF "$SLAVE_LINE"
}

serves_or_waits() { # node
    stomp_answers "$(stomp_port "$1")" || waits_as_slave "$1"
}

activemq_start() {
    activemq_launch 1 || return 1
    await_node 1 "answer STOMP" stomp_answers "$(stomp_port 1)" || return 1
    activemq_launch 2 || return 1
    await_node 2 "wait as slave" waits_as_slave 2 || return 1
}

activemq_restart() { # node
    activemq_launch "$1" || return 1
    await_node "$1" "serve STOMP or wait as slave" serves_or_waits "$1" || return 1
}

activemq_role() { # node
    if stomp_answers "$(stomp_port "$1")"; then echo "serving STOMP"; else echo "waiting as slave"; fi
}

activemq_cleanup() { :; }

active_node() {
    local n
    for n in 1 2; do
        stomp_answers "$(stomp_port "$n")" && { echo "$n"; return 0; }
    done
    return 1
}

# --- commands ---------------------------------------------------------------------------

select_cluster() {
    CLUSTER=$1
    BASE=$ROOT/cluster-$CLUSTER
    NODES=$("${CLUSTER}_nodes")
}

check_node() { # node
    if ! [[ $1 =~ ^[0-9]+$ ]] || (( $1 < 1 || $1 > NODES )); then
        die "$CLUSTER has nodes 1 to $NODES, not '$1'"
    fi
}

show_logs() { # node...
    local n f
    for f in $(for n; do "${CLUSTER}_logs" "$n"; done) "$BASE/rabbitmqctl.log"; do
        [[ -s $f ]] || continue
        echo "--- tail of $f" >&2
        tail -n 40 "$f" >&2
    done
}

# Bounded by the deadline of the whole command; stops early when the node exits.
await_node() { # node description command...
    local node=$1 what=$2
    shift 2
    until "$@"; do
        node_alive "$node" || { say "$CLUSTER node $node exited before it would $what" >&2; return 1; }
        (( $(now_us) < DEADLINE )) || { say "$CLUSTER node $node did not $what within ${START_TIMEOUT}s" >&2; return 1; }
        sleep 0.2
    done
}

stop_cluster() {
    local n t0 jobs=() failed=0 pid
    [[ -d $BASE ]] || return 0
    t0=$(now_us)
    # In parallel: a slave that outlives its master would take over first.
    for n in $(seq "$NODES"); do
        node_alive "$n" || continue
        terminate "$(node_pidfile "$n")" "$("${CLUSTER}_signature" "$n")" &
        jobs+=($!)
    done
    for pid in "${jobs[@]}"; do wait "$pid" || failed=1; done
    "${CLUSTER}_cleanup"
    (( failed == 0 )) || die "could not stop every $CLUSTER node"
    (( ${#jobs[@]} == 0 )) || say "$CLUSTER stopped after $(elapsed "$t0")"
}

# The clusters share their ports: stop any that this script started.
stop_ours() {
    local c
    for c in "${CLUSTERS[@]}"; do
        select_cluster "$c"
        stop_cluster
    done
}

fail_start() {
    show_logs $(seq "$NODES")
    stop_cluster
    exit 1
}

cmd_start() {
    local wanted=$1 t0 port
    ensure_package "$("${wanted}_package")"
    stop_ours
    select_cluster "$wanted"
    for port in $("${CLUSTER}_ports"); do
        port_open "$port" && die "something not started by this script already listens on $HOST:$port"
    done
    rm -rf "$BASE"
    mkdir -p "$BASE"
    "${CLUSTER}_configure"
    t0=$(now_us)
    DEADLINE=$(( t0 + START_TIMEOUT * 1000000 ))
    "${CLUSTER}_start" || fail_start
    say "$CLUSTER cluster ready on ports $(stomp_ports | paste -sd' ') after $(elapsed "$t0") (files in $BASE)"
}

cmd_kill() { # node
    local pid deadline
    pid=$(node_pid "$1") || die "$CLUSTER node $1 is not running"
    kill -KILL -- "-$pid"
    deadline=$(( $(now_us) + 10000000 ))
    until group_gone "$pid"; do
        (( $(now_us) < deadline )) || die "$CLUSTER node $1 survives SIGKILL"
        sleep 0.02
    done
    rm -f "$(node_pidfile "$1")"
    say "$CLUSTER node $1 killed (pid $pid)"
}

cmd_restart() { # node
    local t0
    [[ -d $(node_dir "$1") ]] || die "$CLUSTER was not started"
    node_alive "$1" && die "$CLUSTER node $1 still runs; kill it first"
    t0=$(now_us)
    DEADLINE=$(( t0 + START_TIMEOUT * 1000000 ))
    if ! "${CLUSTER}_restart" "$1"; then
        show_logs "$1"
        exit 1
    fi
    say "$CLUSTER node $1 back after $(elapsed "$t0"), $("${CLUSTER}_role" "$1")"
}

cmd_active() {
    [[ $CLUSTER == activemq ]] || usage
    active_node || die "no $CLUSTER node serves STOMP"
}

main() {
    (( $# >= 2 )) || usage
    local cmd=$1
    [[ " ${CLUSTERS[*]} " == *" $2 "* ]] || usage
    # The scratch folder is wiped on start.
    [[ $ROOT == /?* ]] || die "VQSTOMP_BROKER_DIR must be an absolute path other than / (got $ROOT)"
    select_cluster "$2"
    case $cmd in
        kill|restart) (( $# == 3 )) || usage; check_node "$3" ;;
        *) (( $# == 2 )) || usage ;;
    esac
    case $cmd in
        start) cmd_start "$2" ;;
        stop) stop_cluster ;;
        ports) stomp_ports ;;
        kill) cmd_kill "$3" ;;
        restart) cmd_restart "$3" ;;
        active) cmd_active ;;
        *) usage ;;
    esac
}

main "$@"

#!/usr/bin/env bash
# Throwaway STOMP broker on 127.0.0.1:61613 for the integration tests.
#
#   scripts/broker.sh start|stop|status [activemq|rabbitmq]   (default: activemq)
#
# start  (re)starts the broker and returns once it answers CONNECT; it refuses
#        to run when a broker it did not start holds the port.
# stop   stops what start started; nothing to stop is fine.
# status exits 0 when any STOMP broker answers CONNECT on the port.
#
# The broker runs as a plain background process with its own configuration and
# an empty store under ${VQSTOMP_BROKER_DIR:-/tmp/vqstomp-broker}/<broker>.
# Nothing system-wide is touched except installing the Debian package if missing.
set -euo pipefail

readonly HOST=127.0.0.1
readonly PORT=61613
readonly ROOT=${VQSTOMP_BROKER_DIR:-/tmp/vqstomp-broker}
readonly START_TIMEOUT=${VQSTOMP_BROKER_TIMEOUT:-90}
readonly STOP_TIMEOUT=30
readonly BROKERS=(activemq rabbitmq)

say() { echo "broker.sh: $*"; }
die() { echo "broker.sh: $*" >&2; exit 1; }

usage() {
    echo "usage: $0 start|stop|status [activemq|rabbitmq]" >&2
    exit 2
}

now_us() { echo "${EPOCHREALTIME/./}"; }

elapsed() { # start_us -> "1.5s"
    local ms=$(( ($(now_us) - $1) / 1000 ))
    printf '%d.%01ds' $((ms / 1000)) $((ms % 1000 / 100))
}

wait_until() { # timeout_s command... ; polls until the command succeeds
    local deadline=$(( $(now_us) + $1 * 1000000 ))
    shift
    until "$@"; do
        (( $(now_us) < deadline )) || return 1
        sleep 0.2
    done
}

# --- STOMP probing (bash only: must work on a bare Debian) -------------------

port_open() {
    ( exec 3<>"/dev/tcp/$HOST/$PORT" ) 2>/dev/null
}

stomp_answers() {
    (
        exec 3<>"/dev/tcp/$HOST/$PORT" || exit 1
        printf 'CONNECT\n\n\0' >&3
        IFS= read -r -t 5 -u 3 reply || exit 1
        printf 'DISCONNECT\n\n\0' >&3
        [[ ${reply%$'\r'} == CONNECTED ]]
    ) 2>/dev/null
}

# --- processes we started ------------------------------------------------------

gone() { # pid ; zombies count as gone since nobody may reap them
    local stat
    stat=$(cat "/proc/$1/stat" 2>/dev/null) || return 0
    stat=${stat##*) }
    [[ ${stat%% *} == Z ]]
}

owned_pid() { # pidfile pattern -> pid, if it still runs and its command line matches
    local pid
    [[ -r $1 ]] && read -r pid < "$1" || return 1
    [[ $pid =~ ^[0-9]+$ ]] && ! gone "$pid" || return 1
    [[ $(tr '\0' ' ' < "/proc/$pid/cmdline" 2>/dev/null) == *"$2"* ]] || return 1
    echo "$pid"
}

spawn() { # pidfile logfile command... ; own session, so the whole group can be killed
    local pidfile=$1 log=$2
    shift 2
    ( cd "$BASE" && exec setsid "$@" ) < /dev/null >> "$log" 2>&1 &
    echo $! > "$pidfile"
}

terminate() { # pidfile pattern
    local pid
    pid=$(owned_pid "$1" "$2") || { rm -f "$1"; return 0; }
    kill -TERM "$pid" 2>/dev/null || true
    if ! wait_until "$STOP_TIMEOUT" gone "$pid"; then
        say "pid $pid ignored SIGTERM for ${STOP_TIMEOUT}s, killing it" >&2
        kill -KILL -- "-$pid" 2>/dev/null || kill -KILL "$pid" 2>/dev/null || true
        wait_until 10 gone "$pid" || die "pid $pid survives SIGKILL"
    fi
    # Children the leader left behind still carry its process group.
    kill -KILL -- "-$pid" 2>/dev/null || true
    rm -f "$1"
}

# --- packages --------------------------------------------------------------------

installed() {
    [[ $(dpkg-query -W -f='${Status}' "$1" 2>/dev/null) == "install ok installed" ]]
}

as_root() {
    if (( EUID == 0 )); then "$@"
    elif command -v sudo > /dev/null; then sudo "$@"
    else die "need root to run: $*"
    fi
}

ensure_package() {
    installed "$1" && return 0
    say "installing $1 from Debian"
    # Install waits for a dpkg lock held by another apt; update does not wait
    # for the lists lock, but then that other apt is refreshing them anyway.
    local apt=(env DEBIAN_FRONTEND=noninteractive apt-get -q -o DPkg::Lock::Timeout=600)
    as_root "${apt[@]}" update >&2 || say "apt-get update failed; installing from the current lists" >&2
    as_root "${apt[@]}" install -y "$1" >&2
    installed "$1" || die "$1 did not install"
}

# --- ActiveMQ ------------------------------------------------------------------------

readonly AMQ_HOME=/usr/share/activemq

activemq_package() { echo activemq; }
activemq_signature() { echo "-Dactivemq.base=$BASE"; }
activemq_logs() { echo "$BASE/data/console.log $BASE/data/activemq.log"; }

activemq_configure() {
    mkdir -p "$BASE/conf" "$BASE/data" "$BASE/tmp"
    cat > "$BASE/conf/activemq.xml" <<EOF
<beans xmlns="http://www.springframework.org/schema/beans"
       xmlns:xsi="http://www.w3.org/2001/XMLSchema-instance"
       xsi:schemaLocation="http://www.springframework.org/schema/beans http://www.springframework.org/schema/beans/spring-beans.xsd
                           http://activemq.apache.org/schema/core http://activemq.apache.org/schema/core/activemq-core.xsd">
  <broker xmlns="http://activemq.apache.org/schema/core"
          brokerName="vqstomp" useJmx="false" dataDirectory="$BASE/data">
    <persistenceAdapter>
      <kahaDB directory="$BASE/data/kahadb"/>
    </persistenceAdapter>
    <transportConnectors>
      <transportConnector name="stomp" uri="stomp://$HOST:$PORT"/>
    </transportConnectors>
  </broker>
</beans>
EOF
    # Debian's build logs through log4j 1.2, not the log4j2 file upstream ships.
    cat > "$BASE/conf/log4j.properties" <<EOF
log4j.rootLogger=INFO, logfile
log4j.logger.org.springframework=WARN
log4j.logger.org.apache.xbean=WARN
log4j.appender.logfile=org.apache.log4j.FileAppender
log4j.appender.logfile.File=$BASE/data/activemq.log
log4j.appender.logfile.Append=true
log4j.appender.logfile.layout=org.apache.log4j.PatternLayout
log4j.appender.logfile.layout.ConversionPattern=%d | %-5p | %m | %c | %t%n
EOF
}

activemq_java() {
    local java
    for java in "$(command -v java || true)" /usr/lib/jvm/default-java/bin/java; do
        [[ -x $java ]] && { echo "$java"; return; }
    done
    die "no java found (the activemq package should have pulled default-jre-headless)"
}

activemq_launch() {
    local opens=(java.base/java.security java.base/java.net java.base/java.lang java.base/java.util
                 java.naming/javax.naming.spi java.rmi/sun.rmi.transport.tcp
                 java.base/java.util.concurrent java.base/java.util.concurrent.atomic)
    local args=(-Xms64M -Xmx512M -Djava.awt.headless=true "-Djava.io.tmpdir=$BASE/tmp"
                --add-reads=java.xml=java.logging)
    local o
    for o in "${opens[@]}"; do args+=(--add-opens "$o=ALL-UNNAMED"); done
    args+=("-Dactivemq.classpath=$BASE/conf" "-Dactivemq.home=$AMQ_HOME"
           "-Dactivemq.base=$BASE" "-Dactivemq.conf=$BASE/conf" "-Dactivemq.data=$BASE/data"
           -jar "$AMQ_HOME/bin/activemq.jar" start "xbean:file:$BASE/conf/activemq.xml")
    spawn "$BASE/broker.pid" "$BASE/data/console.log" "$(activemq_java)" "${args[@]}"
}

activemq_cleanup() { :; }

# --- RabbitMQ --------------------------------------------------------------------------

rabbitmq_package() { echo rabbitmq-server; }
rabbitmq_signature() { echo rabbitmq-server; }
rabbitmq_logs() { echo "$BASE/log/console.log $BASE/log/rabbit.log"; }

rabbitmq_configure() {
    mkdir -p "$BASE/conf" "$BASE/home" "$BASE/mnesia" "$BASE/log"
    cat > "$BASE/conf/rabbitmq.conf" <<EOF
stomp.listeners.tcp.1 = $HOST:$PORT
# Only STOMP is needed; staying off 5672 avoids clashing with a system RabbitMQ.
listeners.tcp = none
log.console = false
EOF
    echo '[rabbitmq_stomp].' > "$BASE/conf/enabled_plugins"
    : > "$BASE/conf/rabbitmq-env.conf"
    # Erlang insists the cookie is private to its owner.
    od -An -N16 -tx1 /dev/urandom | tr -d ' \n' > "$BASE/home/.erlang.cookie"
    chmod 400 "$BASE/home/.erlang.cookie"
}

epmd_running() { epmd -names > /dev/null 2>&1; }

# rabbitmq-server would spawn a daemonised epmd that nobody stops; run our own
# (unless one is already there) so that stop can take it down again.
start_epmd() {
    epmd_running && return 0
    spawn "$BASE/epmd.pid" "$BASE/log/epmd.log" epmd -address "$HOST"
    wait_until 10 epmd_running || die "epmd did not come up"
}

rabbitmq_launch() {
    export ERL_EPMD_ADDRESS=$HOST
    start_epmd
    # The /usr/sbin wrapper would switch to the rabbitmq user; every path is ours.
    (
        export HOME=$BASE/home
        export RABBITMQ_CONF_ENV_FILE=$BASE/conf/rabbitmq-env.conf
        export RABBITMQ_CONFIG_FILE=$BASE/conf/rabbitmq.conf
        export RABBITMQ_ADVANCED_CONFIG_FILE=$BASE/conf/advanced.config
        export RABBITMQ_ENABLED_PLUGINS_FILE=$BASE/conf/enabled_plugins
        export RABBITMQ_MNESIA_BASE=$BASE/mnesia
        export RABBITMQ_LOG_BASE=$BASE/log
        export RABBITMQ_LOGS=$BASE/log/rabbit.log
        export RABBITMQ_NODENAME=rabbit@localhost
        export RABBITMQ_NODE_IP_ADDRESS=$HOST
        # Off the default 25672 for the same reason as the AMQP listener,
        # and not reachable from outside.
        export RABBITMQ_DIST_PORT=25613
        export RABBITMQ_SERVER_ADDITIONAL_ERL_ARGS="-kernel inet_dist_use_interface {127,0,0,1}"
        spawn "$BASE/broker.pid" "$BASE/log/console.log" /usr/lib/rabbitmq/bin/rabbitmq-server
    )
}

rabbitmq_cleanup() { terminate "$BASE/epmd.pid" epmd; }

# --- commands ---------------------------------------------------------------------------

select_broker() {
    BROKER=$1
    BASE=$ROOT/$BROKER
}

stop_broker() {
    local t0 signature
    t0=$(now_us)
    signature=$("${BROKER}_signature")
    if owned_pid "$BASE/broker.pid" "$signature" > /dev/null; then
        terminate "$BASE/broker.pid" "$signature"
        say "$BROKER stopped after $(elapsed "$t0")"
    fi
    "${BROKER}_cleanup"
}

# Only one broker fits on the port: stop any that this script started.
stop_ours() {
    local b
    for b in "${BROKERS[@]}"; do
        select_broker "$b"
        stop_broker
    done
}

show_logs() {
    local f
    for f in $("${BROKER}_logs"); do
        [[ -s $f ]] || continue
        echo "--- tail of $f" >&2
        tail -n 40 "$f" >&2
    done
}

await_ready() { # pid
    local deadline=$(( $(now_us) + START_TIMEOUT * 1000000 ))
    until stomp_answers; do
        gone "$1" && { say "$BROKER exited during startup" >&2; return 1; }
        (( $(now_us) < deadline )) || { say "$BROKER gave no CONNECTED within ${START_TIMEOUT}s" >&2; return 1; }
        sleep 0.2
    done
}

cmd_start() {
    local wanted=$1 t0 pid
    ensure_package "$("${wanted}_package")"
    stop_ours
    if port_open; then
        stomp_answers && die "a STOMP broker not started by this script already answers on $HOST:$PORT"
        die "something not started by this script already listens on $HOST:$PORT"
    fi
    select_broker "$wanted"
    rm -rf "$BASE"
    "${BROKER}_configure"
    t0=$(now_us)
    "${BROKER}_launch"
    read -r pid < "$BASE/broker.pid"
    if ! await_ready "$pid"; then
        show_logs
        stop_broker
        exit 1
    fi
    say "$BROKER ready on $HOST:$PORT after $(elapsed "$t0") (pid $pid, files in $BASE)"
}

cmd_stop() {
    select_broker "$1"
    stop_broker
}

cmd_status() {
    if stomp_answers; then
        say "a STOMP broker answers on $HOST:$PORT"
    else
        say "no STOMP broker answers on $HOST:$PORT"
        return 1
    fi
}

main() {
    (( $# >= 1 && $# <= 2 )) || usage
    local broker=${2:-activemq}
    [[ " ${BROKERS[*]} " == *" $broker "* ]] || usage
    # The scratch folder is wiped on start.
    [[ $ROOT == /?* ]] || die "VQSTOMP_BROKER_DIR must be an absolute path other than / (got $ROOT)"
    case $1 in
        start) cmd_start "$broker" ;;
        stop) cmd_stop "$broker" ;;
        status) cmd_status ;;
        *) usage ;;
    esac
}

main "$@"

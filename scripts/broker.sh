#!/usr/bin/env bash
# Throwaway STOMP broker on 127.0.0.1 for the integration tests.
#
#   scripts/broker.sh start|stop|status [activemq|rabbitmq]   (default: activemq)
#
# start  (re)starts the broker and returns once it answers CONNECT and its TLS
#        ports take connections; it refuses to run when something it did not
#        start holds one of its ports.
# stop   stops what start started; nothing to stop is fine.
# status exits 0 when any STOMP broker answers CONNECT on the plain port.
#
# Ports:
#   61613  plain STOMP (both brokers)
#   61614  STOMP over TLS; ActiveMQ asks for no client certificate, RabbitMQ demands one
#   61615  STOMP over TLS demanding a client certificate (ActiveMQ only)
# The certificates come from tls-certs.sh, made once in tls/ under the scratch
# folder below and kept across starts: clients trust tls/ca.pem and present
# tls/client.pem where a certificate is demanded.
#
# The broker runs as a plain background process with its own configuration and
# an empty store under ${VQSTOMP_BROKER_DIR:-/tmp/vqstomp-broker}/<broker>.
# Nothing system-wide is touched except installing Debian packages if missing.
set -euo pipefail

readonly PORT=61613
readonly TLS_PORT=61614
readonly TLS_CLIENT_CERT_PORT=61615
readonly ROOT=${VQSTOMP_BROKER_DIR:-/tmp/vqstomp-broker}
readonly TLS_DIR=$ROOT/tls
readonly TLS_STORE_PASSWORD=vqstomp # the one tls-certs.sh gives the .p12 files
readonly START_TIMEOUT=${VQSTOMP_BROKER_TIMEOUT:-90}
readonly STOP_TIMEOUT=30
readonly BROKERS=(activemq rabbitmq)
readonly SELF=broker.sh
# shellcheck source-path=SCRIPTDIR source=broker-common.sh
source "$(dirname "${BASH_SOURCE[0]}")/broker-common.sh"

usage() {
    echo "usage: $0 start|stop|status [activemq|rabbitmq]" >&2
    exit 2
}

# --- ActiveMQ ------------------------------------------------------------------------

activemq_package() { echo activemq; }
activemq_signature() { echo "-Dactivemq.base=$BASE"; }
activemq_logs() { echo "$BASE/data/console.log $BASE/data/activemq.log"; }
activemq_tls_ports() { echo "$TLS_PORT $TLS_CLIENT_CERT_PORT"; }

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
    <sslContext>
      <sslContext keyStore="$TLS_DIR/broker.p12" keyStoreType="PKCS12" keyStorePassword="$TLS_STORE_PASSWORD"
                  trustStore="$TLS_DIR/truststore.p12" trustStoreType="PKCS12" trustStorePassword="$TLS_STORE_PASSWORD"/>
    </sslContext>
    <transportConnectors>
      <transportConnector name="stomp" uri="stomp://$HOST:$PORT"/>
      <transportConnector name="stomp+ssl" uri="stomp+ssl://$HOST:$TLS_PORT"/>
      <transportConnector name="stomp+ssl+client-cert" uri="stomp+ssl://$HOST:$TLS_CLIENT_CERT_PORT?needClientAuth=true"/>
    </transportConnectors>
  </broker>
</beans>
EOF
    activemq_log4j "$BASE"
}

activemq_launch() { activemq_spawn "$BASE" "$BASE/broker.pid"; }

activemq_cleanup() { :; }

# --- RabbitMQ --------------------------------------------------------------------------

rabbitmq_package() { echo rabbitmq-server; }
rabbitmq_signature() { echo rabbitmq-server; }
rabbitmq_logs() { echo "$BASE/log/console.log $BASE/log/rabbit.log"; }
rabbitmq_tls_ports() { echo "$TLS_PORT"; }

rabbitmq_configure() {
    mkdir -p "$BASE/conf" "$BASE/home" "$BASE/mnesia" "$BASE/log"
    cat > "$BASE/conf/rabbitmq.conf" <<EOF
stomp.listeners.tcp.1 = $HOST:$PORT
stomp.listeners.ssl.1 = $HOST:$TLS_PORT
# Only STOMP is needed; staying off 5672 and 5671 avoids clashing with a system RabbitMQ.
listeners.tcp = none
listeners.ssl = none
ssl_options.cacertfile = $TLS_DIR/ca.pem
ssl_options.certfile = $TLS_DIR/broker.pem
ssl_options.keyfile = $TLS_DIR/broker.key
ssl_options.verify = verify_peer
ssl_options.fail_if_no_peer_cert = true
log.console = false
EOF
    echo '[rabbitmq_stomp].' > "$BASE/conf/enabled_plugins"
    : > "$BASE/conf/rabbitmq-env.conf"
    # Erlang insists the cookie is private to its owner.
    od -An -N16 -tx1 /dev/urandom | tr -d ' \n' > "$BASE/home/.erlang.cookie"
    chmod 400 "$BASE/home/.erlang.cookie"
}

rabbitmq_launch() {
    export ERL_EPMD_ADDRESS=$HOST
    start_epmd "$BASE/epmd.pid" "$BASE/log/epmd.log"
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

ready() {
    stomp_answers "$PORT" || return 1
    local p
    for p in $("${BROKER}_tls_ports"); do port_open "$p" || return 1; done
}

await_ready() { # pid
    local deadline=$(( $(now_us) + START_TIMEOUT * 1000000 ))
    until ready; do
        gone "$1" && { say "$BROKER exited during startup" >&2; return 1; }
        (( $(now_us) < deadline )) || {
            say "$BROKER was not ready within ${START_TIMEOUT}s (CONNECTED on $PORT, TLS on $("${BROKER}_tls_ports"))" >&2
            return 1
        }
        sleep 0.2
    done
}

make_certificates() {
    ensure_package openssl
    # keytool writes the truststore ActiveMQ wants; RabbitMQ alone pulls in no Java.
    command -v keytool > /dev/null || ensure_package default-jre-headless
    "$(dirname "${BASH_SOURCE[0]}")/tls-certs.sh" "$TLS_DIR"
}

cmd_start() {
    local wanted=$1 t0 pid p
    ensure_package "$("${wanted}_package")"
    make_certificates
    stop_ours
    select_broker "$wanted"
    for p in $PORT $("${BROKER}_tls_ports"); do
        port_open "$p" || continue
        stomp_answers "$p" && die "a STOMP broker not started by this script already answers on $HOST:$p"
        die "something not started by this script already listens on $HOST:$p"
    done
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
    say "$BROKER ready on $HOST:$PORT, TLS on $("${BROKER}_tls_ports") after $(elapsed "$t0") (pid $pid, files in $BASE)"
}

cmd_stop() {
    select_broker "$1"
    stop_broker
}

cmd_status() {
    if stomp_answers "$PORT"; then
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

# shellcheck shell=bash
# Helpers shared by broker.sh and cluster.sh; sourced, never run.
#
# The sourcing script sets SELF (its name in messages) and STOP_TIMEOUT first.
# Processes are started in sessions of their own so that a whole broker, with
# every child it forks, can be signalled and waited for as one process group.

readonly HOST=127.0.0.1
readonly AMQ_HOME=/usr/share/activemq

say() { echo "$SELF: $*"; }
die() { echo "$SELF: $*" >&2; exit 1; }

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

port_open() { # port
    ( exec 3<>"/dev/tcp/$HOST/$1" ) 2>/dev/null
}

stomp_answers() { # port
    (
        exec 3<>"/dev/tcp/$HOST/$1" || exit 1
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

group_gone() { # pgid ; true once no live process is left in the group
    local f stat state pgrp
    for f in /proc/[0-9]*/stat; do
        read -r stat 2>/dev/null < "$f" || continue
        read -r state _ pgrp _ <<< "${stat##*) }"
        [[ $pgrp == "$1" && $state != Z ]] && return 1
    done
    return 0
}

owned_pid() { # pidfile pattern -> pid, if it still runs and its command line matches
    local pid
    [[ -r $1 ]] && read -r pid < "$1" || return 1
    [[ $pid =~ ^[0-9]+$ ]] && ! gone "$pid" || return 1
    [[ $(tr '\0' ' ' < "/proc/$pid/cmdline" 2>/dev/null) == *"$2"* ]] || return 1
    echo "$pid"
}

execed() { # pid ; the forked shell has become the command it runs, or is gone
    local own child
    own=$(tr '\0' ' ' < "/proc/$$/cmdline")
    child=$(tr '\0' ' ' < "/proc/$1/cmdline" 2>/dev/null) || return 0
    gone "$1" || [[ -n $child && $child != "$own" ]]
}

spawn() { # pidfile logfile command... ; runs in the pidfile's folder, in its own session
    local pidfile=$1 log=$2
    shift 2
    ( cd "$(dirname "$pidfile")" && exec setsid "$@" ) < /dev/null >> "$log" 2>&1 &
    echo $! > "$pidfile"
    # Until the exec, the pid's command line is still ours and would not pass as the node's.
    wait_until 10 execed $! || die "$1 did not start within 10s"
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
    wait_until 10 group_gone "$pid" || die "processes of group $pid survive SIGKILL"
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

activemq_log4j() { # base ; Debian's build logs through log4j 1.2, not the log4j2 file upstream ships
    cat > "$1/conf/log4j.properties" <<EOF
log4j.rootLogger=INFO, logfile
log4j.logger.org.springframework=WARN
log4j.logger.org.apache.xbean=WARN
log4j.appender.logfile=org.apache.log4j.FileAppender
log4j.appender.logfile.File=$1/data/activemq.log
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

activemq_spawn() { # base pidfile ; runs $base/conf/activemq.xml, console output in $base/data
    local base=$1
    local opens=(java.base/java.security java.base/java.net java.base/java.lang java.base/java.util
                 java.naming/javax.naming.spi java.rmi/sun.rmi.transport.tcp
                 java.base/java.util.concurrent java.base/java.util.concurrent.atomic)
    local args=(-Xms64M -Xmx512M -Djava.awt.headless=true "-Djava.io.tmpdir=$base/tmp"
                --add-reads=java.xml=java.logging)
    local o
    for o in "${opens[@]}"; do args+=(--add-opens "$o=ALL-UNNAMED"); done
    args+=("-Dactivemq.classpath=$base/conf" "-Dactivemq.home=$AMQ_HOME"
           "-Dactivemq.base=$base" "-Dactivemq.conf=$base/conf" "-Dactivemq.data=$base/data"
           -jar "$AMQ_HOME/bin/activemq.jar" start "xbean:file:$base/conf/activemq.xml")
    spawn "$2" "$base/data/console.log" "$(activemq_java)" "${args[@]}"
}

# --- RabbitMQ --------------------------------------------------------------------------

epmd_running() { epmd -names > /dev/null 2>&1; }

# rabbitmq-server would spawn a daemonised epmd that nobody stops; run our own
# (unless one is already there) so that stop can take it down again.
start_epmd() { # pidfile logfile
    epmd_running && return 0
    spawn "$1" "$2" epmd -address "$HOST"
    wait_until 10 epmd_running || die "epmd did not come up"
}

#!/bin/bash
# Measures Tollgate (tollgated), microsocks, Dante and no proxy at all on loopback, one after the
# other in the same run, and prints one table (a row per measurement, a column per proxy).
#
#   bench/run-bench.sh [--seconds S] [--rounds N] [--only tp,setup,auth,syscalls,udp,idle]
#                      [--without tollgate,microsocks,dante]
#
# Installs microsocks and dante-server when missing, builds tgbench and tollgated in build/bench
# (Release), starts each proxy on a loopback port of its own with a descriptor limit of 20000, runs
# tgbench against it, and stops it again. Only the processes started here are ever stopped, by PID
# (Dante's own children by theirs, should its main process not take them along). Logs of the last run
# stay in build/bench/run/. Figures on this machine drift by tens of per cent within minutes, so the
# timed figures are taken in N rounds (3 by default), each measuring every column in turn, and the
# table shows each figure's median; the system calls and idle tunnels are taken in the first round.
# The whole run takes about 7 to 10 minutes at 3 s per figure and 3 rounds, plus the build.
# The user/password rows come from a second start of each proxy that serves them (Tollgate and
# microsocks) with the bench's account; the system calls per set-up are counted with strace
# attached to the running proxy over a fixed number of set-ups.
set -eu
cd "$(dirname "$0")/.."
ROOT=$(pwd)
BUILD=$ROOT/build/bench
RUN=$BUILD/run
FIGURE_SECONDS=3
ROUNDS=3
ONLY=tp,setup,auth,syscalls,udp,idle
WITHOUT=""
while [ $# -gt 0 ]; do
    case "$1" in
        --seconds) FIGURE_SECONDS=$2; shift 2 ;;
        --rounds) ROUNDS=$2; shift 2 ;;
        --only) ONLY=$2; shift 2 ;;
        --without) WITHOUT=$2; shift 2 ;;
        *) echo "usage: $0 [--seconds S] [--rounds N] [--only tp,setup,auth,syscalls,udp,idle] [--without tollgate,microsocks,dante]" >&2
           exit 2 ;;
    esac
done
wanted() { case ",$WITHOUT," in *",$1,"*) return 1 ;; *) return 0 ;; esac; }
with_auth() { case ",$ONLY," in *",auth,"*) return 0 ;; *) return 1 ;; esac; }
# The first start of each proxy takes every figure but the user/password rows.
MAIN_ONLY=$(echo ",$ONLY," | sed -e 's/,auth,/,/' -e 's/^,//' -e 's/,$//')
# Rounds after the first take only the timed figures.
TIMED_ONLY=$(echo ",$MAIN_ONLY," | sed -e 's/,syscalls,/,/' -e 's/,idle,/,/' -e 's/^,//' -e 's/,$//')
case "$ROUNDS" in ''|*[!0-9]*|0) echo "--rounds wants a count of 1 or more" >&2; exit 2 ;; esac

TOLLGATE_BENCH_PEERS=1 ./scripts/install-deps.sh --native
# Other work on the machine shows in every figure: the table prints the load found before the run.
LOAD_BEFORE=$(cut -d' ' -f1 /proc/loadavg)

echo "building tgbench and tollgated in $BUILD ..." >&2
cmake -S . -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$BUILD" --target tgbench -j2 >/dev/null
rm -rf "$RUN"
mkdir -p "$RUN"
TGBENCH=$BUILD/bench/tgbench
TOLLGATED=""
if wanted tollgate; then
    if cmake --build "$BUILD" --target tollgated -j2 >"$RUN/build-tollgated.log" 2>&1; then
        TOLLGATED=$BUILD/tollgated
    else
        echo "tollgated did not build (see $RUN/build-tollgated.log): its column stays empty" >&2
    fi
fi

PROXY_PID=""
PROXY_CHILDREN=""

running() {
    # A process that has ended but is not yet reaped still answers kill -0: look at its state.
    [ -r "/proc/$1/stat" ] && ! sed 's/.*) //' "/proc/$1/stat" 2>/dev/null | grep -q '^Z'
}

start_proxy() {  # name stdout command...: starts it with 20000 descriptors, sets PROXY_PID
    local name=$1 out=$2
    shift 2
    (
        ulimit -n 20000 2>/dev/null || ulimit -n "$(ulimit -Hn)"
        exec "$@"
    ) >"$out" 2>"$RUN/$name.err" </dev/null &
    PROXY_PID=$!
}

stop_proxy() {
    [ -n "$PROXY_PID" ] || return 0
    # Dante works through child processes; note them now, in case its main process leaves them.
    PROXY_CHILDREN=$(ps -o pid= --ppid "$PROXY_PID" 2>/dev/null || true)
    kill -TERM "$PROXY_PID" 2>/dev/null || true
    local i=0
    while running "$PROXY_PID" && [ $i -lt 100 ]; do sleep 0.1; i=$((i + 1)); done
    if running "$PROXY_PID"; then
        echo "  $PROXY_PID did not stop within 10 s: killing it" >&2
        kill -KILL "$PROXY_PID" 2>/dev/null || true
    fi
    wait "$PROXY_PID" 2>/dev/null || true
    for child in $PROXY_CHILDREN; do
        if running "$child"; then kill -KILL "$child" 2>/dev/null || true; fi
    done
    PROXY_PID=""
}

trap 'stop_proxy' EXIT
trap 'exit 130' INT TERM

wait_ready() {  # port: true once the proxy accepts on it (within 10 s), false as soon as it has died
    local i=0
    while [ $i -lt 50 ]; do
        running "$PROXY_PID" || return 1
        "$TGBENCH" wait-port "127.0.0.1:$1" 0.2 && return 0
        i=$((i + 1))
    done
    return 1
}

COLUMNS=()  # the columns' file names, in table order
ROUND=1
# Each column has a results file per round ($RUN/<file>.r<round>.txt); the first round lists it.
measure() {  # name file [tgbench options...]
    local name=$1 file=$RUN/$2.r$ROUND.txt
    [ "$ROUND" -gt 1 ] || COLUMNS+=("$2")
    local only=$MAIN_ONLY
    [ "$ROUND" -eq 1 ] || only=$TIMED_ONLY
    shift 2
    echo "=== $name (round $ROUND of $ROUNDS)" >&2
    if [ -z "$only" ]; then
        printf 'name\t%s\n' "$name" >"$file"
    elif ! "$TGBENCH" run --name "$name" --seconds "$FIGURE_SECONDS" --only "$only" --out "$file" "$@" \
        2> >(tee "$RUN/$(basename "$file" .txt).log" >&2) >/dev/null; then
        printf 'name\t%s\ntp.down\tgenerator failed\n' "$name" >"$file"
    fi
}

measure_auth() {  # name file [tgbench options...]: the user/password rows, added to the file
    local name=$1 file=$RUN/$2.r$ROUND.txt
    shift 2
    echo "=== $name, user name and password (round $ROUND of $ROUNDS)" >&2
    if ! "$TGBENCH" run --name "$name" --seconds "$FIGURE_SECONDS" --only auth --out "$file" --append "$@" \
        2> >(tee "$RUN/$2-auth.r$ROUND.log" >&2) >/dev/null; then
        printf 'setup.auth.4\tgenerator failed\n' >>"$file"
    fi
}

auth_not_measured() {  # file reason
    printf 'setup.auth.4\t%s\nsetup.auth.32\t%s\n' "$2" "$2" >>"$RUN/$1.r$ROUND.txt"
}

not_started() {  # name file reason [where to look]
    echo "=== $1: $3${4:+ (see $4)}" >&2
    [ "$ROUND" -gt 1 ] || COLUMNS+=("$2")
    printf 'name\t%s\ntp.down\t%s\n' "$1" "$3" >"$RUN/$2.r$ROUND.txt"
}

run_round() {  # every column once, in table order
    # No proxy: the loopback limit of the same measurements.
    measure "no proxy" direct

    # Tollgate: a settings store of its own with the service address on a free loopback port.
    if wanted tollgate; then
        if [ -n "$TOLLGATED" ]; then
            port=$("$TGBENCH" free-port)
            cat >"$RUN/tollgate.reg" <<EOF
REGEDIT4

[HKEY_CURRENT_USER\\Software\\Kestrel Co\\Tollgate]
"Service Address"=hex:02,00,$(printf '%02x,%02x' $((port >> 8)) $((port & 255))),7f,00,00,01,00,00,00,00,00,00,00,00
"Socks5"=hex:01,00,00,00
"Socks4"=hex:01,00,00,00
"Socks5 Auth"=hex:00,00,00,00
"IP Filter"=hex:00,00,00,00
"Log"=hex:00,00,00,00
"Connection Limit"=hex:0f,27,00,00
EOF
            start_proxy tollgate "$RUN/tollgate.out" "$TOLLGATED" --config "$RUN/tollgate.reg"
            if wait_ready "$port"; then
                measure Tollgate tollgate --proxy "127.0.0.1:$port" --pid "$PROXY_PID"
            else
                not_started Tollgate tollgate "did not start" "$RUN/tollgate.err"
            fi
            stop_proxy
            if with_auth; then
                # The same store, with the bench's account required for this run only.
                printf 'loopback-only\n' >"$RUN/bench.password"
                start_proxy tollgate-auth "$RUN/tollgate-auth.out" "$TOLLGATED" --config "$RUN/tollgate.reg" \
                    --user bench --password-file "$RUN/bench.password"
                if wait_ready "$port"; then
                    measure_auth Tollgate tollgate --proxy "127.0.0.1:$port" --pid "$PROXY_PID"
                else
                    auth_not_measured tollgate "did not start"
                fi
                stop_proxy
            fi
        else
            not_started Tollgate tollgate "not built" "$RUN/build-tollgated.log"
        fi
    fi

    # microsocks: SOCKS5 only, no UDP.
    if wanted microsocks; then
        port=$("$TGBENCH" free-port)
        # microsocks prints a line per client on its standard output; that is not what is measured.
        start_proxy microsocks /dev/null microsocks -i 127.0.0.1 -p "$port"
        if wait_ready "$port"; then
            measure microsocks microsocks --proxy "127.0.0.1:$port" --pid "$PROXY_PID" --no-socks4 --no-udp
        else
            not_started microsocks microsocks "did not start" "$RUN/microsocks.err"
        fi
        stop_proxy
        if with_auth; then
            start_proxy microsocks-auth /dev/null microsocks -i 127.0.0.1 -p "$port" -u bench -P loopback-only
            if wait_ready "$port"; then
                measure_auth microsocks microsocks --proxy "127.0.0.1:$port" --pid "$PROXY_PID" --no-socks4 --no-udp
            else
                auth_not_measured microsocks "did not start"
            fi
            stop_proxy
        fi
    fi

    # Dante: a minimal configuration from the template, in the foreground.
    if wanted dante; then
        port=$("$TGBENCH" free-port)
        sed -e "s|@PORT@|$port|" -e "s|@LOG@|$RUN/danted.log|" "$ROOT/bench/danted.conf.in" >"$RUN/danted.conf"
        start_proxy dante "$RUN/dante.out" danted -f "$RUN/danted.conf" -p "$RUN/danted.pid"
        if wait_ready "$port"; then
            measure dante dante --proxy "127.0.0.1:$port" --pid "$PROXY_PID"
        else
            not_started dante dante "did not start" "$RUN/dante.err and $RUN/danted.log"
        fi
        stop_proxy
        # Dante checks user names and passwords against the system's accounts (PAM or the password
        # file): the bench creates no account, so its column has no user/password rows.
        if with_auth; then auth_not_measured dante "n/a"; fi
    fi
}

for ROUND in $(seq 1 "$ROUNDS"); do
    run_round
done

# One file per column: the median of its rounds.
COLUMNS_FILES=()
for column in "${COLUMNS[@]}"; do
    "$TGBENCH" median --out "$RUN/$column.txt" "$RUN/$column".r*.txt
    COLUMNS_FILES+=("$RUN/$column.txt")
done

echo >&2
"$TGBENCH" table --seconds "$FIGURE_SECONDS" --rounds "$ROUNDS" --load "$LOAD_BEFORE" "${COLUMNS_FILES[@]}" |
    tee "$RUN/table.txt"

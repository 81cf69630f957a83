#!/usr/bin/env bash
# Runs the example tools against each other on loopback: an echo server with
# a user list, a client that logs in and exchanges messages, a client with a
# wrong password, and a datagram ping; then stops the server with SIGTERM.
# Prints a short transcript; exits 0 only if everything behaved as expected.
#
# usage: scripts/demo.sh [DIR]   (DIR holds the tools; default build/examples)
set -uo pipefail

bin_dir=${1:-build/examples}
server=$bin_dir/vesk-echo-server
client=$bin_dir/vesk-echo-client
ping=$bin_dir/vesk-udp-ping
for tool in "$server" "$client" "$ping"; do
    [ -x "$tool" ] || { echo "demo: $tool not found; build first (make build)" >&2; exit 2; }
done

work=$(mktemp -d)
server_pid=""
cleanup() {
    if [ -n "$server_pid" ] && kill -0 "$server_pid" 2>/dev/null; then
        kill -KILL "$server_pid" 2>/dev/null
        wait "$server_pid" 2>/dev/null
    fi
    rm -rf "$work"
}
trap cleanup EXIT

failures=0
check() {  # check WHAT EXPECTED ACTUAL
    if [ "$2" = "$3" ]; then
        echo "   ok: $1"
    else
        echo "   FAILED: $1 (exit status $3, expected $2)"
        failures=$((failures + 1))
    fi
}
indent() { sed 's/^/   | /'; }

printf 'alice\tsecret\n' >"$work/users"

# The library cannot report which port it bound, so the demo picks a random
# port below the kernel's ephemeral range and tries again if it is taken.
started=no
for _ in 1 2 3 4 5 6 7 8; do
    port=$((20000 + RANDOM % 12000))
    : >"$work/server.log"
    # --timeout: the server stops by itself should this script be killed.
    "$server" --port "$port" --cipher blowfish --users "$work/users" --timeout 60 \
        >"$work/server.log" 2>&1 &
    server_pid=$!
    for _ in $(seq 50); do  # up to 5 s
        grep -q '^listening' "$work/server.log" && { started=yes; break 2; }
        kill -0 "$server_pid" 2>/dev/null || break
        sleep 0.1
    done
    kill -KILL "$server_pid" 2>/dev/null
    wait "$server_pid" 2>/dev/null
    server_pid=""
done
if [ "$started" != yes ]; then
    echo "demo: the echo server did not start" >&2
    cat "$work/server.log" >&2
    exit 1
fi

echo "== vesk demo on 127.0.0.1 port $port (TCP with Blowfish, UDP); user list: alice"
echo "-- vesk-echo-server --port $port --cipher blowfish --users users"
indent <"$work/server.log"

echo "-- VESK_PASSWORD=secret vesk-echo-client --user alice --count 20 --size 256"
VESK_PASSWORD=secret timeout 10 "$client" --port "$port" --user alice --count 20 --size 256 >"$work/good.log" 2>&1
status=$?
indent <"$work/good.log"
check "login accepted and all 20 messages echoed" 0 "$status"

echo "-- vesk-echo-client --user alice --password-file wrong-password"
echo wrong >"$work/wrong-password"
timeout 10 "$client" --port "$port" --user alice --password-file "$work/wrong-password" --count 1 \
    >"$work/bad.log" 2>&1
status=$?
indent <"$work/bad.log"
check "wrong password refused" 1 "$status"

echo "-- vesk-udp-ping --count 3"
timeout 10 "$ping" --port "$port" --count 3 >"$work/ping.log" 2>&1
status=$?
indent <"$work/ping.log"
check "all pings answered" 0 "$status"

echo "-- stopping the server with SIGTERM"
kill -TERM "$server_pid"
status=timeout
for _ in $(seq 50); do  # up to 5 s
    if ! kill -0 "$server_pid" 2>/dev/null; then
        wait "$server_pid"
        status=$?
        server_pid=""
        break
    fi
    sleep 0.1
done
check "server stopped cleanly" 0 "$status"

echo "-- what the server saw (its data and message lines summarised)"
grep -v -e ' data$' -e ' message type ' -e '^listening' "$work/server.log" | indent
echoed=$(grep -c ' message type 1000, 256 bytes, echoed$' "$work/server.log")
echo "   | ($echoed messages of type 1000 echoed over TCP)"
handshakes=$(grep -c ' handshake finished$' "$work/server.log")
check "server finished both handshakes" 2 "$handshakes"
check "server echoed 20 messages" 20 "$echoed"

if [ "$failures" -ne 0 ]; then
    echo "== demo FAILED ($failures checks)"
    exit 1
fi
echo "== demo passed"

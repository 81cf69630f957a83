#!/usr/bin/env bash
# Checks how the example tools take their arguments and report outcomes:
# --help and --version, refused options, the password from the environment
# and from a file, IPv6 and host names, the client's distinct exit statuses
# for "cannot connect", "closed before the handshake finished", "no answer"
# and "login refused", the summary on SIGINT, and key files: vesk-keygen's
# files and fingerprints, the server's --key, the client's --pin and
# --known-servers. Raw listeners are small Perl programs (perl-base is on
# every Debian system). Takes a few seconds.
#
# With a second directory, also the benchmark tools' --help and refusal of
# unknown options.
#
# usage: scripts/test-tools.sh [DIR [PERF_DIR]]   (DIR holds the tools; default build/examples)
set -uo pipefail

bin_dir=${1:-build/examples}
perf_dir=${2:-}
server=$bin_dir/vesk-echo-server
client=$bin_dir/vesk-echo-client
ping=$bin_dir/vesk-udp-ping
keygen=$bin_dir/vesk-keygen
for tool in "$server" "$client" "$ping" "$keygen"; do
    [ -x "$tool" ] || { echo "test-tools: $tool not found; build first" >&2; exit 2; }
done

. "$(dirname "$0")/check-support.sh"
# expect STATUS WHAT COMMAND...: runs COMMAND (10 s at most), checks its exit status.
expect() {
    local status=$1 what=$2
    shift 2
    timeout 10 "$@" >"$work/out" 2>&1
    check "$what" "$status" "$?"
}
has_output() {  # has_output WHAT PATTERN: the last command's output matches
    if grep -Eq -- "$2" "$work/out"; then
        echo "ok: $1"
    else
        echo "FAILED: $1 (no '$2' in:)"
        sed 's/^/   | /' "$work/out"
        failures=$((failures + 1))
    fi
}
# raw_listener MODE: a loopback listener that accepts connections and then
# closes each after reading the first bytes (close) or says nothing (silent);
# its port is in $work/MODE.port.
raw_listener() {
    perl -MIO::Socket::INET -e '
        my $listener = IO::Socket::INET->new(Listen => 5, LocalAddr => "127.0.0.1", LocalPort => 0) or die;
        $| = 1;
        print $listener->sockport, "\n";
        my @held;
        while (my $peer = $listener->accept) {
            if ($ARGV[0] eq "close") { my $bytes; sysread($peer, $bytes, 100); close $peer; }
            else { push @held, $peer; }
        }' "$1" >"$work/$1.port" &
    pids+=($!)
    for _ in $(seq 50); do
        [ -s "$work/$1.port" ] && break
        sleep 0.1
    done
}

for tool in "$server" "$client" "$ping" "$keygen"; do
    name=$(basename "$tool")
    expect 0 "$name --help" "$tool" --help
    has_output "$name --help prints the usage" "^usage: $name"
    expect 0 "$name --version" "$tool" --version
    has_output "$name --version prints the version" "^$name [0-9]+\.[0-9]+\.[0-9]+$"
    expect 2 "$name refuses an unknown option" "$tool" --colour blue
    has_output "$name names the unknown option" "unknown option '--colour'"
done
if [ -n "$perf_dir" ]; then
    for tool in "$perf_dir"/vesk_perf_*; do
        name=$(basename "$tool")
        expect 0 "$name --help" "$tool" --help
        has_output "$name --help prints the usage and runs nothing" "^usage: .*$name"
        expect 2 "$name refuses an unknown option" "$tool" --secondz 1
        has_output "$name names the unknown option" "unknown option '--secondz'"
    done
fi
expect 2 "the client refuses --password" "$client" --port 1 --user alice --password secret
has_output "the client says where the password goes" "VESK_PASSWORD"
env -u VESK_PASSWORD timeout 10 "$client" --port 1 --user alice >"$work/out" 2>&1
check "the client wants a password" 2 "$?"

printf 'alice\tsecret\n' >"$work/users"
echo secret >"$work/password"
start_echo_server "$work/server.log" --cipher none --users "$work/users" --timeout 60

expect 2 "a second server on a taken port fails" "$server" --port "$port" --family 4
has_output "it says it cannot listen" "cannot listen on TCP port $port"
has_output "the library's log line tells why" "error: listen on .*:$port: Address already in use"
VESK_PASSWORD=secret timeout 10 "$client" --port "$port" --user alice --count 3 >"$work/out" 2>&1
check "password from VESK_PASSWORD" 0 "$?"
cp "$work/server.log" "$work/out"
has_output "the server's message lines name the user" "user alice message type "
expect 0 "vesk-echo-server --help" "$server" --help
has_output "the server offers --require-login" "^  --require-login "
expect 0 "password from --password-file, --host localhost" \
    "$client" --host localhost --port "$port" --user alice --password-file "$work/password" --count 3
if ip -6 addr show dev lo 2>/dev/null | grep -q '::1/128'; then
    expect 0 "client over IPv6 (--host ::1)" \
        "$client" --host ::1 --port "$port" --user alice --password-file "$work/password" --count 3
    expect 0 "ping over IPv6 (--host ::1)" "$ping" --host ::1 --port "$port" --count 2
else
    echo "skipped: IPv6 checks (no ::1 on lo)"
fi
echo wrong >"$work/wrong"
expect 1 "wrong password: login refused" "$client" --port "$port" --user alice --password-file "$work/wrong"
has_output "it says login refused" "^login refused$"

raw_listener close
closing_port=$(cat "$work/close.port")
expect 4 "peer closes during the handshake: exit 4" \
    "$client" --port "$closing_port" --user alice --password-file "$work/password"
has_output "it says so" "closed the connection before the handshake finished"
raw_listener silent
silent_port=$(cat "$work/silent.port")
expect 5 "peer says nothing: exit 5 after --timeout" \
    "$client" --port "$silent_port" --user alice --password-file "$work/password" --timeout 1
has_output "it says no answer" "no answer to the handshake"
# The closing listener's port once it is gone: nothing listens there.
kill -KILL "${pids[-1]}" "${pids[-2]}" 2>/dev/null
wait "${pids[-1]}" "${pids[-2]}" 2>/dev/null
expect 3 "nothing listening: cannot connect" \
    "$client" --port "$closing_port" --user alice --password-file "$work/password"

# SIGINT once the exchange runs: the summary is printed, exit 128 + 2.
for tool in client ping; do
    if [ $tool = client ]; then
        VESK_PASSWORD=secret "$client" --port "$port" --user alice --count 1000000 >"$work/out" 2>&1 &
    else
        "$ping" --port "$port" --count 100000 >"$work/out" 2>&1 &
    fi
    pid=$!
    for _ in $(seq 100); do
        grep -q 'answer from\|login accepted' "$work/out" && break
        sleep 0.05
    done
    kill -INT "$pid"
    wait "$pid"
    check "$tool stopped by SIGINT exits 130" 130 "$?"
    has_output "$tool prints its summary on SIGINT" "^[0-9]+ of [0-9]+ .* (echoed|answered)$"
done

# Key files: modes, the fingerprint as sha256sum computes it, no overwrite
# without --force; then a server with --key and clients with --pin.
expect 0 "vesk-keygen writes a key pair" sh -c 'umask 022 && exec "$0" --out "$1"' "$keygen" "$work/server.key"
fingerprint=$(sed -n 's/^fingerprint: //p' "$work/out")
check "the private key file is mode 600" 600 "$(stat -c %a "$work/server.key")"
check "the public key file is mode 644" 644 "$(stat -c %a "$work/server.key.pub")"
check "the fingerprint is the SHA-256 of the public key file" "$(sha256sum <"$work/server.key.pub" | cut -d' ' -f1)" \
    "$fingerprint"
expect 0 "--fingerprint of the private key" "$keygen" --fingerprint "$work/server.key"
check "it is the same fingerprint" "$fingerprint" "$(cat "$work/out")"
expect 1 "vesk-keygen keeps an existing key" "$keygen" --out "$work/server.key"
has_output "it points to --force" "File exists \(--force replaces it\)"
check "the key is still the same" "$fingerprint" "$(sha256sum <"$work/server.key.pub" | cut -d' ' -f1)"
expect 0 "vesk-keygen --bits 1280" "$keygen" --out "$work/other.key" --bits 1280
cp "$work/server.key" "$work/other.key"
chmod 644 "$work/other.key"
expect 0 "vesk-keygen --force replaces a key" "$keygen" --out "$work/other.key" --force
other_fingerprint=$(sed -n 's/^fingerprint: //p' "$work/out")
check "--force gives a new key" 1 "$([ "$other_fingerprint" != "$fingerprint" ] && echo 1)"
check "--force makes the private key file mode 600 again" 600 "$(stat -c %a "$work/other.key")"
expect 1 "--fingerprint of a file that is no key" "$keygen" --fingerprint "$work/users"
expect 2 "the server refuses a public key as --key" "$server" --port 1 --key "$work/server.key.pub"
has_output "it says why" "cannot use the key file"

start_echo_server "$work/keyed.log" --users "$work/users" --key "$work/server.key" --timeout 60
cp "$work/keyed.log" "$work/out"
has_output "the server names its key's fingerprint" "server key: $fingerprint$"
expect 0 "a client pinned to the server's key" \
    env VESK_PASSWORD=secret "$client" --port "$port" --user alice --pin "$fingerprint" --count 3
seen=$(wc -l <"$work/keyed.log")
expect 6 "a client pinned to another key fails in the handshake" \
    env VESK_PASSWORD=secret "$client" --port "$port" --user alice --pin "$other_fingerprint"
has_output "it says the key is not the pinned one" "not the pinned or known one"
# The server reports the close after whatever the client sent: no data.
for _ in $(seq 100); do
    tail -n +"$((seen + 1))" "$work/keyed.log" | grep -q ' closed$' && break
    sleep 0.05
done
tail -n +"$((seen + 1))" "$work/keyed.log" >"$work/out"
has_output "the server saw that client close" " closed$"
check "it received nothing from that client, no login" 0 "$(grep -c ' data$' "$work/out")"
expect 2 "the client refuses a --pin that is not 64 hex digits" \
    env VESK_PASSWORD=secret "$client" --port "$port" --user alice --pin "${fingerprint:1}"
has_output "it says what a pin is" "64 hex digits"
known=$work/known_servers
expect 0 "a client with --known-servers learns the key at the first contact" \
    env VESK_PASSWORD=secret "$client" --port "$port" --user alice --known-servers "$known" --count 1
check "the file names the server's key" "127.0.0.1 $port $fingerprint" "$(cat "$known")"
expect 0 "and connects with the key it knows" \
    env VESK_PASSWORD=secret "$client" --port "$port" --user alice --known-servers "$known" --count 1
echo "127.0.0.1 $port $other_fingerprint" >"$known"
expect 6 "a known server that shows another key fails in the handshake" \
    env VESK_PASSWORD=secret "$client" --port "$port" --user alice --known-servers "$known"
has_output "it says the key is not the known one" "not the pinned or known one"
echo "127.0.0.1 $port" >"$known"
expect 2 "the client refuses a malformed known-servers file" \
    env VESK_PASSWORD=secret "$client" --port "$port" --user alice --known-servers "$known"

if [ "$failures" -ne 0 ]; then
    echo "== tool checks FAILED ($failures)"
    exit 1
fi
echo "== tool checks passed"

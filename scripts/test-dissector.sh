#!/usr/bin/env bash
# Checks the Wireshark dissector (tools/wireshark/vesk.lua) on a real capture:
# dumpcap records two echo servers on loopback, one without a cipher and one
# with 3DES, while the example client logs in and exchanges messages; tshark
# with the dissector must then show what the tools sent. The session without
# a cipher is found by the dissector's heuristic, the 3DES one by Decode As.
# The 3DES server uses a key from vesk-keygen, whose fingerprint the
# dissector must show.
# Needs root (or capture rights) and tshark: scripts/install-deps.sh wireshark.
# Exits 77 (skipped) when tshark or dumpcap is missing.
#
# usage: scripts/test-dissector.sh [DIR]   (DIR holds the example tools; default build/examples)
set -uo pipefail

here=$(cd "$(dirname "$0")/.." && pwd)
plugin=$here/tools/wireshark/vesk.lua
bin_dir=${1:-build/examples}
server=$bin_dir/vesk-echo-server
client=$bin_dir/vesk-echo-client
keygen=$bin_dir/vesk-keygen
for tool in "$server" "$client" "$keygen"; do
    [ -x "$tool" ] || { echo "test-dissector: $tool not found; build first" >&2; exit 2; }
done
for program in tshark dumpcap; do
    command -v "$program" >/dev/null || { echo "skipped: no $program (scripts/install-deps.sh wireshark)"; exit 77; }
done

. "$(dirname "$0")/check-support.sh"

# start_server CIPHER [ARGS...]: an echo server with that cipher; sets $port.
start_server() {
    local cipher=$1
    shift
    start_echo_server "$work/server-$cipher.log" --family 4 --cipher "$cipher" --users "$work/users" --timeout 60 "$@"
}

printf 'alice\tsecret\n' >"$work/users"
echo secret >"$work/password"
echo wrong >"$work/wrong"
start_server none
plain_port=$port
"$keygen" --out "$work/server.key" >"$work/keygen.log" || { cat "$work/keygen.log" >&2; exit 1; }
key_fingerprint=$(sed -n 's/^fingerprint: //p' "$work/keygen.log")
start_server 3des --key "$work/server.key"
des_port=$port

capture=$work/capture.pcapng
dumpcap -q -i lo -f "tcp port $plain_port or tcp port $des_port" -w "$capture" 2>"$work/dumpcap.log" &
dumpcap_pid=$!
pids+=("$dumpcap_pid")
for _ in $(seq 50); do
    grep -q 'Capturing on' "$work/dumpcap.log" && break
    sleep 0.1
done
# dumpcap says it captures a moment before its filter takes packets: bare
# connections to the server (no record in them) show when it does.
capturing=no
for _ in $(seq 50); do
    (exec 3<>"/dev/tcp/127.0.0.1/$plain_port") 2>/dev/null
    if [ -n "$(tshark -r "$capture" -c 1 2>/dev/null)" ]; then
        capturing=yes
        break
    fi
    sleep 0.1
done
if [ "$capturing" != yes ]; then
    echo "test-dissector: dumpcap captures nothing:" >&2
    cat "$work/dumpcap.log" >&2
    exit 1
fi

run_client() {  # run_client PORT PASSWORD_FILE COUNT SIZE: the client's exit status
    timeout 10 "$client" --port "$1" --user alice --password-file "$2" --count "$3" --size "$4" >>"$work/client.log" 2>&1
    echo $?
}
check "client without a cipher: 3 echoes of 64 bytes" 0 "$(run_client "$plain_port" "$work/password" 3 64)"
check "client without a cipher: wrong password refused" 1 "$(run_client "$plain_port" "$work/wrong" 1 64)"
check "client with 3DES: 2 echoes of 100 bytes" 0 "$(run_client "$des_port" "$work/password" 2 100)"
# A ClientHello written in two segments, 50 ms apart: the dissector must put
# the record together.
perl -MIO::Socket::INET -MSocket=IPPROTO_TCP,TCP_NODELAY -e '
    my $peer = IO::Socket::INET->new(PeerAddr => "127.0.0.1", PeerPort => $ARGV[0]) or die;
    setsockopt($peer, IPPROTO_TCP, TCP_NODELAY, 1);
    my $hello = pack("C*", 1, 2, 0, 0, 0, 9, 0, 0, 0, 5, 0, 3, 0, 1, 2);
    syswrite($peer, substr($hello, 0, 12));
    select(undef, undef, undef, 0.05);
    syswrite($peer, substr($hello, 12));
    my $answer;
    sysread($peer, $answer, 1000);' "$plain_port"
# Lets the last segments reach the capture before it stops.
sleep 0.5
kill -INT "$dumpcap_pid"
wait "$dumpcap_pid"

# One tshark run decodes the capture into a table: a line per packet with
# the dissector's fields (several values of a field joined by commas).
columns=(frame.number tcp.stream tcp.srcport tcp.dstport vesk.record.type vesk.handshake.type vesk.hello.offered
    vesk.hello.chosen vesk.ske.key_length vesk.ske.exponent vesk.ske.key vesk.ske.fingerprint vesk.cke.key_length
    vesk.cke.iv_length vesk.msg.type vesk.msg.size vesk.login.uid vesk.login.password vesk.login.result)
names=(frame stream src dst record hs offered chosen keylen exponent key fingerprint ckekey ckeiv msgtype msgsize
    uid password result)
arguments=()
for column in "${columns[@]}"; do arguments+=(-e "$column"); done
tshark -n -r "$capture" -X lua_script:"$plugin" -o tcp.try_heuristic_first:TRUE -d "tcp.port==$des_port,vesk" \
    -Y vesk -T fields -E 'separator=|' -E aggregator=, "${arguments[@]}" >"$work/table" 2>"$work/tshark.log"

# fields CONDITION NAME...: the named fields of the packets that meet the awk
# CONDITION over the names above (has(NAME, VALUE): one of its values is
# VALUE), one packet per line, fields joined by "/".
fields() {
    local condition=$1 program="" output="" i
    shift
    for i in "${!names[@]}"; do program+="${names[$i]} = \$$((i + 1)); "; done
    for name in "$@"; do output+="${output:+ \"/\" }$name"; done
    awk -F'|' -v plain="$plain_port" -v des="$des_port" "
        function has(list, value,   parts, n, i) {
            n = split(list, parts, \",\")
            for (i = 1; i <= n; ++i) if (parts[i] == value) return 1
            return 0
        }
        { $program if ($condition) print $output }" "$work/table"
}
joined() { paste -sd' ' -; }
each() { tr ',' '\n' | joined; }

plain="(src == plain || dst == plain)"
des="(src == des || dst == des)"
# Session without a cipher: the handshake, then the messages.
check "plain: ClientHello offers none, 3DES and Blowfish (the last one split)" "0,1,2 0,1,2 0,1,2" \
    "$(fields "$plain && has(hs, 0)" offered | joined)"
check "plain: ServerHello chooses none" "0 0 0" "$(fields "$plain && has(hs, 1)" chosen | joined)"
check "plain: ServerKeyExchange with a 140-byte key, exponent 65537" "140/65537 140/65537 140/65537" \
    "$(fields "$plain && has(hs, 2)" keylen exponent | joined)"
check "plain: no ClientKeyExchange without a cipher" "" "$(fields "$plain && has(hs, 4)" frame | joined)"
check "plain: login requests with their user ids and passwords" "alice/secret alice/wrong" \
    "$(fields "$plain && has(msgtype, \"0x10000004\")" uid password | joined)"
check "plain: login results accepted, then refused" "1 0" \
    "$(fields "$plain && has(msgtype, \"0x10000005\")" result | joined)"
split_stream=$(fields "$plain && has(hs, 0)" stream | tail -1)
check "plain: the split ClientHello is one record of 15 bytes, shown with its second segment" "1" \
    "$(fields "stream == $split_stream && record != \"\" && dst == plain" record | joined)"
# The client sent 3 echo messages of type 1000 and 64 bytes; the server sent
# them back.
check "plain: 6 echo messages of type 1000, 64 bytes each" "64 64 64 64 64 64" \
    "$(fields "$plain && has(msgtype, \"0x000003e8\")" msgsize | each)"
# The first session's handshake in capture order: ClientHello, ServerHello,
# ServerKeyExchange, ServerHelloDone, then each side's Finish.
first_stream=$(fields "$plain && has(hs, 0)" stream | head -1)
check "plain: handshake in order" "0 1 2 3 5 5" \
    "$(fields "stream == $first_stream && hs != \"\"" hs | each)"

# The 3DES session: record types per direction and the key lengths.
check "3des: ServerHello chooses 3DES" "1" "$(fields "$des && has(hs, 1)" chosen | joined)"
check "3des: ServerKeyExchange key length 140" "140" "$(fields "$des && has(hs, 2)" keylen | joined)"
check "3des: ClientKeyExchange with a 128-byte key and IV" "128/128" \
    "$(fields "$des && has(hs, 4)" ckekey ckeiv | joined)"
check "3des: client's records: 3 handshake, ChangeCipherSpec, 3 encrypted" "1 1 2 1 3 3 3" \
    "$(fields "dst == des" record | each)"
check "3des: server's records: 4 handshake, ChangeCipherSpec, 3 encrypted" "1 1 1 2 1 3 3 3" \
    "$(fields "src == des" record | each)"
check "3des: no plain messages visible" "" "$(fields "$des && msgtype != \"\"" frame | joined)"
# The fingerprint is SHA-256 of the key bytes on the wire.
key_hex=$(fields "$des && has(hs, 2)" key)
expected_fingerprint=$(echo -n "$key_hex" | xxd -r -p | sha256sum | cut -d' ' -f1)
check "3des: key fingerprint is SHA-256 of the key" "$expected_fingerprint" \
    "$(fields "$des && has(hs, 2)" fingerprint)"
check "3des: it is the fingerprint vesk-keygen printed for the server's key" "$key_fingerprint" \
    "$(fields "$des && has(hs, 2)" fingerprint)"

if [ -s "$work/tshark.log" ] && grep -qi 'error' "$work/tshark.log"; then
    echo "FAILED: tshark reported errors:"
    sed 's/^/   | /' "$work/tshark.log"
    failures=$((failures + 1))
fi
if [ "$failures" -ne 0 ]; then
    echo "-- the capture as the dissector shows it:"
    tshark -n -r "$capture" -X lua_script:"$plugin" -o tcp.try_heuristic_first:TRUE -d "tcp.port==$des_port,vesk" 2>&1 |
        sed 's/^/   | /'
    echo "== dissector checks FAILED ($failures)"
    exit 1
fi
echo "== dissector checks passed"

// Writes the seed corpora of the fuzz targets under fuzz/corpus/<target>/.
//
// The handshake seeds are the flights of a peer that completes the handshake
// with the harness's fixed key and IV, built with the independent record codec
// of tests/raw_peer.h, the server's flights carrying the fixed server key pair
// of fuzz/keys (made with the openssl command-line tool: `openssl genrsa -out
// key.pem 1024`, then `openssl rsa -in key.pem -traditional -outform DER -out
// server_private.der` and `-RSAPublicKey_out -outform DER -out
// server_public.der`). Usage: vesk_make_fuzz_corpus <fuzz directory>
#include <filesystem>
#include <iostream>

#include "fuzz_support.h"

namespace {

using namespace vesk_fuzz;

// Writes the seeds of one target: of a stream target an optional
// configuration byte (none when negative), then chunks (see Chunks).
struct Seeds {
    Seeds(const std::string& root, const char* target) : directory(root + "/corpus/" + target)
    {
        std::filesystem::create_directories(directory);
    }
    void operator()(const std::string& name, int config, const std::vector<Bytes>& chunks) const
    {
        Bytes input(config >= 0 ? 1 : 0, static_cast<unsigned char>(config));
        for (const Bytes& chunk : chunks)
            input = input +
                    Bytes{static_cast<unsigned char>(chunk.size()), static_cast<unsigned char>(chunk.size() >> 8)} +
                    chunk;
        Write(name, input);
    }
    void Write(const std::string& name, const Bytes& input) const
    {
        std::ofstream file(directory + "/" + name, std::ios::binary | std::ios::trunc);
        file.write(reinterpret_cast<const char*>(input.data()), static_cast<std::streamsize>(input.size()));
        VESK_FUZZ_CHECK(file.good());
    }

    std::string directory;
};

Bytes Text(const std::string& text)
{
    return Bytes(text.begin(), text.end());
}

// By algorithm: NONE, 3DES, Blowfish.
const char* const kAlgorithmNames[] = {"none", "3des", "blowfish"};

// The flights of a handshake that agrees on the fixed key and IV.
struct Flights {
    explicit Flights(eCryptoAlgorithm algorithm)
        : server_hello(ServerHello(static_cast<unsigned char>(algorithm))),
          switch_and_finish(ChangeCipherSpec() + Record(1, EncryptFixed(algorithm, kFinishMessage))),
          flight3(switch_and_finish)
    {
        if (algorithm != CRYPTO_ALGORITHM_NONE)
            flight3 = KeyExchange(Bytes(kSessionKey.begin(), kSessionKey.begin() + KeyLength(algorithm)), kSessionIV) +
                      flight3;
    }
    Bytes KeyExchange(const Bytes& key, const Bytes& iv) const
    {
        return ClientKeyExchange(RsaEncrypt(key, server_key), RsaEncrypt(iv, server_key));
    }
    Bytes Flight2() const { return server_hello + key_exchange + ServerHelloDone(); }

    const Bytes client_hello = ClientHello({0, 1, 2});
    const Bytes server_key = KeyFile("server_public.der");
    const Bytes key_exchange = ServerKeyExchange(server_key, kStandardExponent);
    Bytes server_hello;
    Bytes switch_and_finish;  // the server's flight 4
    Bytes flight3;
};

// One input per way a peer breaks the handshake, each of which must end the
// session cleanly; the live hostile-peer tables need only one row per reason.
void HostileHandshakeSeeds(const Seeds& server, const Seeds& client, const Flights& triple_des)
{
    const Bytes& key = triple_des.server_key;
    const Bytes& hello = triple_des.client_hello;
    const auto to_server = [&](const char* name, const std::vector<Bytes>& chunks) {
        server(std::string("hostile_") + name, CRYPTO_ALGORITHM_3DES, chunks);
    };
    to_server("bad_record_type", {Record(4, {1, 2, 3})});
    to_server("record_longer_than_allowed", {Bytes{0, 2, 0} + Be24(19994)});
    to_server("record_of_16_mib", {Bytes{3, 2, 0} + Be24(0xFFFFFF)});
    to_server("handshake_record_of_3_bytes", {Record(1, {0, 0, 0})});
    to_server("unknown_message_type", {Message(6, {})});
    to_server("message_longer_than_its_record", {MessageClaiming(0, 50, {0, 3, 0, 1, 2})});
    to_server("client_hello_of_1_byte", {Message(0, {0})});
    to_server("client_hello_count_past_its_end", {Message(0, {0, 4, 0, 1, 2})});
    to_server("client_hello_without_the_cipher", {ClientHello({0, 2})});
    to_server("client_hello_empty_list", {ClientHello({})});
    to_server("finish_first", {Record(1, kFinishMessage)});
    to_server("switch_then_data_first", {ChangeCipherSpec() + Record(3, Bytes(16, 1))});
    to_server("key_exchange_first", {triple_des.KeyExchange(kSessionKey, kSessionIV)});
    to_server("key_exchange_garbage", {hello, ClientKeyExchange(Bytes(128, 7), Bytes(128, 7))});
    to_server("key_exchange_cut_short", {hello, Message(4, Be16(128))});
    to_server("key_of_length_0", {hello, ClientKeyExchange({}, RsaEncrypt(kSessionIV, key))});
    to_server("key_of_40_bytes", {hello, triple_des.KeyExchange(Bytes(40, 0x11), kSessionIV)});
    to_server("iv_of_3_bytes", {hello, triple_des.KeyExchange(kSessionKey, Bytes(3, 0x22))});
    to_server("switch_without_key_exchange",
              {hello, ChangeCipherSpec() + Record(1, EncryptFixed(CRYPTO_ALGORITHM_3DES, kFinishMessage))});
    to_server("switch_with_data_0", {hello, triple_des.KeyExchange(kSessionKey, kSessionIV) + ChangeCipherSpec(0)});
    to_server("second_switch_in_the_clear", {hello, triple_des.flight3, ChangeCipherSpec()});

    const auto to_client = [&](const char* name, const Bytes& flight) {
        client(std::string("hostile_") + name, -1, {flight});
    };
    const Bytes hello_3des = ServerHello(CRYPTO_ALGORITHM_3DES);
    const Bytes done = ServerHelloDone();
    to_client("server_hello_without_cipher", Message(1, {}));
    to_client("server_hello_unknown_cipher", ServerHello(7) + triple_des.key_exchange + done);
    to_client("done_without_key", hello_3des + done);
    to_client("modulus_past_its_end", hello_3des + Message(2, Be16(200) + Bytes(10, 1)) + done);
    to_client("exponent_of_3_bytes", hello_3des + ServerKeyExchange(key, {1, 0, 1}) + done);
    to_client("exponent_of_5_bytes", hello_3des + ServerKeyExchange(key, {1, 0, 1, 0, 0}) + done);
    to_client("key_exchange_to_a_client", hello_3des + ClientKeyExchange(Bytes(128, 7), Bytes(128, 7)));
    to_client("switch_with_data_0", triple_des.Flight2() + ChangeCipherSpec(0));
    to_client("finish_in_the_clear", triple_des.Flight2() + Record(1, kFinishMessage));
}

void HandshakeSeeds(const std::string& root)
{
    const Seeds server(root, "handshake_server");
    const Seeds client(root, "handshake_client");
    for (const eCryptoAlgorithm algorithm : {CRYPTO_ALGORITHM_NONE, CRYPTO_ALGORITHM_3DES, CRYPTO_ALGORITHM_BLOWFISH}) {
        const Flights flights(algorithm);
        if (algorithm == CRYPTO_ALGORITHM_3DES)
            HostileHandshakeSeeds(server, client, flights);
        const std::string name = kAlgorithmNames[algorithm];
        const Bytes& hello = flights.client_hello;
        const Bytes& flight3 = flights.flight3;
        const Bytes client_data = FixedKeyData(algorithm, Text("hello from the client"));
        const auto cut = flight3.begin() + static_cast<long>(flight3.size() / 2);

        // The server's harness holds the fixed server key pair.
        server("full_" + name, algorithm, {hello, flight3, client_data});
        server("hello_only_" + name, algorithm, {hello});
        server("flight3_split_" + name, algorithm, {hello, Bytes(flight3.begin(), cut), Bytes(cut, flight3.end())});
        server("one_write_" + name, algorithm, {hello + flight3 + client_data});
        server("second_hello_" + name, algorithm, {hello, hello, flight3});

        // Past flight 2 the client's harness holds the fixed key.
        const Bytes& flight4 = flights.switch_and_finish;
        const Bytes server_data = FixedKeyData(algorithm, Text("answer from the server"));
        client("full_" + name, -1, {flights.Flight2(), flight4, server_data});
        client("by_record_" + name, -1, {flights.server_hello, flights.key_exchange, ServerHelloDone(), flight4});
        client("flight2_only_" + name, -1, {flights.Flight2()});
    }
}

// The configuration byte is the target's (see fuzz_record_layer.cpp).
void RecordLayerSeeds(const std::string& root)
{
    const Seeds seed(root, "record_layer");
    const Bytes abc = {'A', 'B', 'C'};
    const Bytes message = Text("a record carried in the clear");
    const auto plain = [](const Bytes& body) { return Record(CRYPTO_MES_TYPE_PLAIN, body); };
    // Plain receiving direction.
    seed("plain_one", 0, {plain(abc)});
    seed("plain_two_in_one_read", 0, {plain(abc) + Record(CRYPTO_MES_TYPE_CRYPTOED, message)});
    const Bytes split = plain(message);
    seed("plain_split", 32,
         {Bytes(split.begin(), split.begin() + 4), Bytes(split.begin() + 4, split.begin() + 9),
          Bytes(split.begin() + 9, split.end())});
    seed("plain_empty_record", 0, {plain({})});
    seed("unknown_type", 0, {Record(7, abc)});
    seed("too_long_header", 0, {{0, 2, 0, 0, 0x4e, 0x1a}});
    // Large records wrap around the ring; a slow reader makes them wait.
    const Bytes large(12000, 0x5a);
    seed("large_wrap_slow_reader", 8 | 16 | 32, {plain(large), plain(large)});
    seed("handshake_in_clear", 0, {Record(CRYPTO_MES_TYPE_HANDSHAKE, {0, 0, 0, 5, 0, 3, 0, 1, 2})});

    for (const eCryptoAlgorithm algorithm : {CRYPTO_ALGORITHM_3DES, CRYPTO_ALGORITHM_BLOWFISH}) {
        const std::string name = kAlgorithmNames[algorithm];
        const int encrypted = algorithm | 4;
        const auto data = [&](const Bytes& plain_text) {
            return Record(CRYPTO_MES_TYPE_CRYPTOED, EncryptFixed(algorithm, plain_text));
        };
        seed("encrypted_data_" + name, encrypted, {data(message)});
        // A ChangeCipherSpec switches the direction in the middle of a read.
        seed("switch_then_data_" + name, algorithm,
             {plain(abc) + Record(CRYPTO_MES_TYPE_CHANGE_CIPHER_SPEC, {1}) + data(message) +
              Record(CRYPTO_MES_TYPE_HANDSHAKE, EncryptFixed(algorithm, {5, 0, 0, 0}))});
        seed("encrypted_empty_" + name, encrypted, {Record(CRYPTO_MES_TYPE_CRYPTOED, {})});
        seed("encrypted_bad_padding_" + name, encrypted, {Record(CRYPTO_MES_TYPE_CRYPTOED, Bytes(16, 0x41))});
        seed("encrypted_large_" + name, encrypted | 8, {data(large)});
    }
    seed("none_encrypted_data", 4, {plain(message), Record(CRYPTO_MES_TYPE_CHANGE_CIPHER_SPEC, {1})});
    seed("unknown_algorithm_encrypted", 3 | 4, {Record(CRYPTO_MES_TYPE_CRYPTOED, abc)});
}

Bytes AuthResult(int result, const char* uid)
{
    tagMessageDataUserAuthResult answer{};
    answer.m_header.m_type = VESKMESSYS_MESSAGE_TYPE_USER_AUTH_RESULT;
    answer.m_header.m_size = sizeof answer;
    answer.m_result = result;
    std::strncpy(answer.m_uid, uid, sizeof answer.m_uid);
    std::strncpy(answer.m_passwd, "secret", sizeof answer.m_passwd);
    const auto* bytes = reinterpret_cast<const unsigned char*>(&answer);
    return Bytes(bytes, bytes + sizeof answer);
}

// An application message whose header claims `size`: the header, then
// filler up to `length` bytes (the claimed size when 0).
Bytes Extension(uint32_t type, uint16_t size, size_t length = 0)
{
    Bytes message(std::max(length == 0 ? size : length, sizeof(tagMessageHeader)), 0x61);
    const tagMessageHeader header{type, size, 0};
    std::memcpy(message.data(), &header, sizeof header);
    return message;
}

// The configuration byte of the TCP target: 0 for a session without a
// handshake, 1 to 3 for one finished with NONE, 3DES or Blowfish.
void MessageSeeds(const std::string& root)
{
    const Seeds tcp(root, "tcp_dispatch");
    const Bytes user_message = Extension(VESKMESSYS_MESSAGE_TYPE_USER_MESSAGE, 1544);
    const Bytes session_event = Extension(VESKMESSYS_MESSAGE_TYPE_SESSION_EVENT, 140);
    for (int mode = 0; mode < 4; ++mode) {
        const std::string suffix = mode == 0 ? "plain" : kAlgorithmNames[mode - 1];
        tcp("login_" + suffix, mode, {LoginRequest("alice", "wonderland"), Extension(1, 16)});
        tcp("messages_" + suffix, mode,
            {Extension(1, 16) + Extension(2, 8) + Extension(3, 600) + Extension(0, 8), Extension(7, 24)});
    }
    tcp("login_refused", 1, {LoginRequest("alice", "Wonderland")});
    tcp("login_unknown_user", 1, {LoginRequest("mallory", "x")});
    tcp("login_empty_password", 1, {LoginRequest("bob", "")});
    tcp("result_accepted", 1, {AuthResult(1, "alice")});
    tcp("result_refused_then_more", 1, {AuthResult(0, "alice"), Extension(1, 16)});
    tcp("library_types_dropped", 1, {user_message + session_event + Extension(1, 16)});
    const Bytes long_message = Extension(3, 600);
    tcp("size_beyond_read", 1, {Extension(1, 16), Bytes(long_message.begin(), long_message.begin() + 100)});
    tcp("zero_size_header", 1, {Extension(1, 16) + Bytes(8, 0)});
    tcp("short_header", 1, {Extension(2, 8) + Bytes{1, 0, 0}});
    tcp("header_claiming_1_byte", 1, {Extension(77, 1, 16)});
    tcp("header_claiming_7_bytes", 1, {Extension(77, 7, 16) + Extension(1, 16)});

    const Seeds datagram(root, "datagram");
    datagram("typed", -1, {Extension(1, 16), Extension(3, 600), Extension(0, 8)});
    datagram("echo", -1, {Extension(2, 8)});
    datagram("longer_than_handler", -1, {Extension(1, 30)});
    datagram("user_message", -1, {user_message});
    datagram("session_event_type", -1, {session_event});
    datagram("short_and_empty", -1, {Bytes{2, 0, 0}, Bytes{}, Extension(2, 8)});

    const Seeds file(root, "user_list");
    file.Write("two_users", Text("alice\twonderland\nbob\tbuilder\n"));
    file.Write("three_tokens", Text("alice wonderland bob"));
    file.Write("mixed_white_space", Text("  alice \t\t wonderland\r\n\n\vbob\fbuilder \n"));
    file.Write("long_token", Text("alice\twonderland\n" + std::string(300, 'x') + "\tpw\ncarol\tc\n"));
    file.Write("exact_255", Text(std::string(255, 'u') + "\t" + std::string(255, 'p') + "\n"));
    file.Write("duplicate_ids", Text("alice\tone\nalice\ttwo\n"));
    file.Write("nul_bytes", Bytes{'a', 0, 'b', '\t', 'p', 0, '\n', 0, 'x', ' ', 'y'});
    file.Write("empty", Bytes{});
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc != 2) {
        std::cerr << "usage: " << argv[0] << " <fuzz directory>\n";
        return 2;
    }
    HandshakeSeeds(argv[1]);
    RecordLayerSeeds(argv[1]);
    MessageSeeds(argv[1]);
    return 0;
}

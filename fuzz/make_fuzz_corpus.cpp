// Writes the seed corpora of the fuzz targets under fuzz/corpus/<target>/.
//
// The handshake seeds are the flights of a peer that completes the handshake
// with the harness's fixed key and IV, built with the independent record codec
// of tests/raw_peer.h, the server's flights carrying the fixed server key pair
// of fuzz/keys (made with the openssl command-line tool: `openssl genrsa -out
// key.pem 1024`, then `openssl rsa -in key.pem -traditional -outform DER -out
// server_private.der` and `-RSAPublicKey_out -outform DER -out
// server_public.der`). Usage: vesk_make_fuzz_corpus <fuzz directory>
#include <sys/stat.h>

#include <cstring>
#include <iostream>

#include "fuzz_support.h"

namespace {

using namespace vesk_fuzz;
using namespace VeskMessageSystem;

std::string g_root;

void WriteSeed(const char* target, const std::string& name, const Bytes& bytes)
{
    const std::string directory = g_root + "/corpus/" + target;
    mkdir((g_root + "/corpus").c_str(), 0755);
    mkdir(directory.c_str(), 0755);
    std::ofstream file(directory + "/" + name, std::ios::binary | std::ios::trunc);
    file.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    VESK_FUZZ_CHECK(file.good());
}

// Input of a stream target: an optional configuration byte, then chunks.
Bytes StreamInput(int config, const std::vector<Bytes>& chunks)
{
    Bytes input;
    if (config >= 0)
        input.push_back(static_cast<unsigned char>(config));
    for (const Bytes& chunk : chunks)
        AppendChunk(input, chunk);
    return input;
}

Bytes Text(const std::string& text)
{
    return Bytes(text.begin(), text.end());
}

const char* AlgorithmName(eCryptoAlgorithm algorithm)
{
    return algorithm == CRYPTO_ALGORITHM_3DES ? "3des" : algorithm == CRYPTO_ALGORITHM_BLOWFISH ? "blowfish" : "none";
}

// A data record under the fixed key, as either end's send path writes it.
Bytes FixedKeyData(eCryptoAlgorithm algorithm, const Bytes& payload)
{
    return Record(algorithm == CRYPTO_ALGORITHM_NONE ? 0 : 3, EncryptFixed(algorithm, payload));
}

// The flights of a handshake that agrees on the fixed key and IV.
struct Flights {
    explicit Flights(eCryptoAlgorithm algorithm)
        : server_key(KeyFile("server_public.der")),
          server_hello(ServerHello(static_cast<unsigned char>(algorithm))),
          key_exchange(ServerKeyExchange(server_key, kStandardExponent)),
          switch_and_finish(ChangeCipherSpec() + Record(1, EncryptFixed(algorithm, kFinishMessage))),
          flight3(switch_and_finish)
    {
        if (algorithm != CRYPTO_ALGORITHM_NONE) {
            const Bytes key(kSessionKey.begin(), kSessionKey.begin() + KeyLength(algorithm));
            flight3 = ClientKeyExchange(RsaEncrypt(key, server_key), RsaEncrypt(kSessionIV, server_key)) + flight3;
        }
    }
    Bytes Flight2() const { return server_hello + key_exchange + ServerHelloDone(); }

    const Bytes client_hello = ClientHello({0, 1, 2});
    Bytes server_key;
    Bytes server_hello;
    Bytes key_exchange;
    Bytes switch_and_finish;  // the server's flight 4
    Bytes flight3;
};

// One input per way a peer breaks the handshake, each of which must end the
// session cleanly; the live hostile-peer tables need only one row per reason.
void HostileHandshakeSeeds(const Flights& triple_des)
{
    const Bytes& server_key = triple_des.server_key;
    const auto key_exchange = [&](const Bytes& key, const Bytes& iv) {
        return ClientKeyExchange(RsaEncrypt(key, server_key), RsaEncrypt(iv, server_key));
    };
    const Bytes& hello = triple_des.client_hello;
    const struct {
        const char* name;
        std::vector<Bytes> chunks;
    } server_rows[] = {
        {"bad_record_type", {Record(4, {1, 2, 3})}},
        {"record_longer_than_allowed", {Bytes{0, 2, 0} + Be24(19994)}},
        {"record_of_16_mib", {Bytes{3, 2, 0} + Be24(0xFFFFFF)}},
        {"handshake_record_of_3_bytes", {Record(1, {0, 0, 0})}},
        {"unknown_message_type", {Message(6, {})}},
        {"message_longer_than_its_record", {MessageClaiming(0, 50, {0, 3, 0, 1, 2})}},
        {"client_hello_of_1_byte", {Message(0, {0})}},
        {"client_hello_count_past_its_end", {Message(0, {0, 4, 0, 1, 2})}},
        {"client_hello_without_the_cipher", {ClientHello({0, 2})}},
        {"client_hello_empty_list", {ClientHello({})}},
        {"finish_first", {Record(1, kFinishMessage)}},
        {"switch_then_data_first", {ChangeCipherSpec() + Record(3, Bytes(16, 1))}},
        {"key_exchange_first", {key_exchange(kSessionKey, kSessionIV)}},
        {"key_exchange_garbage", {hello, ClientKeyExchange(Bytes(128, 7), Bytes(128, 7))}},
        {"key_exchange_cut_short", {hello, Message(4, Be16(128))}},
        {"key_of_length_0", {hello, ClientKeyExchange({}, RsaEncrypt(kSessionIV, server_key))}},
        {"key_of_40_bytes", {hello, key_exchange(Bytes(40, 0x11), kSessionIV)}},
        {"iv_of_3_bytes", {hello, key_exchange(kSessionKey, Bytes(3, 0x22))}},
        {"switch_without_key_exchange",
         {hello, ChangeCipherSpec() + Record(1, EncryptFixed(CRYPTO_ALGORITHM_3DES, kFinishMessage))}},
        {"switch_with_data_0", {hello, key_exchange(kSessionKey, kSessionIV) + ChangeCipherSpec(0)}},
        {"second_switch_in_the_clear", {hello, triple_des.flight3, ChangeCipherSpec()}},
    };
    for (const auto& row : server_rows)
        WriteSeed("handshake_server", std::string("hostile_") + row.name,
                  StreamInput(CRYPTO_ALGORITHM_3DES, row.chunks));

    const Bytes hello_3des = ServerHello(CRYPTO_ALGORITHM_3DES);
    const struct {
        const char* name;
        Bytes flight;
    } client_rows[] = {
        {"server_hello_without_cipher", Message(1, {})},
        {"server_hello_unknown_cipher",
         ServerHello(7) + ServerKeyExchange(server_key, kStandardExponent) + ServerHelloDone()},
        {"done_without_key", hello_3des + ServerHelloDone()},
        {"modulus_past_its_end", hello_3des + Message(2, Be16(200) + Bytes(10, 1)) + ServerHelloDone()},
        {"exponent_of_3_bytes", hello_3des + ServerKeyExchange(server_key, {1, 0, 1}) + ServerHelloDone()},
        {"exponent_of_5_bytes", hello_3des + ServerKeyExchange(server_key, {1, 0, 1, 0, 0}) + ServerHelloDone()},
        {"key_exchange_to_a_client", hello_3des + ClientKeyExchange(Bytes(128, 7), Bytes(128, 7))},
        {"switch_with_data_0", triple_des.Flight2() + ChangeCipherSpec(0)},
        {"finish_in_the_clear", triple_des.Flight2() + Record(1, kFinishMessage)},
    };
    for (const auto& row : client_rows)
        WriteSeed("handshake_client", std::string("hostile_") + row.name, StreamInput(-1, {row.flight}));
}

void HandshakeSeeds()
{
    for (const eCryptoAlgorithm algorithm : {CRYPTO_ALGORITHM_NONE, CRYPTO_ALGORITHM_3DES, CRYPTO_ALGORITHM_BLOWFISH}) {
        const Flights flights(algorithm);
        if (algorithm == CRYPTO_ALGORITHM_3DES)
            HostileHandshakeSeeds(flights);
        const std::string name = AlgorithmName(algorithm);
        const int config = algorithm;
        const Bytes& hello = flights.client_hello;
        const Bytes& flight3 = flights.flight3;
        const Bytes client_data = FixedKeyData(algorithm, Text("hello from the client"));

        // The server's harness holds the fixed server key pair.
        WriteSeed("handshake_server", "full_" + name, StreamInput(config, {hello, flight3, client_data}));
        WriteSeed("handshake_server", "hello_only_" + name, StreamInput(config, {hello}));
        const auto cut = flight3.begin() + static_cast<long>(flight3.size() / 2);
        WriteSeed("handshake_server", "flight3_split_" + name,
                  StreamInput(config, {hello, Bytes(flight3.begin(), cut), Bytes(cut, flight3.end())}));
        WriteSeed("handshake_server", "one_write_" + name, StreamInput(config, {hello + flight3 + client_data}));
        WriteSeed("handshake_server", "second_hello_" + name, StreamInput(config, {hello, hello, flight3}));

        // Past flight 2 the client's harness holds the fixed key.
        const Bytes& flight4 = flights.switch_and_finish;
        WriteSeed(
            "handshake_client", "full_" + name,
            StreamInput(-1, {flights.Flight2(), flight4, FixedKeyData(algorithm, Text("answer from the server"))}));
        WriteSeed("handshake_client", "by_record_" + name,
                  StreamInput(-1, {flights.server_hello, flights.key_exchange, ServerHelloDone(), flight4}));
        WriteSeed("handshake_client", "flight2_only_" + name, StreamInput(-1, {flights.Flight2()}));
    }
}

void RecordLayerSeeds()
{
    const Bytes abc = {'A', 'B', 'C'};
    const Bytes message = Text("a record carried in the clear");
    // Plain receiving direction.
    WriteSeed("record_layer", "plain_one", StreamInput(0, {Record(CRYPTO_MES_TYPE_PLAIN, abc)}));
    WriteSeed("record_layer", "plain_two_in_one_read",
              StreamInput(0, {(Record(CRYPTO_MES_TYPE_PLAIN, abc) + Record(CRYPTO_MES_TYPE_CRYPTOED, message))}));
    const Bytes split = Record(CRYPTO_MES_TYPE_PLAIN, message);
    WriteSeed("record_layer", "plain_split",
              StreamInput(32, {Bytes(split.begin(), split.begin() + 4), Bytes(split.begin() + 4, split.begin() + 9),
                               Bytes(split.begin() + 9, split.end())}));
    WriteSeed("record_layer", "plain_empty_record", StreamInput(0, {Record(CRYPTO_MES_TYPE_PLAIN, {})}));
    WriteSeed("record_layer", "unknown_type", StreamInput(0, {Record(7, abc)}));
    WriteSeed("record_layer", "too_long_header", StreamInput(0, {{0, 2, 0, 0, 0x4e, 0x1a}}));
    // Large records wrap around the ring; a slow reader makes them wait.
    const Bytes large(12000, 0x5a);
    WriteSeed("record_layer", "large_wrap_slow_reader",
              StreamInput(8 | 16 | 32, {Record(CRYPTO_MES_TYPE_PLAIN, large), Record(CRYPTO_MES_TYPE_PLAIN, large)}));
    WriteSeed("record_layer", "handshake_in_clear",
              StreamInput(0, {Record(CRYPTO_MES_TYPE_HANDSHAKE, {0, 0, 0, 5, 0, 3, 0, 1, 2})}));

    for (const eCryptoAlgorithm algorithm : {CRYPTO_ALGORITHM_3DES, CRYPTO_ALGORITHM_BLOWFISH}) {
        const std::string name = AlgorithmName(algorithm);
        const int plain_config = algorithm;
        const int encrypted_config = algorithm | 4;
        const Bytes data = Record(CRYPTO_MES_TYPE_CRYPTOED, EncryptFixed(algorithm, message));
        WriteSeed("record_layer", "encrypted_data_" + name, StreamInput(encrypted_config, {data}));
        // A ChangeCipherSpec switches the direction in the middle of a read.
        WriteSeed("record_layer", "switch_then_data_" + name,
                  StreamInput(plain_config,
                              {(Record(CRYPTO_MES_TYPE_PLAIN, abc) + Record(CRYPTO_MES_TYPE_CHANGE_CIPHER_SPEC, {1}) +
                                data + Record(CRYPTO_MES_TYPE_HANDSHAKE, EncryptFixed(algorithm, {5, 0, 0, 0})))}));
        WriteSeed("record_layer", "encrypted_empty_" + name,
                  StreamInput(encrypted_config, {Record(CRYPTO_MES_TYPE_CRYPTOED, {})}));
        WriteSeed("record_layer", "encrypted_bad_padding_" + name,
                  StreamInput(encrypted_config, {Record(CRYPTO_MES_TYPE_CRYPTOED, Bytes(16, 0x41))}));
        WriteSeed(
            "record_layer", "encrypted_large_" + name,
            StreamInput(encrypted_config | 8, {Record(CRYPTO_MES_TYPE_CRYPTOED, EncryptFixed(algorithm, large))}));
    }
    WriteSeed(
        "record_layer", "none_encrypted_data",
        StreamInput(4, {Record(CRYPTO_MES_TYPE_PLAIN, message), Record(CRYPTO_MES_TYPE_CHANGE_CIPHER_SPEC, {1})}));
    WriteSeed("record_layer", "unknown_algorithm_encrypted",
              StreamInput(3 | 4, {Record(CRYPTO_MES_TYPE_CRYPTOED, abc)}));
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

void MessageSeeds()
{
    const Bytes user_message = Extension(VESKMESSYS_MESSAGE_TYPE_USER_MESSAGE, 1544);
    for (int mode = 0; mode < 4; ++mode) {
        const std::string suffix = mode == 0 ? "plain" : AlgorithmName(static_cast<eCryptoAlgorithm>(mode - 1));
        WriteSeed("tcp_dispatch", "login_" + suffix,
                  StreamInput(mode, {LoginRequest("alice", "wonderland"), Extension(1, 16)}));
        WriteSeed("tcp_dispatch", "messages_" + suffix,
                  StreamInput(mode, {(Extension(1, 16) + Extension(2, 8) + Extension(3, 600) + Extension(0, 8)),
                                     Extension(7, 24)}));
    }
    WriteSeed("tcp_dispatch", "login_refused", StreamInput(1, {LoginRequest("alice", "Wonderland")}));
    WriteSeed("tcp_dispatch", "login_unknown_user", StreamInput(1, {LoginRequest("mallory", "x")}));
    WriteSeed("tcp_dispatch", "login_empty_password", StreamInput(1, {LoginRequest("bob", "")}));
    WriteSeed("tcp_dispatch", "result_accepted", StreamInput(1, {AuthResult(1, "alice")}));
    WriteSeed("tcp_dispatch", "result_refused_then_more", StreamInput(1, {AuthResult(0, "alice"), Extension(1, 16)}));
    WriteSeed(
        "tcp_dispatch", "library_types_dropped",
        StreamInput(1, {(user_message + Extension(VESKMESSYS_MESSAGE_TYPE_SESSION_EVENT, 140) + Extension(1, 16))}));
    const Bytes long_message = Extension(3, 600);
    WriteSeed("tcp_dispatch", "size_beyond_read",
              StreamInput(1, {Extension(1, 16), Bytes(long_message.begin(), long_message.begin() + 100)}));
    WriteSeed("tcp_dispatch", "zero_size_header", StreamInput(1, {(Extension(1, 16) + Bytes(8, 0))}));
    WriteSeed("tcp_dispatch", "short_header", StreamInput(1, {(Extension(2, 8) + Bytes{1, 0, 0})}));
    WriteSeed("tcp_dispatch", "header_claiming_1_byte", StreamInput(1, {Extension(77, 1, 16)}));
    WriteSeed("tcp_dispatch", "header_claiming_7_bytes", StreamInput(1, {(Extension(77, 7, 16) + Extension(1, 16))}));
}

void DatagramSeeds()
{
    WriteSeed("datagram", "typed", StreamInput(-1, {Extension(1, 16), Extension(3, 600), Extension(0, 8)}));
    WriteSeed("datagram", "echo", StreamInput(-1, {Extension(2, 8)}));
    WriteSeed("datagram", "longer_than_handler", StreamInput(-1, {Extension(1, 30)}));
    WriteSeed("datagram", "user_message", StreamInput(-1, {Extension(VESKMESSYS_MESSAGE_TYPE_USER_MESSAGE, 1544)}));
    WriteSeed("datagram", "session_event_type",
              StreamInput(-1, {Extension(VESKMESSYS_MESSAGE_TYPE_SESSION_EVENT, 140)}));
    WriteSeed("datagram", "short_and_empty", StreamInput(-1, {Bytes{2, 0, 0}, Bytes{}, Extension(2, 8)}));
}

void UserListSeeds()
{
    WriteSeed("user_list", "two_users", Text("alice\twonderland\nbob\tbuilder\n"));
    WriteSeed("user_list", "three_tokens", Text("alice wonderland bob"));
    WriteSeed("user_list", "mixed_white_space", Text("  alice \t\t wonderland\r\n\n\vbob\fbuilder \n"));
    WriteSeed("user_list", "long_token", Text("alice\twonderland\n" + std::string(300, 'x') + "\tpw\ncarol\tc\n"));
    WriteSeed("user_list", "exact_255", Text(std::string(255, 'u') + "\t" + std::string(255, 'p') + "\n"));
    WriteSeed("user_list", "duplicate_ids", Text("alice\tone\nalice\ttwo\n"));
    WriteSeed("user_list", "nul_bytes", Bytes{'a', 0, 'b', '\t', 'p', 0, '\n', 0, 'x', ' ', 'y'});
    WriteSeed("user_list", "empty", Bytes{});
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc != 2) {
        std::cerr << "usage: " << argv[0] << " <fuzz directory>\n";
        return 2;
    }
    g_root = argv[1];
    HandshakeSeeds();
    RecordLayerSeeds();
    MessageSeeds();
    DatagramSeeds();
    UserListSeeds();
    return 0;
}

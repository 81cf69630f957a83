// Writes the seed corpora of the fuzz targets under fuzz/corpus/<target>/.
//
// The handshake seeds are recorded: a client session and a server session of
// the library run the handshake against each other over socketpairs, for
// each algorithm, with the fixed server key pair of fuzz/keys (made here when
// it is missing), and every flight and data record is taken from the wire as
// the library wrote it. Where a target's harness gives a session the fixed
// key, records under that key are written by the library's own send path or
// cipher functions. Usage: vesk_make_fuzz_corpus <fuzz directory>
#include <sys/stat.h>

#include <cstring>
#include <iostream>

#include "CryptFunction.h"
#include "fuzz_support.h"

namespace {

using namespace vesk_fuzz;
using namespace VeskMessageSystem;

std::string g_root;

void WriteFile(const std::string& path, const Bytes& bytes)
{
    std::ofstream file(path, std::ios::binary | std::ios::trunc);
    file.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    VESK_FUZZ_CHECK(file.good());
}

void WriteSeed(const char* target, const std::string& name, const Bytes& bytes)
{
    const std::string directory = g_root + "/corpus/" + target;
    mkdir((g_root + "/corpus").c_str(), 0755);
    mkdir(directory.c_str(), 0755);
    WriteFile(directory + "/" + name, bytes);
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

void EnsureServerKeys()
{
    if (!ReadFile(KeyPath("server_private.der")).empty() && !ReadFile(KeyPath("server_public.der")).empty())
        return;
    Bytes private_key(65535);
    Bytes public_key(65535);
    int private_length = 0;
    int public_length = 0;
    VESK_FUZZ_CHECK(RSA_generate_key_der(1024, kServerExponent, private_key.data(), &private_length, public_key.data(),
                                         &public_length) > 0);
    private_key.resize(static_cast<size_t>(private_length));
    public_key.resize(static_cast<size_t>(public_length));
    mkdir(VESK_FUZZ_KEY_DIR, 0755);
    WriteFile(KeyPath("server_private.der"), private_key);
    WriteFile(KeyPath("server_public.der"), public_key);
}

int QuietEvent(CVeskNetworkSession* /*session*/, short /*ev*/, void* /*param*/)
{
    return 1;
}

struct Recording {
    Bytes client_hello;
    Bytes flight2;
    Bytes flight3;
    Bytes flight4;
    Bytes client_data;
    Bytes server_data_fixed_key;
    bool finished = false;
};

// A complete handshake between a client and a server session of the library,
// then a data record each way.
Recording RecordHandshake(eCryptoAlgorithm algorithm)
{
    CVeskNetworkSessionManager server_manager;
    CVeskNetworkSessionManager client_manager;
    VESK_FUZZ_CHECK(server_manager.CreateSessions(1) == 1 && client_manager.CreateSessions(1) == 1);
    StreamSession server(server_manager, 40010, false);
    StreamSession client(client_manager, 40011, false);
    CVeskNetworkSession* server_session = server.Open(QuietEvent, nullptr, [&](CVeskNetworkSession& accepted) {
        Access::CopyKeys(accepted, ServerKeyHolder());
        Access::SetAlgorithm(accepted, algorithm);
    });
    CVeskNetworkSession* client_session = client.Open(QuietEvent, nullptr, [](CVeskNetworkSession& connecting) {
        VESK_FUZZ_CHECK(Access::SendClientHello(connecting) == 15);
    });
    VESK_FUZZ_CHECK(server_session != nullptr && client_session != nullptr);

    Recording recording;
    recording.client_hello = client.TakeOutput();
    server.Deliver(recording.client_hello);
    recording.flight2 = server.TakeOutput();
    client.Deliver(recording.flight2);
    recording.flight3 = client.TakeOutput();
    server.Deliver(recording.flight3);
    recording.flight4 = server.TakeOutput();
    client.Deliver(recording.flight4);
    recording.finished = client_session->IsHandshakeFinished() && server_session->IsHandshakeFinished();

    const Bytes hello = Text("hello from the client");
    client_session->send(hello.data(), static_cast<int>(hello.size()), 0);
    recording.client_data = client.TakeOutput();
    // The client harness gives its session the fixed key: so does this server.
    GiveSessionKey(*server_session, algorithm);
    const Bytes answer = Text("answer from the server");
    server_session->send(answer.data(), static_cast<int>(answer.size()), 0);
    recording.server_data_fixed_key = server.TakeOutput();
    server.Close();
    client.Close();
    return recording;
}

// The records of a flight, one by one.
std::vector<Bytes> SplitRecords(const Bytes& flight)
{
    std::vector<Bytes> records;
    size_t position = 0;
    while (position + 6 <= flight.size()) {
        const size_t length = static_cast<size_t>(flight[position + 3]) << 16 |
                              static_cast<size_t>(flight[position + 4]) << 8 | flight[position + 5];
        const size_t end = std::min(flight.size(), position + 6 + length);
        records.emplace_back(flight.begin() + static_cast<std::ptrdiff_t>(position),
                             flight.begin() + static_cast<std::ptrdiff_t>(end));
        position = end;
    }
    return records;
}

// One input per way a peer breaks the handshake, each of which must end the
// session cleanly; the live hostile-peer tables need only one row per reason.
void HostileHandshakeSeeds(const Recording& triple_des)
{
    const Bytes server_key = ReadFile(KeyPath("server_public.der"));
    const Bytes& fixed_iv = kSessionIV;
    const Bytes& fixed_key = kSessionKey;
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
        {"key_exchange_first", {key_exchange(fixed_key, fixed_iv)}},
        {"key_exchange_garbage", {hello, ClientKeyExchange(Bytes(128, 7), Bytes(128, 7))}},
        {"key_exchange_cut_short", {hello, Message(4, Be16(128))}},
        {"key_of_length_0", {hello, ClientKeyExchange({}, RsaEncrypt(fixed_iv, server_key))}},
        {"key_of_40_bytes", {hello, key_exchange(Bytes(40, 0x11), fixed_iv)}},
        {"iv_of_3_bytes", {hello, key_exchange(fixed_key, Bytes(3, 0x22))}},
        {"switch_without_key_exchange",
         {hello, ChangeCipherSpec() + Record(1, EncryptFixed(CRYPTO_ALGORITHM_3DES, kFinishMessage))}},
        {"switch_with_data_0", {hello, key_exchange(fixed_key, fixed_iv) + ChangeCipherSpec(0)}},
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
        {"switch_with_data_0", triple_des.flight2 + ChangeCipherSpec(0)},
        {"finish_in_the_clear", triple_des.flight2 + Record(1, kFinishMessage)},
    };
    for (const auto& row : client_rows)
        WriteSeed("handshake_client", std::string("hostile_") + row.name, StreamInput(-1, {row.flight}));
}

void HandshakeSeeds()
{
    for (const eCryptoAlgorithm algorithm : {CRYPTO_ALGORITHM_NONE, CRYPTO_ALGORITHM_3DES, CRYPTO_ALGORITHM_BLOWFISH}) {
        const Recording recording = RecordHandshake(algorithm);
        VESK_FUZZ_CHECK(recording.finished);
        if (algorithm == CRYPTO_ALGORITHM_3DES)
            HostileHandshakeSeeds(recording);
        const std::string name = AlgorithmName(algorithm);
        const int config = algorithm;

        // The server is fed what the client wrote.
        WriteSeed("handshake_server", "full_" + name,
                  StreamInput(config, {recording.client_hello, recording.flight3, recording.client_data}));
        WriteSeed("handshake_server", "hello_only_" + name, StreamInput(config, {recording.client_hello}));
        const Bytes& flight3 = recording.flight3;
        const size_t cut = flight3.size() / 2;
        WriteSeed("handshake_server", "flight3_split_" + name,
                  StreamInput(config, {recording.client_hello, Bytes(flight3.begin(), flight3.begin() + cut),
                                       Bytes(flight3.begin() + cut, flight3.end())}));
        WriteSeed("handshake_server", "one_write_" + name,
                  StreamInput(config, {(recording.client_hello + recording.flight3 + recording.client_data)}));
        WriteSeed("handshake_server", "second_hello_" + name,
                  StreamInput(config, {recording.client_hello, recording.client_hello, recording.flight3}));

        // The client is fed what the server wrote; past flight 2 its harness
        // holds the fixed key, under which the server's flight 4 is built.
        const Bytes flight4 = (Record(CRYPTO_MES_TYPE_CHANGE_CIPHER_SPEC, {1}) +
                               Record(CRYPTO_MES_TYPE_HANDSHAKE, EncryptFixed(algorithm, {5, 0, 0, 0})));
        WriteSeed("handshake_client", "full_" + name,
                  StreamInput(-1, {recording.flight2, flight4, recording.server_data_fixed_key}));
        std::vector<Bytes> by_record = SplitRecords(recording.flight2);
        by_record.push_back(flight4);
        WriteSeed("handshake_client", "by_record_" + name, StreamInput(-1, by_record));
        WriteSeed("handshake_client", "flight2_only_" + name, StreamInput(-1, {recording.flight2}));
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

template <class Message>
Bytes MessageBytes(const Message& message)
{
    const auto* bytes = reinterpret_cast<const unsigned char*>(&message);
    return Bytes(bytes, bytes + sizeof message);
}

Bytes AuthResult(int result, const char* uid)
{
    tagMessageDataUserAuthResult answer{};
    answer.m_header.m_type = VESKMESSYS_MESSAGE_TYPE_USER_AUTH_RESULT;
    answer.m_header.m_size = sizeof answer;
    answer.m_result = result;
    std::strncpy(answer.m_uid, uid, sizeof answer.m_uid);
    std::strncpy(answer.m_passwd, "secret", sizeof answer.m_passwd);
    return MessageBytes(answer);
}

// An application message of `length` bytes whose header claims `size`.
Bytes Extension(uint32_t type, uint16_t size, size_t length)
{
    Bytes message(std::max(length, sizeof(tagMessageHeader)), 0x61);
    tagMessageHeader header{type, size, 0};
    std::memcpy(message.data(), &header, sizeof header);
    return message;
}

// An application message: the header, then `size - 8` bytes of filler.
Bytes Extension(uint32_t type, uint16_t size)
{
    return Extension(type, size, size);
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
    EnsureServerKeys();
    HandshakeSeeds();
    RecordLayerSeeds();
    MessageSeeds();
    DatagramSeeds();
    UserListSeeds();
    return 0;
}

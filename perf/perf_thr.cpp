// Message throughput through the public API: a sender calls send_message as
// fast as it can, the receiver's handler counts. Beside each figure, the
// baseline measured in the same run: for plain records the same records over
// a bare blocking TCP socket pair (one send per record, a reader cutting
// records); for a cipher the rate at which one thread encrypts and decrypts
// the same bodies with a context keyed once, only the IV set per record.
//
//   vesk_perf_thr                                   both ends in one process
//   vesk_perf_thr --role recv --port 7000 --cipher 3des
//   vesk_perf_thr --role send --host 127.0.0.1 --port 7000 --cipher 3des
//
// The receiver listens with the library on --port and with bare TCP on
// --port + 1, and prints the table; both ends must name the same cipher.
// Options: --cipher none|3des|blowfish|all, --size 64|1024|16384|all,
// --seconds S per run (default 2), --rounds N (one process only: best of N
// alternating library and baseline runs, default 1), --ring-sized-baseline
// (one process only: for plain records also a bare reader whose reads are no
// larger than the library's socket ring, for information).
#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <openssl/provider.h>

#include <atomic>
#include <condition_variable>
#include <mutex>

#include "CryptFunction.h"
#include "perf_support.h"

using namespace VeskMessageSystem;
using namespace vesk_perf;

namespace {

constexpr uint32_t kDataType = 1;
// Ends a run: carries the number of data messages sent before it.
constexpr uint32_t kEndType = 2;
// The receiver's answer to the end of a run.
constexpr uint32_t kAckType = 3;
constexpr size_t kControlSize = 16;
// The most one read of the library's socket ring can take.
constexpr size_t kRingSizedRead = 19999;

// What the receiver saw of one run.
struct RunResult {
    uint64_t received = 0;
    uint64_t sent = 0;
    double seconds = 0;
    double Rate() const { return seconds > 0 && received > 1 ? static_cast<double>(received - 1) / seconds : 0; }
};

// The receiving side of the library runs: the handler runs on the server's
// parse thread.
struct Receiver {
    std::mutex mutex;
    std::condition_variable ended;
    std::atomic<uint64_t> received{0};
    Clock::time_point first;
    Clock::time_point last;
    bool finished = false;
    RunResult result;
} g_receiver;

int OnServerMessage(CVeskMessageSession* session, const char*, const char*, const void* data, size_t size)
{
    tagMessageHeader header;
    std::memcpy(&header, data, sizeof header);
    if (header.m_type == kDataType) {
        const uint64_t count = g_receiver.received.fetch_add(1, std::memory_order_relaxed) + 1;
        if (count == 1)
            g_receiver.first = Clock::now();
        g_receiver.last = Clock::now();
        return 0;
    }
    if (header.m_type != kEndType || size < kControlSize)
        return 0;
    {
        std::lock_guard<std::mutex> lock(g_receiver.mutex);
        g_receiver.result.received = g_receiver.received.exchange(0);
        g_receiver.result.sent = MessageTag(data);
        g_receiver.result.seconds = SecondsBetween(g_receiver.first, g_receiver.last);
        g_receiver.finished = true;
    }
    g_receiver.ended.notify_all();
    const std::vector<unsigned char> ack = MakeMessage(kAckType, kControlSize);
    session->send_message(ack.data(), ack.size());
    return 0;
}

RunResult WaitForRunEnd()
{
    std::unique_lock<std::mutex> lock(g_receiver.mutex);
    g_receiver.ended.wait(lock, [] { return g_receiver.finished; });
    g_receiver.finished = false;
    return g_receiver.result;
}

std::atomic<bool> g_acked{false};

int OnClientAck(CVeskMessageSession*, const char*, const char*, const void*, size_t)
{
    g_acked = true;
    return 0;
}

// Sends data messages for the given time, then the end of the run, and waits
// for the receiver's answer.
bool SendRun(CVeskMessageSession& session, size_t size, double seconds)
{
    g_acked = false;
    const std::vector<unsigned char> message = MakeMessage(kDataType, size);
    uint64_t sent = 0;
    const auto deadline = Clock::now() + std::chrono::duration<double>(seconds);
    while (Clock::now() < deadline) {
        for (int burst = 0; burst < 64; ++burst) {
            if (session.send_message(message.data(), message.size()) <= 0)
                return false;
            ++sent;
        }
    }
    const std::vector<unsigned char> end = MakeMessage(kEndType, kControlSize, sent);
    if (session.send_message(end.data(), end.size()) <= 0)
        return false;
    const auto limit = Clock::now() + std::chrono::seconds(60);
    while (!g_acked.load()) {
        if (Clock::now() > limit)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

// The bare TCP baseline. The writer sends one record per call for the given
// time, then a record of type 2 carrying the count; the reader cuts records
// out of large reads and answers the end with one byte.
void SendBareRun(int fd, size_t size, double seconds)
{
    const std::vector<unsigned char> message = MakeMessage(kDataType, size);
    std::vector<unsigned char> record;
    FrameRecord(&record, message.data(), message.size());
    uint64_t sent = 0;
    const auto deadline = Clock::now() + std::chrono::duration<double>(seconds);
    while (Clock::now() < deadline) {
        for (int burst = 0; burst < 64; ++burst) {
            if (::send(fd, record.data(), record.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(record.size()))
                return;
            ++sent;
        }
    }
    std::vector<unsigned char> end;
    const std::vector<unsigned char> end_message = MakeMessage(kEndType, kControlSize, sent);
    FrameRecord(&end, end_message.data(), end_message.size());
    WriteAll(fd, end.data(), end.size());
    unsigned char ack = 0;
    ReadExactly(fd, &ack, 1);
}

// `read_limit` bounds every read, as the library's socket ring bounds its
// reads to its free space.
RunResult ReceiveBareRun(int fd, size_t read_limit = SIZE_MAX)
{
    RunResult result;
    std::vector<unsigned char> buffer(1 << 20);
    size_t held = 0;
    Clock::time_point first;
    Clock::time_point last;
    for (;;) {
        const ssize_t n = ::recv(fd, buffer.data() + held, std::min(read_limit, buffer.size() - held), 0);
        if (n <= 0)
            return result;
        held += static_cast<size_t>(n);
        size_t offset = 0;
        while (held - offset >= kRecordHeader) {
            const size_t body = RecordBodyLength(buffer.data() + offset);
            if (held - offset < kRecordHeader + body)
                break;
            const unsigned char* message = buffer.data() + offset + kRecordHeader;
            tagMessageHeader header;
            std::memcpy(&header, message, sizeof header);
            if (header.m_type == kDataType) {
                if (result.received++ == 0)
                    first = Clock::now();
                last = Clock::now();
            } else if (header.m_type == kEndType) {
                result.sent = MessageTag(message);
                result.seconds = SecondsBetween(first, last);
                const unsigned char ack = 1;
                WriteAll(fd, &ack, 1);
                return result;
            }
            offset += kRecordHeader + body;
        }
        std::memmove(buffer.data(), buffer.data() + offset, held - offset);
        held -= offset;
    }
}

// Encrypt and decrypt of one body per record, one thread, the contexts keyed
// once: the fastest way to produce and check the bytes the library carries.
double CipherLimit(eVeskMessageSystemCryptoAlgorithm algorithm, size_t size, double seconds)
{
    static OSSL_LIB_CTX* const context = [] {
        OSSL_LIB_CTX* created = OSSL_LIB_CTX_new();
        OSSL_PROVIDER_load(created, "legacy");
        OSSL_PROVIDER_load(created, "default");
        return created;
    }();
    const bool triple_des = algorithm == VESKMESSYS_CRYPTO_ALGORITHM_3DES;
    EVP_CIPHER* cipher = EVP_CIPHER_fetch(context, triple_des ? "DES-EDE3-CBC" : "BF-CBC", nullptr);
    if (cipher == nullptr)
        return 0;
    const int key_length = triple_des ? get_key_length_DES_EDE3() : get_key_length_BF();
    std::vector<unsigned char> key(static_cast<size_t>(key_length), 0x42);
    const unsigned char iv[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    EVP_CIPHER_CTX* encrypt = EVP_CIPHER_CTX_new();
    EVP_CIPHER_CTX* decrypt = EVP_CIPHER_CTX_new();
    for (auto [ctx, enc] : {std::pair{encrypt, 1}, std::pair{decrypt, 0}}) {
        EVP_CipherInit_ex2(ctx, cipher, nullptr, nullptr, enc, nullptr);
        EVP_CIPHER_CTX_set_key_length(ctx, key_length);
        EVP_CipherInit_ex2(ctx, nullptr, key.data(), iv, enc, nullptr);
    }
    const std::vector<unsigned char> plain = MakeMessage(kDataType, size);
    std::vector<unsigned char> sealed(size + 8);
    std::vector<unsigned char> opened(size + 8);
    uint64_t records = 0;
    const auto start = Clock::now();
    const auto deadline = start + std::chrono::duration<double>(seconds);
    while (Clock::now() < deadline) {
        for (int burst = 0; burst < 16; ++burst) {
            int update = 0;
            int final = 0;
            EVP_CipherInit_ex2(encrypt, nullptr, nullptr, iv, 1, nullptr);
            EVP_CipherUpdate(encrypt, sealed.data(), &update, plain.data(), static_cast<int>(size));
            EVP_CipherFinal_ex(encrypt, sealed.data() + update, &final);
            const int sealed_length = update + final;
            EVP_CipherInit_ex2(decrypt, nullptr, nullptr, iv, 0, nullptr);
            EVP_CipherUpdate(decrypt, opened.data(), &update, sealed.data(), sealed_length);
            EVP_CipherFinal_ex(decrypt, opened.data() + update, &final);
            ++records;
        }
    }
    const double elapsed = SecondsBetween(start, Clock::now());
    EVP_CIPHER_CTX_free(encrypt);
    EVP_CIPHER_CTX_free(decrypt);
    EVP_CIPHER_free(cipher);
    return static_cast<double>(records) / elapsed;
}

const char* CipherName(eVeskMessageSystemCryptoAlgorithm algorithm)
{
    return algorithm == VESKMESSYS_CRYPTO_ALGORITHM_NONE   ? "plain"
           : algorithm == VESKMESSYS_CRYPTO_ALGORITHM_3DES ? "3DES"
                                                           : "Blowfish";
}

std::string SizeName(size_t size)
{
    return size >= 1024 ? std::to_string(size / 1024) + " KiB" : std::to_string(size) + " B";
}

double Target(eVeskMessageSystemCryptoAlgorithm algorithm, size_t size)
{
    switch (algorithm) {
        case VESKMESSYS_CRYPTO_ALGORITHM_NONE:
            return size <= 64 ? 0.5 : size <= 1024 ? 0.6 : 0.9;
        case VESKMESSYS_CRYPTO_ALGORITHM_3DES:
            return size >= 1024 ? 0.85 : 0;
        default:
            return size <= 1024 ? 0.7 : 0;
    }
}

void Report(eVeskMessageSystemCryptoAlgorithm algorithm, size_t size, const RunResult& library, double baseline)
{
    const std::string what = std::string(CipherName(algorithm)) + " " + SizeName(size);
    const bool plain = algorithm == VESKMESSYS_CRYPTO_ALGORITHM_NONE;
    const std::string baseline_name = plain ? "bare TCP" : "cipher limit";
    if (library.received != library.sent)
        std::printf("| %s: %llu of %llu messages delivered | - | - | - | all | MISSED |\n", what.c_str(),
                    static_cast<unsigned long long>(library.received), static_cast<unsigned long long>(library.sent));
    PrintRow(
        Row{what + " messages/s", library.Rate(), "msg/s", baseline, baseline_name, true, Target(algorithm, size)});
    PrintRow(Row{what + " MB/s", library.Rate() * static_cast<double>(size) / 1e6, "MB/s",
                 baseline * static_cast<double>(size) / 1e6, baseline_name, true, 0});
}

std::vector<eVeskMessageSystemCryptoAlgorithm> Ciphers(const std::string& name)
{
    if (name == "all")
        return {VESKMESSYS_CRYPTO_ALGORITHM_NONE, VESKMESSYS_CRYPTO_ALGORITHM_3DES,
                VESKMESSYS_CRYPTO_ALGORITHM_BLOWFISH};
    eVeskMessageSystemCryptoAlgorithm algorithm;
    if (!ParseCipher(name, &algorithm)) {
        std::fprintf(stderr, "unknown cipher %s\n", name.c_str());
        std::exit(2);
    }
    return {algorithm};
}

std::vector<size_t> Sizes(const std::string& name)
{
    if (name == "all")
        return {64, 1024, 16384};
    const long size = std::strtol(name.c_str(), nullptr, 10);
    if (size < static_cast<long>(kControlSize) || size > 19000) {
        std::fprintf(stderr, "size must be 16 to 19000 bytes\n");
        std::exit(2);
    }
    return {static_cast<size_t>(size)};
}

void RegisterReceiver(MessageSystem& server, const std::vector<size_t>& sizes)
{
    for (size_t size : sizes)
        server.AddHandler(kDataType, static_cast<uint16_t>(size), OnServerMessage);
    server.AddHandler(kEndType, kControlSize, OnServerMessage);
}

// What both ends of a two-process run take from the command line; they must
// be given the same.
struct TwoProcessRun {
    explicit TwoProcessRun(const Options& options)
        : ciphers(Ciphers(options.Text("cipher", "none"))),
          sizes(Sizes(options.Text("size", "all"))),
          seconds(options.Real("seconds", 2)),
          port(static_cast<int>(options.Number("port", 7000))),
          host(options.Text("host", "127.0.0.1"))
    {
    }
    std::vector<eVeskMessageSystemCryptoAlgorithm> ciphers;
    std::vector<size_t> sizes;
    double seconds;
    int port;
    std::string host;
};

// The receiver of a two-process run: per cipher run, the library runs of
// every size, then the bare runs of every size.
int RunReceiver(const Options& options)
{
    const TwoProcessRun run(options);
    const auto& [ciphers, sizes, seconds, port, host] = run;
    if (ciphers.size() != 1) {
        std::fprintf(stderr, "a receiver serves one cipher\n");
        return 2;
    }
    MessageSystem server(4);
    RegisterReceiver(server, sizes);
    if (server.Listen(std::to_string(port), ciphers[0]).empty()) {
        std::fprintf(stderr, "cannot listen on %d\n", port);
        return 1;
    }
    const int bare_listener = ciphers[0] == VESKMESSYS_CRYPTO_ALGORITHM_NONE ? ListenTcp(host, port + 1) : -1;
    std::vector<RunResult> library;
    for (size_t i = 0; i < sizes.size(); ++i)
        library.push_back(WaitForRunEnd());
    PrintTableHeader();
    for (size_t i = 0; i < sizes.size(); ++i) {
        double baseline = 0;
        if (bare_listener >= 0) {
            const int fd = accept(bare_listener, nullptr, nullptr);
            baseline = ReceiveBareRun(fd).Rate();
            close(fd);
        } else {
            baseline = CipherLimit(ciphers[0], sizes[i], seconds);
        }
        Report(ciphers[0], sizes[i], library[i], baseline);
    }
    if (bare_listener >= 0)
        close(bare_listener);
    return 0;
}

int RunSender(const Options& options)
{
    const TwoProcessRun run(options);
    const auto& [ciphers, sizes, seconds, port, host] = run;
    MessageSystem client(4, 0);
    client.AddHandler(kAckType, kControlSize, OnClientAck);
    client.StartClient();
    std::unique_ptr<CVeskMessageSession> session;
    for (int attempt = 0; attempt < 100 && !session; ++attempt) {
        session.reset(client->connect(host.c_str(), std::to_string(port).c_str()));
        if (!session)
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    if (!session) {
        std::fprintf(stderr, "cannot connect to %s:%d\n", host.c_str(), port);
        return 1;
    }
    for (size_t size : sizes)
        if (!SendRun(*session, size, seconds)) {
            std::fprintf(stderr, "library run of %zu bytes failed\n", size);
            return 1;
        }
    client->close(session.get());
    if (ciphers[0] == VESKMESSYS_CRYPTO_ALGORITHM_NONE)
        for (size_t size : sizes) {
            const int fd = ConnectTcp(host, port + 1);
            SendBareRun(fd, size, seconds);
            close(fd);
        }
    return 0;
}

// Both ends in this process: a server and a client message system over
// loopback, one listener per cipher.
// Delivered messages per second of one library run; a failed run has
// nothing delivered.
RunResult LibraryRun(eVeskMessageSystemCryptoAlgorithm algorithm, size_t size, double seconds)
{
    MessageSystem server(4);
    RegisterReceiver(server, {size});
    const std::string port = server.Listen("", algorithm);
    MessageSystem client(4, 0);
    client.AddHandler(kAckType, kControlSize, OnClientAck);
    client.StartClient();
    std::unique_ptr<CVeskMessageSession> session(port.empty() ? nullptr : client->connect("127.0.0.1", port.c_str()));
    if (!session || !SendRun(*session, size, seconds))
        return RunResult{};
    const RunResult result = WaitForRunEnd();
    client->close(session.get());
    return result;
}

double BareRate(size_t size, double seconds, size_t read_limit = SIZE_MAX)
{
    const int port = FreePort();
    const int listener = ListenTcp("127.0.0.1", port);
    if (listener < 0)
        return 0;
    std::thread writer([port, size, seconds] {
        const int fd = ConnectTcp("127.0.0.1", port);
        SendBareRun(fd, size, seconds);
        close(fd);
    });
    const int fd = accept(listener, nullptr, nullptr);
    const double rate = ReceiveBareRun(fd, read_limit).Rate();
    writer.join();
    close(fd);
    close(listener);
    return rate;
}

// Both ends in this process: a server and a client message system over
// loopback. With --rounds N, library and baseline runs alternate N times and
// the best of each counts, which keeps a short run on a shared machine from
// comparing a disturbed run with an undisturbed one.
int RunBoth(const Options& options)
{
    const auto ciphers = Ciphers(options.Text("cipher", "all"));
    const auto sizes = Sizes(options.Text("size", "all"));
    const double seconds = options.Real("seconds", 2);
    const long rounds = std::max(1L, options.Number("rounds", 1));
    const bool ring_sized = options.Has("ring-sized-baseline");
    if (!options.Has("no-header"))
        PrintTableHeader();
    for (eVeskMessageSystemCryptoAlgorithm algorithm : ciphers) {
        for (size_t size : sizes) {
            RunResult library;
            double baseline = 0;
            double ring_sized_baseline = 0;
            for (long round = 0; round < rounds; ++round) {
                const RunResult run = LibraryRun(algorithm, size, seconds);
                if (run.sent == 0) {
                    std::fprintf(stderr, "library run failed\n");
                    return 1;
                }
                // The fastest run counts, but a run that lost messages is
                // never hidden behind one that did not.
                const bool run_lost = run.received != run.sent;
                const bool kept_lost = library.received != library.sent;
                if (round == 0 || run_lost || (!kept_lost && run.Rate() > library.Rate()))
                    library = run;
                baseline = std::max(baseline, algorithm == VESKMESSYS_CRYPTO_ALGORITHM_NONE
                                                  ? BareRate(size, seconds)
                                                  : CipherLimit(algorithm, size, seconds));
                if (algorithm == VESKMESSYS_CRYPTO_ALGORITHM_NONE && ring_sized)
                    ring_sized_baseline = std::max(ring_sized_baseline, BareRate(size, seconds, kRingSizedRead));
            }
            Report(algorithm, size, library, baseline);
            // Where the library stands against a reader that may take no
            // more per call than the library's socket ring holds.
            if (ring_sized_baseline > 0)
                PrintRow(Row{CipherName(algorithm) + std::string(" ") + SizeName(size) + " messages/s", library.Rate(),
                             "msg/s", ring_sized_baseline, "bare TCP, reads of at most 19999 B", true, 0});
        }
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv)
{
    const Options options(
        argc, argv,
        "Message throughput through send_message, beside bare TCP records (plain) or the rate of\n"
        "one thread encrypting and decrypting the same bodies (ciphers). Two processes: --role recv\n"
        "listens on --port (library) and --port + 1 (bare); --role send names the same cipher.\n",
        {{"role", "recv|send|both", "this process's part (default both: one process)"},
         {"host", "H", "the receiver's IPv4 address (default 127.0.0.1)"},
         {"port", "P", "the receiver's library port; bare TCP on P + 1 (default 7000)"},
         {"cipher", "none|3des|blowfish|all", "ciphers to measure (default all; none for two processes)"},
         {"size", "64|1024|16384|all", "message sizes to measure (default all)"},
         {"seconds", "S", "length of each run (default 2)"},
         {"rounds", "N", "one process: best of N alternating runs (default 1)"},
         {"ring-sized-baseline", nullptr, "one process: also a bare reader limited to the library's ring"}});
    const std::string role = options.Text("role", "both");
    if (role == "recv")
        return RunReceiver(options);
    if (role == "send")
        return RunSender(options);
    if (role == "both")
        return RunBoth(options);
    std::fprintf(stderr, "--role recv|send|both\n");
    return 2;
}

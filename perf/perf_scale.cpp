// Many sessions at once, in one process over loopback:
//  - resident memory per idle session slot (a pool of --idle-slots) and the
//    time to create and delete a pool of --pool-slots;
//  - resident memory per session slot: RSS growth of creating a pool of
//    --sessions slots, divided by their number, and per connected session;
//  - --sessions concurrent sessions each send --messages messages; every
//    message must reach the server's handler, and the aggregate rate is shown;
//  - the message rate of one busy session while the other sessions sit
//    connected and idle in the pool, beside the same session's rate once
//    they are gone (an almost empty pool).
//
//   vesk_perf_scale [--sessions 1000] [--messages 20] [--seconds 2] [--rounds 1]
//                   [--idle-slots 10000] [--pool-slots 100000]
#include <atomic>

#include "perf_support.h"

using namespace VeskMessageSystem;
using namespace vesk_perf;

namespace {

constexpr uint32_t kScaleType = 11;
constexpr uint32_t kBusyType = 12;
constexpr size_t kScaleSize = 64;
constexpr size_t kBusySize = 1024;

std::vector<std::atomic<uint32_t>>* g_per_session = nullptr;
std::atomic<uint64_t> g_delivered{0};

int OnScaleMessage(CVeskMessageSession*, const char*, const char*, const void* data, size_t)
{
    const uint64_t index = MessageTag(data);
    if (index < g_per_session->size())
        (*g_per_session)[index].fetch_add(1, std::memory_order_relaxed);
    g_delivered.fetch_add(1, std::memory_order_relaxed);
    return 0;
}

std::atomic<uint64_t> g_busy_received{0};
std::atomic<int64_t> g_busy_last{0};

int OnBusyMessage(CVeskMessageSession*, const char*, const char*, const void*, size_t)
{
    g_busy_received.fetch_add(1, std::memory_order_relaxed);
    g_busy_last.store(Clock::now().time_since_epoch().count(), std::memory_order_relaxed);
    return 0;
}

std::atomic<int> g_accepted{0};

int OnServerSessionEvent(CVeskMessageSession*, const char*, const char*, const void* data, size_t)
{
    tagMessageDataSesssionEvent event;
    std::memcpy(&event, data, sizeof event);
    if ((event.m_ev & VeskNetworkSystem::NETWORK_EVENT_ACCEPT) != 0)
        ++g_accepted;
    return 0;
}

template <class Predicate>
bool WaitUntil(Predicate predicate, std::chrono::seconds limit)
{
    const auto deadline = Clock::now() + limit;
    while (!predicate()) {
        if (Clock::now() > deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

// Messages per second that one session delivers to the server's handler
// while sending for the given time; 0 when it could not send.
double BusyRate(MessageSystem& client, const std::string& port, double seconds)
{
    std::unique_ptr<CVeskMessageSession> session(client->connect("127.0.0.1", port.c_str()));
    const std::vector<unsigned char> message = MakeMessage(kBusyType, kBusySize);
    // The first message waits for the handshake; the clock starts after it.
    if (!session || session->send_message(message.data(), message.size()) <= 0 ||
        !WaitUntil([] { return g_busy_received.load() > 0; }, std::chrono::seconds(10)))
        return 0;
    const uint64_t before = g_busy_received.load();
    const auto start = Clock::now();
    uint64_t sent = 0;
    while (SecondsBetween(start, Clock::now()) < seconds) {
        for (int burst = 0; burst < 64; ++burst, ++sent)
            if (session->send_message(message.data(), message.size()) <= 0)
                return 0;
    }
    if (!WaitUntil([&] { return g_busy_received.load() >= before + sent; }, std::chrono::seconds(30)))
        return 0;
    const double elapsed =
        SecondsBetween(start, Clock::time_point(Clock::duration(g_busy_last.load(std::memory_order_relaxed))));
    client->close(session.get());
    g_busy_received = 0;
    return static_cast<double>(sent) / elapsed;
}

// Resident bytes that `slots` idle session slots add, per slot: the pool
// of a message system that has not started, so nothing else grows meanwhile.
double IdleSlotBytes(int slots)
{
    std::unique_ptr<CVeskMessageSystem> system(VeskMessageSystemCreate());
    const long before = ResidentBytes();
    if (system->CreateSessions(slots) != 1)
        return 0;
    return static_cast<double>(ResidentBytes() - before) / slots;
}

// Milliseconds to create a pool of `slots` session slots and delete it.
double CreateAndDeletePoolMs(int slots)
{
    std::unique_ptr<CVeskMessageSystem> system(VeskMessageSystemCreate());
    const auto start = Clock::now();
    if (system->CreateSessions(slots) != 1)
        return 0;
    system->ReleaseSessions();
    return SecondsBetween(start, Clock::now()) * 1e3;
}

}  // namespace

int main(int argc, char** argv)
{
    const Options options(argc, argv,
                          "Many sessions at once over loopback: memory per session slot, the aggregate message\n"
                          "rate of concurrent sessions, one busy session's rate beside idle ones.\n",
                          {{"sessions", "N", "concurrent sessions (default 1000)"},
                           {"messages", "N", "messages each session sends (default 20)"},
                           {"seconds", "S", "length of each rate run (default 2)"},
                           {"rounds", "N", "best of N runs (default 1)"},
                           {"idle-slots", "N", "slots of the idle pool measured for memory (default 10000)"},
                           {"pool-slots", "N", "slots of the pool created and deleted (default 100000)"}});
    const int sessions = static_cast<int>(options.Number("sessions", 1000));
    const long messages = options.Number("messages", 20);
    const double seconds = options.Real("seconds", 2);
    const long rounds = std::max(1L, options.Number("rounds", 1));
    const int idle_slots = static_cast<int>(std::max(1L, options.Number("idle-slots", 10000)));
    const int pool_slots = static_cast<int>(std::max(1L, options.Number("pool-slots", 100000)));
    RaiseDescriptorLimit();
    if (!options.Has("no-header"))
        PrintTableHeader();

    PrintRow(Row{"resident memory per idle session slot (pool of " + std::to_string(idle_slots) + ")",
                 IdleSlotBytes(idle_slots), "B", 0, "", false, 1024});
    PrintRow(Row{"create and delete a pool of " + std::to_string(pool_slots) + " session slots",
                 CreateAndDeletePoolMs(pool_slots), "ms", 0, "", false, 1000});

    // Slots only: the pool is created and nothing connects yet.
    MessageSystem server(sessions + 8);
    const long before_pool = ResidentBytes();
    MessageSystem client(sessions + 8, 0);
    const long after_pool = ResidentBytes();
    PrintRow(Row{"resident memory per session slot (pool of " + std::to_string(sessions) + ")",
                 static_cast<double>(after_pool - before_pool) / sessions / 1024, "KiB", 0, "", false, 0});

    std::vector<std::atomic<uint32_t>> per_session(static_cast<size_t>(sessions));
    g_per_session = &per_session;
    server.AddHandler(kScaleType, kScaleSize, OnScaleMessage);
    server.AddHandler(kBusyType, kBusySize, OnBusyMessage);
    server.AddHandler(VESKMESSYS_MESSAGE_TYPE_SESSION_EVENT, 0, OnServerSessionEvent);
    const std::string port = server.Listen("", VESKMESSYS_CRYPTO_ALGORITHM_NONE);
    client.StartClient();
    if (port.empty()) {
        std::fprintf(stderr, "cannot listen\n");
        return 1;
    }

    // The best of --rounds runs on either side, so that one run disturbed by
    // other work on the machine does not decide the comparison.
    const auto best_rate = [&client, &port, seconds, rounds] {
        double best = 0;
        for (long round = 0; round < rounds; ++round)
            best = std::max(best, BusyRate(client, port, seconds));
        return best;
    };
    const double empty_pool_rate = best_rate();

    const long before_connect = ResidentBytes();
    std::vector<std::unique_ptr<CVeskMessageSession>> handles;
    for (int i = 0; i < sessions; ++i) {
        // The listener's backlog is 5: connecting faster than the server
        // accepts would only measure SYN retransmissions.
        WaitUntil([i] { return g_accepted.load() + 4 >= i; }, std::chrono::seconds(10));
        handles.emplace_back(client->connect("127.0.0.1", port.c_str()));
        if (!handles.back()) {
            std::fprintf(stderr, "connect %d failed\n", i);
            return 1;
        }
    }
    // Every session sends; two threads share them, round robin, so all of
    // them have messages in flight at once.
    const auto start = Clock::now();
    std::vector<std::thread> senders;
    std::atomic<bool> failed{false};
    for (int part = 0; part < 2; ++part)
        senders.emplace_back([&, part] {
            for (long round = 0; round < messages; ++round)
                for (int i = part; i < sessions; i += 2) {
                    const std::vector<unsigned char> message =
                        MakeMessage(kScaleType, kScaleSize, static_cast<uint64_t>(i));
                    if (handles[static_cast<size_t>(i)]->send_message(message.data(), message.size()) <= 0)
                        failed = true;
                }
        });
    for (std::thread& sender : senders)
        sender.join();
    const uint64_t expected = static_cast<uint64_t>(sessions) * static_cast<uint64_t>(messages);
    WaitUntil([expected] { return g_delivered.load() >= expected; }, std::chrono::seconds(60));
    const double elapsed = SecondsBetween(start, Clock::now());
    const long after_connect = ResidentBytes();
    int complete = 0;
    for (const auto& count : per_session)
        complete += count.load() == static_cast<uint32_t>(messages) ? 1 : 0;
    const bool all_delivered = !failed && complete == sessions && g_delivered.load() == expected;
    std::printf("| %d sessions x %ld messages delivered | %llu of %llu, %d sessions complete | - | - | all | %s |\n",
                sessions, messages, static_cast<unsigned long long>(g_delivered.load()),
                static_cast<unsigned long long>(expected), complete, all_delivered ? "met" : "MISSED");
    PrintRow(Row{std::to_string(sessions) + " concurrent sessions, messages/s from the first send",
                 static_cast<double>(expected) / elapsed, "msg/s", 0, "", true, 0});
    PrintRow(Row{"resident memory per connection (both ends' sessions)",
                 static_cast<double>(after_connect - before_connect) / sessions / 1024, "KiB", 0, "", false, 0});

    // The sessions stay connected and idle while one more session is busy.
    const double idle_pool_rate = best_rate();
    for (auto& handle : handles)
        client->close(handle.get());
    PrintRow(Row{"1 KiB messages/s with " + std::to_string(sessions) + " idle sessions", idle_pool_rate, "msg/s",
                 empty_pool_rate, "almost empty pool", true, 0.8});
    return all_delivered && empty_pool_rate > 0 && idle_pool_rate > 0 ? 0 : 1;
}

// Network sessions under test: one journal of every event a manager's
// sessions report, a manager whose sessions all report into it, and a fixture
// holding one with running threads.
#ifndef VESK_TESTS_SESSION_FIXTURE_H
#define VESK_TESTS_SESSION_FIXTURE_H

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "VeskNetworkSystem.h"
#include "raw_peer.h"
#include "test_support.h"

namespace vesk_test {

using VeskNetworkSystem::CVeskNetworkSession;
using VeskNetworkSystem::CVeskNetworkSessionManager;

// Every event of the sessions it was given to, in order. A READ is answered
// with a recv of everything readable; its result and payload are kept.
class SessionJournal {
public:
    struct Event {
        CVeskNetworkSession* session;
        short ev;
        int recv_result;
        Bytes payload;
        std::thread::id thread;
    };

    // The callback to hand to Listen and Connect, with the journal as param.
    static int Record(CVeskNetworkSession* session, short ev, void* param)
    {
        auto* self = static_cast<SessionJournal*>(param);
        Event event{session, ev, 0, {}, std::this_thread::get_id()};
        if (ev & VeskNetworkSystem::NETWORK_EVENT_READ) {
            thread_local Bytes buffer(VeskNetworkSystem::CVeskByteRing::kSize);
            event.recv_result = session->recv(buffer.data(), static_cast<int>(buffer.size()), 0);
            if (event.recv_result > 0)
                event.payload.assign(buffer.begin(), buffer.begin() + event.recv_result);
        }
        const auto hook = std::atomic_load(&self->m_hook);
        if (hook && (*hook)(event))
            return 1;
        {
            std::lock_guard<std::mutex> lock(self->m_mutex);
            self->m_events.push_back(std::move(event));
        }
        // As the message layer does: a session whose peer closed is released.
        if (self->release_on_close && (ev & VeskNetworkSystem::NETWORK_EVENT_CLOSE))
            session->SetUsed(false);
        return 1;
    }

    std::vector<Event> Events() const
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_events;
    }

    // A point in the journal: later queries may look only past it.
    size_t Mark() const { return Events().size(); }

    // The events of one session (all sessions: null) since the mark.
    std::vector<Event> EventsOf(const CVeskNetworkSession* session, size_t since = 0) const
    {
        std::vector<Event> found;
        const auto all = Events();
        for (size_t i = since; i < all.size(); ++i)
            if (session == nullptr || all[i].session == session)
                found.push_back(all[i]);
        return found;
    }

    // The first event of the session carrying the code, since the mark.
    std::optional<Event> First(const CVeskNetworkSession* session, short ev, size_t since = 0) const
    {
        for (const Event& event : EventsOf(session, since))
            if (event.ev & ev)
                return event;
        return std::nullopt;
    }

    bool Saw(const CVeskNetworkSession* session, short ev, size_t since = 0) const
    {
        return First(session, ev, since).has_value();
    }

    size_t Count(short ev) const
    {
        const auto all = Events();
        return static_cast<size_t>(std::count_if(all.begin(), all.end(), [ev](const Event& e) { return e.ev & ev; }));
    }

    // The n-th accepted session (from 1), or null when it did not come in time.
    CVeskNetworkSession* WaitAccepted(size_t n) const
    {
        if (WaitFor([&] { return Count(VeskNetworkSystem::NETWORK_EVENT_ACCEPT) >= n; }))
            for (const Event& event : Events())
                if ((event.ev & VeskNetworkSystem::NETWORK_EVENT_ACCEPT) && --n == 0)
                    return event.session;
        return nullptr;
    }

    // The session reported a failed record: a READ whose recv gives -1.
    bool FailedNow(const CVeskNetworkSession* session, size_t since = 0) const
    {
        const auto events = EventsOf(session, since);
        return std::any_of(events.begin(), events.end(), [](const Event& event) {
            return (event.ev & VeskNetworkSystem::NETWORK_EVENT_READ) && event.recv_result == -1;
        });
    }
    bool Failed(const CVeskNetworkSession* session, size_t since = 0) const
    {
        return WaitFor([&] { return FailedNow(session, since); });
    }

    bool Finished(const CVeskNetworkSession* session, size_t since = 0) const
    {
        return WaitFor([&] { return Saw(session, VeskNetworkSystem::NETWORK_EVENT_HANDSHAKE_FINISH, since); });
    }
    bool Closed(const CVeskNetworkSession* session, size_t since = 0) const
    {
        return WaitFor([&] { return Saw(session, VeskNetworkSystem::NETWORK_EVENT_CLOSE, since); });
    }

    // Everything the session delivered since the mark, in order.
    Bytes Payload(const CVeskNetworkSession* session, size_t since = 0) const
    {
        Bytes all;
        for (const Event& event : EventsOf(session, since))
            all.insert(all.end(), event.payload.begin(), event.payload.end());
        return all;
    }
    bool Delivered(const CVeskNetworkSession* session, const Bytes& expected, size_t since = 0) const
    {
        return WaitFor([&] { return Payload(session, since) == expected; });
    }

    using Hook = std::function<bool(const Event&)>;
    // Runs on the reporting thread for every event, after a READ's recv; an
    // event it answers true for is not recorded. None: null.
    void OnEvent(Hook hook)
    {
        std::atomic_store(&m_hook, hook ? std::make_shared<const Hook>(std::move(hook)) : nullptr);
    }

    // Release the session of every CLOSE, as the message layer does; set
    // before the manager starts.
    bool release_on_close = false;

private:
    std::shared_ptr<const Hook> m_hook;
    mutable std::mutex m_mutex;
    std::vector<Event> m_events;
};

// A manager on pools of the sizes a test chooses, its sessions reporting into
// the journal, its listeners of the cipher `listener_cipher`.
struct ManagedSessions {
    void Pools(int sessions, int listeners)
    {
        ASSERT_EQ(manager->CreateSessions(sessions), 1);
        ASSERT_EQ(manager->CreateListenSessions(listeners), 1);
    }
    int Listen(const std::string& service, int family = AF_INET)
    {
        return manager->Listen(service.c_str(), family, 8, &SessionJournal::Record, &journal, listener_cipher);
    }
    // Listens on a port the kernel chose: that port, 0 if none was had.
    int ListenOnAFreePort()
    {
        return std::atoi(ListenOnFreePort([this](const std::string& service) { return Listen(service) == 1; }).c_str());
    }
    // Pools, a parse thread, a listener on a port the kernel chose and the
    // loop running; sessions are released at their close. With
    // `idle_loop_first` the loop runs with nothing to watch for a while before
    // the listen: a loop that ended for want of events would be gone by then.
    void Serve(int sessions, int listeners, bool idle_loop_first = false)
    {
        journal.release_on_close = true;
        Pools(sessions, listeners);
        EXPECT_EQ(manager->CreateParseRecvSocketBufferThread(), 1);
        if (idle_loop_first) {
            EXPECT_EQ(manager->DispatchLibEvent(), 1);
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
        port = ListenOnAFreePort();
        EXPECT_EQ(manager->DispatchLibEvent(), 1);
    }

    SessionJournal journal;
    std::unique_ptr<CVeskNetworkSessionManager> manager = std::make_unique<CVeskNetworkSessionManager>();
    int port = 0;
    VeskNetworkSystem::eCryptoAlgorithm listener_cipher = VeskNetworkSystem::CRYPTO_ALGORITHM_NONE;
};

// A manager with its event loop and parse thread running, its sessions
// reporting into the journal. Raw sockets it hands out are closed at
// teardown, after the manager is gone.
class SessionFixture : public ::testing::Test, protected ManagedSessions {
protected:
    void SetUp() override
    {
        ASSERT_NO_FATAL_FAILURE(Pools(12, 2));
        ASSERT_EQ(manager->CreateParseRecvSocketBufferThread(), 1);
        ASSERT_EQ(manager->DispatchLibEvent(), 1);
    }

    void TearDown() override
    {
        manager.reset();
        for (int fd : raw_sockets)
            ::close(fd);
    }

    // Listens on a port the kernel chose, with the given cipher.
    void StartListener(VeskNetworkSystem::eCryptoAlgorithm algorithm = VeskNetworkSystem::CRYPTO_ALGORITHM_NONE)
    {
        listener_cipher = algorithm;
        port = ListenOnAFreePort();
        service = std::to_string(port);
    }

    // A socket closed at teardown.
    int Track(int fd)
    {
        raw_sockets.push_back(fd);
        return fd;
    }
    // Closes a tracked socket now.
    void CloseRaw(int fd)
    {
        ::close(fd);
        raw_sockets.erase(std::find(raw_sockets.begin(), raw_sockets.end(), fd));
    }

    // A raw client connected to the listener, and the session that took it.
    std::pair<int, CVeskNetworkSession*> ConnectRawClient()
    {
        const size_t before = journal.Count(VeskNetworkSystem::NETWORK_EVENT_ACCEPT);
        const int fd = Track(ConnectTo(port));
        return {fd, journal.WaitAccepted(before + 1)};
    }

    // A library client (secure or plain) connected to a raw listening socket
    // of its own, and the raw server's end.
    std::pair<CVeskNetworkSession*, int> ConnectToRawServer(bool secure = false)
    {
        if (raw_listener < 0)
            raw_listener = Track(ListenOnLoopback(&raw_port));
        CVeskNetworkSession* session =
            manager->Connect(secure, "127.0.0.1", std::to_string(raw_port).c_str(), &SessionJournal::Record, &journal);
        EXPECT_NE(session, nullptr);
        const int fd = Track(AcceptWithin(raw_listener));
        EXPECT_GE(fd, 0);
        return {session, fd};
    }

    // A library client connected to the listener (or another port), and the
    // session that accepted it.
    std::pair<CVeskNetworkSession*, CVeskNetworkSession*> ConnectLibraryClient(bool secure, int to_port = 0)
    {
        const size_t before = journal.Count(VeskNetworkSystem::NETWORK_EVENT_ACCEPT);
        CVeskNetworkSession* client = manager->Connect(
            secure, "127.0.0.1", std::to_string(to_port ? to_port : port).c_str(), &SessionJournal::Record, &journal);
        EXPECT_NE(client, nullptr);
        return {client, journal.WaitAccepted(before + 1)};
    }

    std::string service;
    int raw_listener = -1;
    int raw_port = 0;
    std::vector<int> raw_sockets;
};

}  // namespace vesk_test

#endif

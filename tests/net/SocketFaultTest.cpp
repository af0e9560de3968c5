// TCP ports when the system or the peer misbehaves: no descriptors left,
// a served peer lost to an error other than a reset, a name server that never
// answers, a peer that does not read. The socket library is the real one with
// some entries replaced, switched from the test.

#include "net/HostResolver.h"
#include "net/SocketNoticeWindow.h"
#include "net/WsConnection.h"
#include "support/WsTestPort.h"

#include <gtest/gtest.h>

#include <QCoreApplication>

#include <cerrno>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

using namespace dravane;
using namespace dravane::net;
using namespace dravane::test;

namespace {

// Switched on the UI thread, read there by the replaced entries.
int gAcceptErrno = 0;
int gAccepts = 0;
int gRecvErrno = 0;

int fakeAccept(int Socket, sockaddr* Address, socklen_t* Length) {
    ++gAccepts;
    if (gAcceptErrno != 0) {
        errno = gAcceptErrno;
        return -1;
    }
    return ::accept(Socket, Address, Length);
}

ssize_t fakeRecv(int Socket, void* Buf, size_t Size, int Flags) {
    if (gRecvErrno != 0) {
        errno = gRecvErrno;
        return -1;
    }
    return ::recv(Socket, Buf, Size, Flags);
}

// A name server: "silent.invalid" gets no answer until Release (or a bound of
// 30 s); every other name is the loopback address.
struct TNameServer {
    std::mutex Lock;
    std::condition_variable Changed;
    int Waiting = 0;       // guard: Lock
    bool Released = false; // guard: Lock
    int Threads = 0;       // guard: Lock: look-up threads that asked it and have not ended
} gNames;

// Counts its thread in Threads until the thread has ended, that is until the
// look-up has given back its place among the program's few.
struct TLookUpThread {
    TLookUpThread() {
        std::lock_guard lock(gNames.Lock);
        ++gNames.Threads;
    }
    ~TLookUpThread() {
        std::lock_guard lock(gNames.Lock);
        --gNames.Threads;
        gNames.Changed.notify_all();
    }
};

int fakeGetAddrInfo(const char* Name, const char* Service, const addrinfo* Hints, addrinfo** Result) {
    thread_local const TLookUpThread counted;
    if (std::string(Name) == "silent.invalid") {
        std::unique_lock lock(gNames.Lock);
        ++gNames.Waiting;
        gNames.Changed.notify_all();
        gNames.Changed.wait_for(lock, std::chrono::seconds(30), [] { return gNames.Released; });
        return EAI_AGAIN;
    }
    addrinfo hints = *Hints;
    hints.ai_flags |= AI_NUMERICHOST;
    return ::getaddrinfo("127.0.0.1", Service, &hints, Result);
}

class SocketFaultTest : public ::testing::Test {
protected:
    SocketFaultTest() {
        LoadWinsock(Api);
        Api.accept = fakeAccept;
        Api.recv = fakeRecv;
        Api.getaddrinfo = fakeGetAddrInfo;
        gAcceptErrno = gAccepts = gRecvErrno = 0;
        std::lock_guard lock(gNames.Lock);
        gNames.Waiting = 0;
        gNames.Released = false;
    }
    ~SocketFaultTest() override {
        ReleaseNames();
        // A look-up still running would hang on in the next test, which
        // silences the name server again, and keep a place from it.
        std::unique_lock lock(gNames.Lock);
        gNames.Changed.wait_for(lock, std::chrono::seconds(10), [] { return gNames.Threads == 0; });
    }

    TWsLibrary Library() const { return {"", &Api}; }
    std::uint16_t OpenServer(TWsTestPort& port) {
        EXPECT_EQ(port.OpenServer(0), 0);
        return port.D ? PortOf(port.D->ComHandle()) : 0;
    }
    static bool WaitForSilentLookups(int Count) {
        std::unique_lock lock(gNames.Lock);
        return gNames.Changed.wait_for(lock, std::chrono::seconds(10),
                                       [&] { return gNames.Waiting >= Count; });
    }
    static void ReleaseNames() {
        std::lock_guard lock(gNames.Lock);
        gNames.Released = true;
        gNames.Changed.notify_all();
    }

    TWsApi Api{};
};

} // namespace

TEST_F(SocketFaultTest, AcceptWithoutDescriptorsBacksOffReportsOncePerStreakAndRecovers) {
    TDeviceSocket sockets(Library());
    TWsTestPort server(sockets);
    const std::uint16_t p = OpenServer(server);
    gAcceptErrno = EMFILE;
    TRawPeer first;
    ASSERT_TRUE(first.Connect(p)); // waits in the backlog
    ASSERT_TRUE(PumpUntil([&] { return !server.Errors.empty(); }));
    EXPECT_EQ(server.Errors, std::vector<int>{serial::wsaEMFile});

    // No retry until the next tick: the loop turns without accepting again.
    // A tick may fall within it, and one more for each retry period the
    // loop was held up by a busy machine.
    const int accepts = gAccepts;
    const auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < 20; ++i)
        QCoreApplication::processEvents();
    const auto periods = (std::chrono::steady_clock::now() - start) /
                         std::chrono::milliseconds(TSocketNoticeWindow::AcceptRetryMs);
    EXPECT_LE(gAccepts - accepts, 1 + periods);
    // Retried on later ticks, silently.
    ASSERT_TRUE(PumpUntil([&] { return gAccepts >= accepts + 3; }));
    EXPECT_EQ(server.Errors.size(), 1u);
    EXPECT_EQ(server.Accepts, 0);

    // Descriptors free again: the waiting client is admitted.
    gAcceptErrno = 0;
    ASSERT_TRUE(PumpUntil([&] { return server.Accepts == 1 && server.Carrier(); }));
    first.Send("in");
    ASSERT_TRUE(PumpUntil([&] { return server.Received == "in"; }));

    // A later streak is reported again, here on a newcomer turned away.
    gAcceptErrno = EMFILE;
    TRawPeer second;
    ASSERT_TRUE(second.Connect(p));
    ASSERT_TRUE(PumpUntil([&] { return server.Errors.size() == 2; }));
    gAcceptErrno = 0;
    bool closed = false;
    second.Read(1, 10000, &closed);
    EXPECT_TRUE(closed);
    EXPECT_EQ(server.Accepts, 1);
    EXPECT_EQ(server.Disconnects, 0);
}

TEST_F(SocketFaultTest, RepliesToAPeerThatDoesNotReadWaitInOrderWithTheData) {
    TDeviceSocket sockets(Library());
    TWsTestPort server(sockets);
    const std::uint16_t p = OpenServer(server);
    server.OnAvail = [&] {
        if (server.Received == "Z")
            server.Put("END");
    };
    TRawPeer peer;
    peer.Fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const int small = 4096;
    ::setsockopt(peer.Fd, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
    const sockaddr_in to = Loopback(p);
    ASSERT_EQ(::connect(peer.Fd, reinterpret_cast<const sockaddr*>(&to), sizeof to), 0);
    ASSERT_TRUE(PumpUntil([&] { return server.Accepts == 1; }));
    ::setsockopt(server.Connection()->CommSocket(), SOL_SOCKET, SO_SNDBUF, &small, sizeof small);

    // DO ECHO again and again, then data; the peer reads only once replies
    // are waiting on this side (or it has sent everything).
    constexpr int Requests = 100000;
    std::string wire;
    for (int i = 0; i < Requests; ++i)
        wire += "\xff\xfd\x01";
    wire += "Z";
    std::size_t sent = 0;
    bool reading = false, closed = false;
    std::string got;
    const auto endsWith = [&](const std::string& tail) {
        return got.size() >= tail.size() && got.compare(got.size() - tail.size(), tail.size(), tail) == 0;
    };
    PumpUntil(
        [&] {
            if (sent < wire.size()) {
                const ssize_t n =
                    ::send(peer.Fd, wire.data() + sent, wire.size() - sent, MSG_DONTWAIT | MSG_NOSIGNAL);
                if (n > 0)
                    sent += static_cast<std::size_t>(n);
            }
            reading = reading || sent == wire.size() ||
                      (server.Connection() && server.Connection()->OutChars() > 0);
            char buf[65536];
            ssize_t n = 0;
            while (reading && (n = ::recv(peer.Fd, buf, sizeof buf, MSG_DONTWAIT)) > 0)
                got.append(buf, static_cast<std::size_t>(n));
            closed = closed || (reading && n == 0);
            return endsWith("END") || closed;
        },
        20s);
    std::string expected;
    for (int i = 0; i < Requests; ++i)
        expected += "\xff\xfc\x01";
    expected += "END";
    EXPECT_EQ(got.size(), expected.size());
    EXPECT_TRUE(got == expected);
    EXPECT_EQ(server.Received, "Z");
}

TEST_F(SocketFaultTest, ServedPeerLostToAnyFatalErrorFreesTheSlot) {
    TDeviceSocket sockets(Library());
    TWsTestPort server(sockets);
    const std::uint16_t p = OpenServer(server);
    const std::pair<int, int> losses[] = {
        {ETIMEDOUT, serial::wsaETimedOut},
        {EHOSTUNREACH, serial::wsaEHostUnreach},
        {ENETUNREACH, serial::wsaENetUnreach},
    };
    int round = 0;
    for (const auto& [err, code] : losses) {
        SCOPED_TRACE(code);
        ++round;
        TRawPeer peer;
        ASSERT_TRUE(peer.Connect(p));
        ASSERT_TRUE(PumpUntil([&] { return server.Accepts == round && server.Carrier(); }));
        gRecvErrno = err;
        peer.Send("x"); // the next receive fails
        ASSERT_TRUE(PumpUntil([&] { return server.Disconnects == round; }));
        gRecvErrno = 0;
        EXPECT_EQ(server.Errors.back(), code);
        EXPECT_FALSE(server.Carrier());
        EXPECT_TRUE(server.IsOpen());
    }
    // The next client is admitted, not turned away as if one were served.
    TRawPeer next;
    ASSERT_TRUE(next.Connect(p));
    ASSERT_TRUE(PumpUntil([&] { return server.Accepts == 4; }));
    next.Send("ok");
    ASSERT_TRUE(PumpUntil([&] { return server.Received == "ok"; }));
    EXPECT_EQ(server.Errors.size(), 3u);
}

TEST_F(SocketFaultTest, BackToBackPeersAreEachAdmittedAndGetNothingMeantForTheOneBefore) {
    TDeviceSocket sockets(Library());
    TWsTestPort server(sockets);
    const std::uint16_t p = OpenServer(server);
    server.Put("before anyone"); // the first peer still gets what waited for a peer
    auto current = std::make_unique<TRawPeer>();
    ASSERT_TRUE(current->Connect(p));
    ASSERT_TRUE(PumpUntil([&] { return server.Accepts == 1; }));
    EXPECT_EQ(current->Read(13), "before anyone");
    for (int i = 1; i <= 20; ++i) {
        SCOPED_TRACE(i);
        if (i % 2 == 0) {
            // Reset, and the controller's answer for it written before the
            // reset is seen: it waits in the output ring.
            current->Reset();
            server.Put("for the one before");
        } else {
            current->Close();
        }
        // The next one arrives in the same turn of the loop as the leave.
        auto next = std::make_unique<TRawPeer>();
        ASSERT_TRUE(next->Connect(p));
        ASSERT_TRUE(PumpUntil([&] { return server.Accepts == i + 1 && server.Disconnects == i; }));
        const std::string hello = "hello " + std::to_string(i);
        server.Put(hello);
        bool closed = false;
        EXPECT_EQ(next->Read(hello.size(), 10000, &closed), hello);
        EXPECT_FALSE(closed);
        current = std::move(next);
    }
}

TEST_F(SocketFaultTest, AnUnansweredLookUpHoldsUpNeitherLaterOpensNorTheEnd) {
    auto sockets = std::make_unique<TDeviceSocket>(Library());
    {
        TWsTestPort server(*sockets);
        const std::uint16_t p = OpenServer(server);
        TWsTestPort silent(*sockets);
        ASSERT_EQ(silent.OpenClient(p, true, "silent.invalid"), 0);
        ASSERT_TRUE(WaitForSilentLookups(1));
        const int handle = silent.D->ComHandle();
        silent.Close();
        EXPECT_EQ(sockets->FindConnection(handle), nullptr);

        TWsTestPort named(*sockets);
        ASSERT_EQ(named.OpenClient(p, true, "localhost"), 0);
        EXPECT_TRUE(PumpUntil([&] { return named.Connects == 1 && server.Accepts == 1; }));

        // The program ends while another look-up is in flight.
        TWsTestPort last(*sockets);
        ASSERT_EQ(last.OpenClient(p, true, "silent.invalid"), 0);
        EXPECT_TRUE(WaitForSilentLookups(2));
    }
    bool releasedByWatchdog = false;
    std::thread watchdog([&] {
        std::unique_lock lock(gNames.Lock);
        if (!gNames.Changed.wait_for(lock, std::chrono::seconds(5), [] { return gNames.Released; })) {
            releasedByWatchdog = true;
            gNames.Released = true;
            gNames.Changed.notify_all();
        }
    });
    sockets.reset();
    ReleaseNames();
    watchdog.join();
    EXPECT_FALSE(releasedByWatchdog);
}

TEST_F(SocketFaultTest, HangingLookUpsAreBoundedAndFreeTheirPlaceWhenTheyEnd) {
    THostResolver resolver(Api);
    std::vector<std::int32_t> errors;
    const auto record = [&](const std::vector<TSockAddr>&, std::int32_t Error) { errors.push_back(Error); };
    for (int i = 0; i < 8; ++i)
        resolver.Start("silent.invalid", record);
    ASSERT_TRUE(WaitForSilentLookups(8));
    // One more while eight hang: refused at once, no ninth thread.
    resolver.Start("localhost", record);
    ASSERT_TRUE(PumpUntil([&] { return errors.size() == 1; }));
    EXPECT_EQ(errors[0], 11002);
    EXPECT_EQ(gNames.Waiting, 8);

    ReleaseNames();
    ASSERT_TRUE(PumpUntil([&] { return errors.size() == 9; }));
    in_addr_t found = 0;
    resolver.Start("localhost", [&](const std::vector<TSockAddr>& Found, std::int32_t) {
        found = Found.empty() ? 0 : Found[0].Address().IPv4();
    });
    EXPECT_TRUE(PumpUntil([&] { return found != 0; }));
}

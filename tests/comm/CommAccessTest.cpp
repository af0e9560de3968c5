// Who a Server lets at the controller: its listen address, its allow-list
// and its shared key, over loopback IPv4 and IPv6, with real Clients and raw
// peers. The challenge runs on a clock the test moves.

#include "comm/CommFixture.h"
#include "comm/NetDefs.h"
#include "net/AuthChallenge.h"
#include "support/WsTestPort.h"

#include <QLoggingCategory>

#include <cerrno>
#include <fstream>
#include <poll.h>

using namespace dravane;
using namespace dravane::test;
using namespace dravane::comm;
using namespace std::chrono_literals;

namespace {

const std::string TheKey = "correct horse battery staple";

// Reads while the event loop runs until done(what came) holds or the peer
// closed; false when neither happened within the bound.
template <class Fn> bool ReadUntil(const TRawPeer& peer, std::string& got, bool& closed, Fn done) {
    return PumpUntil([&] {
        pollfd p{peer.Fd, POLLIN, 0};
        while (!closed && ::poll(&p, 1, 0) == 1) {
            char buf[4096];
            const ssize_t n = ::recv(peer.Fd, buf, sizeof buf, MSG_DONTWAIT);
            if (n <= 0)
                closed = true;
            else
                got.append(buf, static_cast<std::size_t>(n));
        }
        return closed || done(got);
    });
}

bool Contains(const std::string& s, const std::string& part) {
    return s.find(part) != std::string::npos;
}

// Connects while the event loop, which accepts, runs: a blocking connect
// would wait on a full backlog.
bool ConnectLater(TRawPeer& peer, std::uint16_t port) {
    peer.Fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    const sockaddr_in a = Loopback(port);
    if (::connect(peer.Fd, reinterpret_cast<const sockaddr*>(&a), sizeof a) != 0 && errno != EINPROGRESS)
        return false;
    return PumpUntil([&] {
        pollfd p{peer.Fd, POLLOUT, 0};
        return ::poll(&p, 1, 0) == 1;
    });
}

// The nonce of the challenge in what a peer received.
std::string NonceIn(const std::string& got) {
    const auto at = got.find("[AUTH ");
    return at == std::string::npos ? std::string() : got.substr(at + 6, 32);
}

class Access : public CommFixture {
protected:
    std::string ServerOn(std::uint16_t port, const std::string& more) const {
        return "[Ports]\nCOM3=" + Controller.SlavePath() +
               "\n[Comm]\nPort=3\nMode=2\nipPort=" + std::to_string(port) + "\n" + more;
    }
    static std::string ClientTo(const std::string& address, std::uint16_t port, const std::string& more) {
        return "[Comm]\nMode=1\nipAddress=" + address + "\nipPort=" + std::to_string(port) + "\n" + more;
    }
    // The Server's challenge runs on Now.
    TTestComm& OpenServer(std::uint16_t port, const std::string& more) {
        TTestComm& server = Open(ServerOn(port, more));
        server.SetAuthClock([this] { return Now; });
        return server;
    }
    // A raw peer's visit: what it got before the Server closed it.
    std::string Visit(std::uint16_t port, int family, const std::string& send, bool& closed) {
        TRawPeer peer;
        closed = false;
        std::string got;
        if (!peer.Connect(port, family))
            return "(not connected)";
        peer.Send(send);
        ReadUntil(peer, got, closed, [](const std::string&) { return false; });
        return got;
    }
    // The Server lets its peer go and listens on.
    static bool PeerGone(const TTestComm& server) {
        return PumpUntil([&] { return server.RemoteDataSocket() < 0; });
    }
    std::chrono::steady_clock::time_point Now = std::chrono::steady_clock::now();
};

} // namespace

// Listen address, allow-list and key, each case with what reaches the
// controller and what the log says; a Client and Server without a key are
// the other tests of the roles, unchanged.
TEST_F(Access, ListenAddressAllowListAndKeyOverIPv4AndIPv6) {
    if (!HaveIPv6Loopback())
        GTEST_SKIP() << "no IPv6 loopback here";
    TLinkLog log;
    const std::uint16_t port = FreePort();
    TTestComm& server = OpenServer(port, "ListenAddress=127.0.0.1\nAllowFrom=127.0.0.1, 10.0.0.0/33\n");
    comm::SystemReady = true;

    // The bad entry is told once, one line; where it listens and what is in force are logged.
    ASSERT_EQ(std::count_if(Errors.begin(), Errors.end(),
                            [](const std::string& e) { return Contains(e, "10.0.0.0/33"); }),
              1);
    EXPECT_TRUE(log.Has("Listening on TCP port " + std::to_string(port) + " on 127.0.0.1"));
    EXPECT_TRUE(log.Has("Key: none"));
    EXPECT_TRUE(log.Has("AllowFrom: 127.0.0.1/32"));

    // A second Server on the same address and port: the message names the
    // address and the cause.
    {
        Open("[Comm]\nMode=2\nipPort=" + std::to_string(port) + "\nListenAddress=127.0.0.1\n");
        EXPECT_TRUE(std::any_of(Errors.begin(), Errors.end(), [&](const std::string& e) {
            return Contains(e, "Cannot listen on 127.0.0.1 port " + std::to_string(port) + ": ") &&
                   Contains(e, "in use");
        })) << (Errors.empty() ? "" : Errors.back());
        Windows.back()->Shutdown();
    }

    // On 127.0.0.1 only: ::1 is not served; 127.0.0.1 is, as today.
    {
        TRawPeer v6;
        EXPECT_FALSE(v6.Connect(port, AF_INET6));
        TRawPeer v4;
        ASSERT_TRUE(v4.Connect(port, AF_INET));
        v4.Send("[REMOTE]\r");
        ASSERT_TRUE(PumpUntil([&] { return Controller.Count("[REMOTE]") == 1; }));
        EXPECT_TRUE(log.Has("Peer 127.0.0.1 port * connected, admitted (no key)"));
    }
    ASSERT_TRUE(PeerGone(server));

    // Every address: ::1 is outside the allow-list, told why and closed, and
    // nothing it sent reaches the controller.
    server.SetListenAddress("");
    server.Confirm();
    ASSERT_TRUE(
        PumpUntil([&] { return log.Has("Listening on TCP port " + std::to_string(port) + " (every"); }));
    EXPECT_EQ(std::count_if(Errors.begin(), Errors.end(),
                            [](const std::string& e) { return Contains(e, "10.0.0.0/33"); }),
              1);
    // What the controller said before anyone came is no refused peer's business.
    Controller.Send("[T4BR0198H00M0101]\r");
    ASSERT_TRUE(PumpUntil([&] { return server.GetPacket().Cmd == cmd485_DravaneStatus; }));
    bool closed = false;
    // (Telnet sends a CR as CR NUL.)
    EXPECT_EQ(Visit(port, AF_INET6, Right + "\r[REMOTE]\r", closed),
              std::string("[REFUSED address]\r\0", 19));
    EXPECT_TRUE(closed);
    EXPECT_TRUE(log.Has("Peer ::1 port * refused: not in AllowFrom"));
    ASSERT_TRUE(PeerGone(server));
    EXPECT_EQ(Controller.Count(Right), 0);
    EXPECT_EQ(Controller.Count("[REMOTE]"), 1);

    // A key, anyone: a peer served without one is let go; a Client over
    // IPv6 with the key is admitted and commands.
    {
        TRawPeer keyless;
        ASSERT_TRUE(keyless.Connect(port, AF_INET));
        ASSERT_TRUE(PumpUntil([&] { return server.RemoteDataSocket() >= 0; }));
        server.SetAllowFrom("");
        server.SetKey(TheKey);
        server.Confirm();
        std::string got;
        closed = false;
        ASSERT_TRUE(ReadUntil(keyless, got, closed, [](const std::string&) { return false; }));
        EXPECT_TRUE(closed);
        EXPECT_TRUE(log.Has("Peer 127.0.0.1 port * refused: a key is required now"));
    }
    ASSERT_TRUE(PeerGone(server));
    {
        TTestComm& client = Open(ClientTo("::1", port, "Key=" + TheKey + "\n"));
        ASSERT_TRUE(PumpUntil([&] { return server.GetRemoteStatus() == comm::lsReady; }));
        EXPECT_TRUE(log.Has("Peer ::1 port * connected, admitted (right key)"));
        EXPECT_TRUE(log.Has("Admitted by the Server at ::1 port"));
        BoundWaits();
        EXPECT_TRUE(client.SendCommand(baseDravane, cmd485_SetDravane, "\x02", cmd485_DravaneStatus));
        ASSERT_FALSE(TimedOut);
        FBound.stop();
        EXPECT_EQ(Controller.Count(Right), 1);
        client.Shutdown();
    }
    ASSERT_TRUE(PeerGone(server));
    const std::size_t linesBefore = Controller.Lines.size();
    const auto fromPeers = [&] {
        // The Server's own link tests are the only lines the controller may get now.
        int n = 0;
        for (std::size_t k = linesBefore; k < Controller.Lines.size(); ++k)
            n += Controller.Lines[k] != "[LINK]";
        return n;
    };

    // A Client with a wrong key: refused, told in words, nothing of it reaches the controller.
    Errors.clear();
    {
        TTestComm& wrong = Open(ClientTo("127.0.0.1", port, "Key=not the key\n"));
        ASSERT_TRUE(PumpUntil([&] { return log.Has("Peer 127.0.0.1 port * refused: wrong key"); }));
        ASSERT_TRUE(PumpUntil([&] {
            return std::any_of(Errors.begin(), Errors.end(), [](const std::string& e) {
                return Contains(e, "Refused by the Server at 127.0.0.1") && Contains(e, "wrong key");
            });
        }));
        EXPECT_EQ(wrong.GetRemoteStatus(), comm::lsDisconnected);
        wrong.Shutdown();
    }
    ASSERT_TRUE(PeerGone(server));
    EXPECT_EQ(fromPeers(), 0);
    for (const std::string& line : log.Lines)
        EXPECT_FALSE(Contains(line, TheKey)) << line;

    // A missing answer: a command instead, and the time runs out.
    Now += 61s; // the wrong key's back-off is over
    {
        TRawPeer peer;
        ASSERT_TRUE(peer.Connect(port, AF_INET));
        std::string got;
        closed = false;
        ASSERT_TRUE(
            ReadUntil(peer, got, closed, [](const std::string& g) { return NonceIn(g).size() == 32; }));
        peer.Send(Right + "\r");
        RunFor(100ms);
        Now += 5001ms;
        server.Tick();
        ASSERT_TRUE(ReadUntil(peer, got, closed, [](const std::string&) { return false; }));
        EXPECT_TRUE(closed);
        EXPECT_TRUE(Contains(got, "[AUTHFAIL missing]\r")) << got;
        EXPECT_TRUE(log.Has("Peer 127.0.0.1 port * refused: no answer within 5 s"));
    }
    ASSERT_TRUE(PeerGone(server));
    EXPECT_EQ(fromPeers(), 0);

    // A late answer: the right one, after the time.
    Now += 61s;
    {
        TRawPeer peer;
        ASSERT_TRUE(peer.Connect(port, AF_INET6));
        std::string got;
        closed = false;
        ASSERT_TRUE(
            ReadUntil(peer, got, closed, [](const std::string& g) { return NonceIn(g).size() == 32; }));
        Now += 5001ms;
        peer.Send("[AUTHR " + net::AuthMac(QByteArray::fromStdString(TheKey), NonceIn(got)) + "]\r" + Right +
                  "\r");
        ASSERT_TRUE(ReadUntil(peer, got, closed, [](const std::string&) { return false; }));
        EXPECT_TRUE(closed);
        EXPECT_TRUE(Contains(got, "[AUTHFAIL late]\r")) << got;
        EXPECT_TRUE(log.Has("Peer ::1 port * refused: answer too late"));
    }
    ASSERT_TRUE(PeerGone(server));
    EXPECT_EQ(fromPeers(), 0);
}

// One address guessing: after the first wrong answer the back-off turns the
// rest away at once, and the gate remembers one address, whatever the count.
TEST_F(Access, AThousandWrongAnswersFromOneAddressAreTurnedAwayFastAndHoldNothing) {
    TLinkLog log;
    const std::uint16_t port = FreePort();
    TTestComm& server = OpenServer(port, "Key=" + TheKey + "\n");
    comm::SystemReady = true;
    const std::string wrong = "[AUTHR " + std::string(64, '0') + "]\r" + Right + "\r";
    int challenged = 0, waited = 0, shownOut = 0;
    std::size_t resident = 0;
    for (int k = 0; k < 1000; ++k) {
        if (k == 10)
            resident = Resident();
        bool closed = false;
        const std::string got = Visit(port, AF_INET, wrong, closed);
        ASSERT_TRUE(closed) << "attempt " << k << " still open: " << got;
        challenged += Contains(got, "[AUTH ");
        waited += Contains(got, "[REFUSED wait ");
        shownOut += got.empty();
        ASSERT_TRUE(PeerGone(server));
    }
    EXPECT_EQ(challenged, 1);
    EXPECT_EQ(waited + shownOut, 999);
    EXPECT_GT(waited, 900);
    EXPECT_TRUE(log.Has("Peer 127.0.0.1 port * refused: wrong key"));
    EXPECT_TRUE(log.Has("Peer 127.0.0.1 port * refused: it failed lately and must wait 1 s"));
    ASSERT_NE(server.AuthGate(), nullptr);
    EXPECT_EQ(server.AuthGate()->InChallenge(), 0u);
    EXPECT_EQ(server.AuthGate()->Remembered(), 1u);
    EXPECT_EQ(Controller.Count(Right), 0);
    if (!Sanitized) {
        EXPECT_LT(Resident(), resident + 4 * 1024 * 1024);
    }
}

// The port serves one peer at a time: while an admitted Client is served,
// fifty peers that open and idle are shown out by the port before any
// challenge, so the challenge never holds more than one peer and the
// Client's commands go on.
TEST_F(Access, FiftyIdlePeersDoNotStopAnAdmittedClient) {
    const std::uint16_t port = FreePort();
    TTestComm& server = OpenServer(port, "Key=" + TheKey + "\n");
    TTestComm& client = Open(ClientTo("127.0.0.1", port, "Key=" + TheKey + "\n"));
    comm::SystemReady = true;
    ASSERT_TRUE(PumpUntil([&] { return server.GetRemoteStatus() == comm::lsReady; }));

    std::vector<std::unique_ptr<TRawPeer>> idle;
    for (int k = 0; k < 50; ++k) {
        idle.push_back(std::make_unique<TRawPeer>());
        ASSERT_TRUE(ConnectLater(*idle.back(), port));
    }
    BoundWaits();
    for (int k = 0; k < 5; ++k) {
        EXPECT_TRUE(client.SendCommand(baseDravane, cmd485_SetDravane, "\x02", cmd485_DravaneStatus));
        ASSERT_FALSE(TimedOut);
        EXPECT_LE(server.AuthGate()->InChallenge(), 1u);
    }
    EXPECT_EQ(Controller.Count(Right), 5);
    for (const auto& peer : idle) {
        std::string got;
        bool closed = false;
        ASSERT_TRUE(ReadUntil(*peer, got, closed, [](const std::string&) { return false; }));
        EXPECT_TRUE(closed);
        EXPECT_FALSE(Contains(got, "[AUTH")) << got;
        EXPECT_FALSE(Contains(got, "[T")) << got;
    }
    EXPECT_EQ(server.GetRemoteStatus(), comm::lsReady);
    EXPECT_EQ(server.AuthGate()->InChallenge(), 0u);
}

// A key in a file others can read is told once at start, with the way out;
// the same file kept to its owner is not.
TEST_F(Access, AKeyInAFileOthersCanReadIsTold) {
    TLinkLog log;
    const auto told = [&] {
        return std::count_if(log.Lines.begin(), log.Lines.end(), [](const std::string& l) {
            return Contains(l, "holds a Key and other users can read it (mode 0644): chmod 600");
        });
    };
    const std::string settings = ClientTo("127.0.0.1", FreePort(), "Key=" + TheKey + "\n");
    WriteAll(Ini, settings);
    std::filesystem::permissions(Ini, std::filesystem::perms(0644));
    TTestComm& client = Open(settings);
    EXPECT_EQ(told(), 1);
    client.LoadConfiguration(); // Cancel in the window: no second warning
    EXPECT_EQ(told(), 1);
    for (const std::string& line : log.Lines)
        EXPECT_FALSE(Contains(line, TheKey)) << line;
    client.Shutdown();

    std::filesystem::permissions(Ini, std::filesystem::perms(0600));
    Windows.push_back(std::make_unique<TTestComm>());
    Windows.back()->Start();
    Windows.back()->findChild<QTimer*>("Timer1")->stop();
    EXPECT_EQ(told(), 1);
}

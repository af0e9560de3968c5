#include "support/WsTestPort.h"

#include "net/WsConnection.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <QFile>
#include <QProcess>
#include <QStandardPaths>

#include <netinet/tcp.h>

#include <fstream>
#include <sstream>

using namespace dravane;
using namespace dravane::net;
using namespace dravane::test;

namespace {

class WinsockDispatcherTest : public ::testing::Test {
protected:
    // A server port on a free loopback port; returns the port number.
    std::uint16_t OpenServer(TWsTestPort& port, bool telnet = true, int outSize = 4096) {
        EXPECT_EQ(port.OpenServer(0, telnet, outSize), 0);
        return port.D ? PortOf(port.D->ComHandle()) : 0;
    }
    // Server and client of this system, connected.
    void ConnectPair(TWsTestPort& server, TWsTestPort& client, bool telnet = true) {
        const std::uint16_t p = OpenServer(server, telnet);
        ASSERT_EQ(client.OpenClient(p, telnet), 0);
        ASSERT_TRUE(PumpUntil([&] { return client.Connects == 1 && server.Accepts == 1; }));
    }
    std::string AllBytes() const {
        std::string s;
        for (int i = 0; i < 256; ++i)
            s += static_cast<char>(i);
        return s;
    }

    TDeviceSocket Sockets;
};

} // namespace

TEST_F(WinsockDispatcherTest, PortsOfThisSystemConnectOnceAndCarryDataBothWays) {
    TWsTestPort server(Sockets), client(Sockets);
    ConnectPair(server, client);
    EXPECT_EQ(server.LastPeer, htonl(INADDR_LOOPBACK));
    EXPECT_TRUE(server.Carrier());
    EXPECT_TRUE(client.Carrier());
    // Both data sockets send at once: the relay writes byte by byte.
    for (TWsTestPort* port : {&server, &client}) {
        int on = 0;
        socklen_t len = sizeof on;
        ASSERT_EQ(::getsockopt(port->Connection()->CommSocket(), IPPROTO_TCP, TCP_NODELAY, &on, &len), 0);
        EXPECT_NE(on, 0);
    }

    EXPECT_EQ(client.Put("[R98T4AH02]\r\n"), 0);
    EXPECT_EQ(server.Put("[LINKOK]\r"), 0);
    ASSERT_TRUE(PumpUntil([&] { return server.Received.size() >= 13 && client.Received.size() >= 9; }));
    EXPECT_EQ(server.Received, "[R98T4AH02]\r\n");
    EXPECT_EQ(client.Received, "[LINKOK]\r");
    RunFor(120ms);
    EXPECT_EQ(client.Connects, 1);
    EXPECT_EQ(server.Accepts, 1);
    EXPECT_EQ(client.Disconnects + server.Disconnects, 0);
    EXPECT_TRUE(server.Errors.empty() && client.Errors.empty());
    serial::TComStat stat;
    EXPECT_EQ(server.D->GetComError(stat), 0); // a receive that would block is no error
}

TEST_F(WinsockDispatcherTest, EveryByteValuePassesBothWaysUnchangedAndTheWireIsEscaped) {
    TWsTestPort server(Sockets), client(Sockets);
    ConnectPair(server, client);
    const std::string all = AllBytes() + "\r\r\n\xff\xff\r";
    EXPECT_EQ(client.Put(all), 0);
    EXPECT_EQ(server.Put(all), 0);
    ASSERT_TRUE(PumpUntil(
        [&] { return server.Received.size() >= all.size() && client.Received.size() >= all.size(); }));
    EXPECT_EQ(server.Received, all);
    EXPECT_EQ(client.Received, all);

    // The same port against a raw peer: 255 doubled, a lone CR followed by NUL, CR LF as is.
    TWsTestPort raw(Sockets);
    const std::uint16_t p = OpenServer(raw);
    TRawPeer peer;
    ASSERT_TRUE(peer.Connect(p));
    ASSERT_TRUE(PumpUntil([&] { return raw.Accepts == 1; }));
    EXPECT_EQ(raw.Put(std::string("\xff"
                                  "a\rb\r\n",
                                  6)),
              0);
    EXPECT_EQ(peer.Read(8), std::string("\xff\xff"
                                        "a\r\0b\r\n",
                                        8));
    peer.Send(std::string("\xff\xff"
                          "abc\r\0x\r\n",
                          10));
    ASSERT_TRUE(PumpUntil([&] { return raw.Received.size() >= 8; }));
    EXPECT_EQ(raw.Received, std::string("\xff"
                                        "abc\rx\r\n",
                                        8));
}

TEST_F(WinsockDispatcherTest, NegotiationIsAnsweredByTheTableAndDeliversNothing) {
    TWsTestPort server(Sockets);
    const std::uint16_t p = OpenServer(server);
    TRawPeer peer;
    ASSERT_TRUE(peer.Connect(p));
    ASSERT_TRUE(PumpUntil([&] { return server.Accepts == 1; }));
    RunFor(60ms);
    EXPECT_EQ(peer.Read(1, 100), ""); // nothing is offered on connecting

    peer.Send("\xff\xfd\x18"); // DO TERMINAL-TYPE
    EXPECT_EQ(peer.Read(3), "\xff\xfb\x18");
    peer.Send(std::string("\xff\xfa\x18\x01\xff\xf0", 6)); // SEND TERMINAL-TYPE
    EXPECT_EQ(peer.Read(11), std::string("\xff\xfa\x18\x00vt100\xff\xf0", 11));
    peer.Send("\xff\xfb\x05"); // WILL 5
    EXPECT_EQ(peer.Read(3), "\xff\xfe\x05");
    peer.Send("\xff\xfd\x01"); // DO ECHO
    EXPECT_EQ(peer.Read(3), "\xff\xfc\x01");
    peer.Send("ok");
    ASSERT_TRUE(PumpUntil([&] { return !server.Received.empty(); }));
    EXPECT_EQ(server.Received, "ok");
}

TEST_F(WinsockDispatcherTest, ServedPeerLeavesAndTheNextIsAdmittedWithoutReopening) {
    TWsTestPort server(Sockets);
    const std::uint16_t p = OpenServer(server);
    EXPECT_FALSE(server.Carrier());
    TRawPeer a;
    ASSERT_TRUE(a.Connect(p));
    ASSERT_TRUE(PumpUntil([&] { return server.Accepts == 1; }));
    EXPECT_TRUE(server.Carrier());
    a.Send("last words");
    a.Close();
    ASSERT_TRUE(PumpUntil([&] { return server.Disconnects == 1; }));
    EXPECT_EQ(server.Received, "last words"); // delivered before the news of the leave
    EXPECT_FALSE(server.Carrier());
    EXPECT_TRUE(server.IsOpen());

    TRawPeer b;
    ASSERT_TRUE(b.Connect(p));
    ASSERT_TRUE(PumpUntil([&] { return server.Accepts == 2; }));
    EXPECT_TRUE(server.Carrier());
    b.Send("next");
    ASSERT_TRUE(PumpUntil([&] { return server.Received.size() >= 14; }));
    EXPECT_EQ(server.Received, "last wordsnext");
}

TEST_F(WinsockDispatcherTest, RefusedPeerAndResetPeerFreeTheSlotAtOnce) {
    TWsTestPort server(Sockets);
    const std::uint16_t p = OpenServer(server);
    server.AcceptAnswer = 0;
    TRawPeer a;
    ASSERT_TRUE(a.Connect(p));
    bool closed = false;
    a.Read(1, 10000, &closed);
    EXPECT_TRUE(closed);
    EXPECT_EQ(server.Accepts, 1);
    EXPECT_FALSE(server.Carrier());

    server.AcceptAnswer = 1;
    TRawPeer b;
    ASSERT_TRUE(b.Connect(p));
    ASSERT_TRUE(PumpUntil([&] { return server.Accepts == 2 && server.Carrier(); }));
    b.Reset();
    ASSERT_TRUE(PumpUntil([&] { return server.Disconnects == 1; }));
    EXPECT_EQ(server.Errors, std::vector<int>{serial::wsaEConnReset});
    EXPECT_FALSE(server.Carrier());

    // Admitted at once, not turned away as if the reset peer were still served.
    TRawPeer c;
    ASSERT_TRUE(c.Connect(p));
    ASSERT_TRUE(PumpUntil([&] { return server.Accepts == 3; }));
    c.Send("in");
    ASSERT_TRUE(PumpUntil([&] { return server.Received == "in"; }));
}

TEST_F(WinsockDispatcherTest, WritesAreTakenWholeOrRefused) {
    // An output size above 4096: every byte escaped still fits its ring.
    TWsTestPort server(Sockets);
    const std::uint16_t p = OpenServer(server, true, 10000);
    EXPECT_EQ(server.Put(std::string(10000, '\xff')), 0);
    EXPECT_EQ(server.Put("x"), serial::ecOutputBufferTooSmall);
    TRawPeer a;
    ASSERT_TRUE(a.Connect(p));
    const std::string wire = a.Read(20000);
    EXPECT_EQ(wire, std::string(20000, '\xff'));

    // A block the ring cannot hold is not taken at all.
    TWsConnection* c = server.Connection();
    ASSERT_NE(c, nullptr);
    const std::vector<std::uint8_t> big(static_cast<std::size_t>(c->OutSize()) + 1, 0xff);
    const int before = c->OutChars();
    EXPECT_EQ(c->WriteBuf(big.data(), static_cast<int>(big.size())), 0);
    EXPECT_EQ(c->OutChars(), before);
}

TEST_F(WinsockDispatcherTest, ClosingInsideItsOwnNotificationsIsDeferred) {
    // Accept, data, peer-left and connect notices each close the port from
    // inside; the sanitizers watch for any touch of what the close frees.
    for (int round = 0; round < 4; ++round) {
        SCOPED_TRACE(round);
        TWsTestPort server(Sockets);
        const std::uint16_t p = OpenServer(server);
        TWsTestPort client(Sockets);
        if (round == 0)
            server.OnSocket = [&](int e) {
                if (e == wsnAccepted)
                    server.Close();
            };
        if (round == 1)
            server.OnAvail = [&] { server.Close(); };
        if (round == 2)
            server.OnSocket = [&](int e) {
                if (e == wsnPeerClosed)
                    server.Close();
            };
        if (round == 3)
            client.OnSocket = [&](int e) {
                if (e == wsnConnected)
                    client.Close();
            };
        ASSERT_EQ(client.OpenClient(p), 0);
        ASSERT_TRUE(PumpUntil([&] { return client.Connects == 1; }));
        if (round == 1)
            client.Put("bye");
        if (round == 2)
            client.Close();
        TWsTestPort& closer = round == 3 ? client : server;
        ASSERT_TRUE(PumpUntil([&] { return !closer.IsOpen(); }));
        EXPECT_EQ(closer.Disconnects, round == 2 ? 2 : 1);
        RunFor(60ms);
    }
}

TEST_F(WinsockDispatcherTest, TriggersNeverFireInsideAHandlerThatPumpsMessages) {
    TWsTestPort server(Sockets), client(Sockets);
    ConnectPair(server, client);
    int depth = 0, deepest = 0;
    server.OnAvail = [&] {
        ++depth;
        deepest = std::max(deepest, depth);
        if (server.Avails == 1) {
            client.Put("second");
            RunFor(150ms); // a read notice and timer ticks arrive meanwhile
        }
        --depth;
    };
    client.Put("first");
    ASSERT_TRUE(PumpUntil([&] { return server.Received == "firstsecond"; }));
    EXPECT_EQ(deepest, 1);
}

// Idle, the port polls once a second; a timer trigger set meanwhile still
// fires on time, and data still arrives at once.
TEST_F(WinsockDispatcherTest, AnIdlePortPollsSeldomYetTimersAndDataComeOnTime) {
    TWsTestPort server(Sockets), client(Sockets);
    ConnectPair(server, client);
    RunFor(200ms);
    const auto since = std::chrono::steady_clock::now();
    const int handle = server.D->AddTimerTrigger();
    ASSERT_GT(handle, 0);
    ASSERT_EQ(server.D->SetTimerTrigger(static_cast<std::uint16_t>(handle), 2, true), 0); // two ticks
    ASSERT_TRUE(PumpUntil([&] { return server.Timers == 1; }, 2s));
    EXPECT_LT(std::chrono::steady_clock::now() - since, 600ms) << "the timer waited for the idle poll";
    RunFor(200ms);
    const auto sent = std::chrono::steady_clock::now();
    client.Put("x");
    ASSERT_TRUE(PumpUntil([&] { return server.Received == "x"; }, 2s));
    EXPECT_LT(std::chrono::steady_clock::now() - sent, 500ms);
}

TEST_F(WinsockDispatcherTest, HostNameIsResolvedWhileOpeningReturnsAtOnce) {
    TWsTestPort server(Sockets), client(Sockets);
    const std::uint16_t p = OpenServer(server);
    ASSERT_EQ(client.OpenClient(p, true, "localhost"), 0);
    EXPECT_EQ(client.Connects, 0);
    ASSERT_TRUE(PumpUntil([&] { return client.Connects == 1 && server.Accepts == 1; }));

    // A name resolved to a port nobody listens on: refused, closed, no disconnect event.
    TWsTestPort refused(Sockets);
    ASSERT_EQ(refused.OpenClient(FreePort(), true, "localhost"), 0);
    ASSERT_TRUE(PumpUntil([&] { return !refused.IsOpen(); }));
    EXPECT_EQ(refused.Errors, std::vector<int>{serial::wsaEConnRefused});
    EXPECT_EQ(refused.Disconnects, 0);
}

TEST(WinsockDispatcherLookup, FailedLookupReports9007AndTheClientCloses) {
    const TWsApi api = FailingLookupApi();
    TDeviceSocket sockets({"", &api});
    TWsTestPort client(sockets);
    ASSERT_EQ(client.OpenClient(FreePort(), true, "dravane.invalid"), 0);
    ASSERT_TRUE(PumpUntil([&] { return !client.IsOpen(); }));
    EXPECT_EQ(client.Errors, std::vector<int>{serial::ecWSCANTRESOLVE});
    EXPECT_EQ(client.Disconnects, 0);

    // Closed before the answer came: the answer finds nobody.
    TWsTestPort early(sockets);
    ASSERT_EQ(early.OpenClient(FreePort(), true, "dravane.invalid"), 0);
    early.Close();
    RunFor(100ms);
    EXPECT_TRUE(early.Errors.empty());
}

TEST(WinsockDispatcherInstance, TheProgramsDeviceSocketServesDispatchersWithoutOne) {
    EXPECT_EQ(TDeviceSocket::Instance(), nullptr);
    {
        TDeviceSocketInstance instance;
        EXPECT_EQ(TDeviceSocket::Instance(), &*instance);
        TWinsockDispatcher d(nullptr);
        d.InitSocketData(0, 0, htons(0), false, true);
        EXPECT_EQ(d.InitSocket(4096, 4096), 0);
        EXPECT_NE(instance->FindConnection(d.ComHandle()), nullptr);
        EXPECT_THROW(d.StartDispatcher(), std::runtime_error);
    }
    EXPECT_EQ(TDeviceSocket::Instance(), nullptr);
    TWinsockDispatcher orphan(nullptr);
    orphan.InitSocketData(0, 0, htons(0), false, true);
    EXPECT_EQ(orphan.InitSocket(4096, 4096), -serial::ecWSLOADERROR);
}

// ---- real peers

namespace {

bool HaveTool(const char* name) {
    return !QStandardPaths::findExecutable(name).isEmpty();
}

bool Finish(QProcess& p) {
    p.closeWriteChannel();
    const bool done = PumpUntil([&] { return p.state() == QProcess::NotRunning; });
    if (!done) {
        p.kill();
        p.waitForFinished(2000);
    }
    return done;
}

} // namespace

TEST_F(WinsockDispatcherTest, DebianTelnetNegotiatesAndOnlyItsTextReachesThePort) {
    if (!HaveTool("telnet"))
        GTEST_SKIP() << "telnet is not installed";
    TWsTestPort server(Sockets);
    const std::uint16_t p = OpenServer(server);
    server.D->InitDispatchLogging(1000);
    QProcess telnet;
    // A port given as -PORT makes the client negotiate on a non-standard port.
    telnet.start("telnet", {"--", "127.0.0.1", QString("-%1").arg(p)});
    ASSERT_TRUE(telnet.waitForStarted(5000));
    ASSERT_TRUE(PumpUntil([&] { return server.Accepts == 1; }));
    RunFor(200ms); // its offers arrive and are answered
    telnet.write("hello\n");
    ASSERT_TRUE(PumpUntil([&] { return server.Received.size() >= 7; }));
    EXPECT_EQ(server.Received, "hello\r\n");

    dravane::test::TempDir dir;
    const std::string log = dir.File("telnet.log");
    ASSERT_EQ(server.D->DumpDispatchLog(log, true, false), 0);
    // Each telnet entry as "subtype data", in order.
    std::vector<std::string> steps;
    std::ifstream in(log);
    for (std::string line; std::getline(in, line);) {
        std::istringstream fields(line);
        std::string time, type, sub, data;
        if (fields >> time >> type >> sub >> data && type == "Telnet")
            steps.push_back(sub + " " + data);
    }
    const auto answered = [&](const std::string& asked, const std::string& reply) {
        for (std::size_t i = 0; i + 1 < steps.size(); ++i)
            if (steps[i] == asked && steps[i + 1] == reply)
                return true;
        return false;
    };
    // DO SUPPRESS-GO-AHEAD is refused, WILL TERMINAL-TYPE declined, DO STATUS
    // (5) refused; nothing is offered or asked by this side.
    EXPECT_TRUE(answered("RcvdDo 00000003", "SentWont 00000003"));
    EXPECT_TRUE(answered("RcvdWill 00000018", "SentDont 00000018"));
    EXPECT_TRUE(answered("RcvdDo 00000005", "SentWont 00000005"));
    for (const std::string& step : steps)
        EXPECT_TRUE(step.rfind("SentDo ", 0) != 0 && step.rfind("SentWill ", 0) != 0) << step;
    EXPECT_TRUE(Finish(telnet));
}

TEST_F(WinsockDispatcherTest, SocatAsARawPeerOfAServerPort) {
    if (!HaveTool("socat"))
        GTEST_SKIP() << "socat is not installed";
    TWsTestPort server(Sockets);
    const std::uint16_t p = OpenServer(server, false);
    QProcess socat;
    socat.start("socat", {"-", QString("TCP:127.0.0.1:%1").arg(p)});
    ASSERT_TRUE(socat.waitForStarted(5000));
    ASSERT_TRUE(PumpUntil([&] { return server.Accepts == 1; }));
    socat.write("ping\xff\n");
    ASSERT_TRUE(PumpUntil([&] { return server.Received.size() >= 6; }));
    EXPECT_EQ(server.Received, "ping\xff\n");
    EXPECT_EQ(server.Put("pong\xff\n"), 0);
    QByteArray out;
    ASSERT_TRUE(PumpUntil([&] {
        out += socat.readAllStandardOutput();
        return out.size() >= 6;
    }));
    EXPECT_EQ(out.toStdString(), "pong\xff\n");
    EXPECT_TRUE(Finish(socat));
    ASSERT_TRUE(PumpUntil([&] { return server.Disconnects == 1; }));
}

// The Server and Client roles over loopback, with the controller on a
// pseudo-terminal behind the Server.

#include "comm/CommFixture.h"
#include "comm/GetComPorts.h"
#include "comm/NetDefs.h"
#include "net/DeviceSocket.h"
#include "net/WsConnection.h"
#include "support/WsTestPort.h"

#include <netinet/tcp.h>

using namespace dravane;
using namespace dravane::test;
using namespace dravane::comm;

namespace {

class Roles : public CommFixture {
protected:
    std::string ServerOn(std::uint16_t port) const {
        return "[Ports]\nCOM3=" + Controller.SlavePath() +
               "\n[Comm]\nPort=3\nMode=2\nipPort=" + std::to_string(port) + "\n";
    }
    static std::string ClientTo(std::uint16_t port) {
        return "[Comm]\nMode=1\nipAddress=127.0.0.1\nipPort=" + std::to_string(port) + "\n";
    }
    static int Option(int socket, int level, int name) {
        int value = -1;
        socklen_t len = sizeof value;
        ::getsockopt(socket, level, name, &value, &len);
        return value;
    }
    static void Select(TTestComm& w, const char* entry) {
        w.UseComPort(TGetComPorts::ExtractPortNumber(QString::fromLatin1(entry)));
    }
    static net::TDeviceSocket& Sockets() { return *net::TDeviceSocket::Instance(); }
    // Sends everything, as fast as the peer's output takes it.
    static bool PutAll(TWsTestPort& peer, const std::string& line, int times) {
        int sent = 0;
        return PumpUntil([&] {
            while (sent < times && peer.Put(line) == 0)
                ++sent;
            return sent == times;
        });
    }
};

} // namespace

TEST_F(Roles, AClientCommandsTheControllerThroughAServer) {
    const std::uint16_t port = FreePort();
    TTestComm& server = Open(ServerOn(port));
    TTestComm& client = Open(ClientTo(port));
    comm::SystemReady = true;
    EXPECT_FALSE(client.Port->Open());

    // The Client is ready on connecting; the Server on the first "[REMOTE]".
    ASSERT_TRUE(PumpUntil([&] { return client.GetRemoteStatus() == comm::lsReady; }));
    EXPECT_GE(MainForm.Count(mcCommLinkOk), 1);
    ASSERT_TRUE(PumpUntil([&] { return Controller.Count("Link test") == 1; }));
    EXPECT_EQ(server.GetRemoteStatus(), comm::lsDisconnected);
    client.Tick();
    ASSERT_TRUE(PumpUntil(
        [&] { return server.GetRemoteStatus() == comm::lsReady && Controller.Count("[REMOTE]") == 1; }));

    // Both data sockets notice a dead path by themselves.
    for (const TTestComm* w : {&server, &client}) {
        const int s = w->RemoteDataSocket();
        ASSERT_GE(s, 0);
        EXPECT_EQ(Option(s, SOL_SOCKET, SO_KEEPALIVE), 1);
        EXPECT_EQ(Option(s, IPPROTO_TCP, TCP_KEEPIDLE), net::DeadPeerKeepIdleS);
        EXPECT_EQ(Option(s, IPPROTO_TCP, TCP_KEEPINTVL), net::DeadPeerKeepIntervalS);
        EXPECT_EQ(Option(s, IPPROTO_TCP, TCP_KEEPCNT), net::DeadPeerKeepCount);
        EXPECT_EQ(Option(s, IPPROTO_TCP, TCP_USER_TIMEOUT), net::DeadPeerUserTimeoutMs);
    }

    // The Server's own panel commands the controller while a peer is
    // connected, and the peer sees the status that came back.
    EXPECT_TRUE(server.SendCommand(baseDravane, cmd485_SetDravane, "\x01", cmd485_DravaneStatus));
    EXPECT_EQ(Controller.Count("[R98T4AH01]"), 1);
    ASSERT_TRUE(PumpUntil([&] { return client.GetPacket().Cmd == cmd485_DravaneStatus; }));

    // The command reaches the controller ended by a single CR; the report is
    // decoded at both ends.
    Controller.Raw.clear();
    BoundWaits();
    EXPECT_TRUE(client.SendCommand(baseDravane, cmd485_SetDravane, "\x02", cmd485_DravaneStatus));
    ASSERT_FALSE(TimedOut);
    EXPECT_EQ(Controller.Raw, "[R98T4AH02]\r");
    const TNetPacket report{0x4B, 0x01, 0x98, 0x00, std::string("\x01\x00", 2)};
    EXPECT_EQ(client.GetPacket(), report);
    EXPECT_EQ(server.GetPacket(), report);

    // The Server goes away: the Client shows red, tells the main window, and
    // tries again every 141 ticks.
    server.Shutdown();
    MainForm.Codes.clear();
    ASSERT_TRUE(PumpUntil(
        [&] { return client.GetRemoteStatus() == comm::lsDisconnected && !client.RemotePort->Open(); }));
    EXPECT_EQ(MainForm.Codes, std::vector<std::int32_t>{mcCommLinkFail});
    std::vector<int> attempts;
    for (int tick = 1; tick <= 300; ++tick) {
        ASSERT_TRUE(PumpUntil([&] { return !client.RemotePort->Open(); }));
        client.Tick();
        if (client.RemotePort->Open())
            attempts.push_back(tick);
    }
    ASSERT_EQ(attempts.size(), 2u);
    EXPECT_EQ(attempts[1] - attempts[0], TCommLink::RemoteTimeout + 1);
}

TEST_F(Roles, AServerRelaysBetweenItsPeerAndTheController) {
    const std::uint16_t port = FreePort();
    TTestComm& server = Open(ServerOn(port));
    comm::SystemReady = true;

    // No peer yet: what the controller sends beyond the output buffer is
    // dropped for the peer; the serial side goes on reading and decoding.
    Controller.Send(std::string(6000, 'x') + "\r[LINKOK]\r");
    ASSERT_TRUE(PumpUntil([&] { return server.GetLinkStatus() == comm::lsReady; }));
    EXPECT_GT(server.RemoteBytesDropped(), 0u);
    EXPECT_TRUE(server.RemotePort->Open());

    TWsTestPort peer(Sockets());
    ASSERT_EQ(peer.OpenClient(port), 0);
    ASSERT_TRUE(PumpUntil([&] { return peer.Connects == 1; }));

    // Lines lose their control characters and end with one CR; an empty line
    // goes out as a lone CR; bytes 128-255 pass unchanged both ways.
    Controller.Raw.clear();
    peer.Put("[REMOTE]\r\r\x80\xC8\xFF abc\r\x01\x02[R98T4AH01]\n\r");
    ASSERT_TRUE(PumpUntil([&] { return Controller.Count("[R98T4AH01]") == 1; }));
    EXPECT_EQ(Controller.Raw, "[REMOTE]\r\r\x80\xC8\xFF abc\r[R98T4AH01]\r");
    EXPECT_EQ(server.GetRemoteStatus(), comm::lsReady);
    ASSERT_TRUE(PumpUntil([&] { return peer.Received.find("[T4BR0198H00M0107]\r") != std::string::npos; }));
    Controller.Send("\x80\xFE\xFF\r");
    EXPECT_TRUE(PumpUntil([&] { return peer.Received.find("\x80\xFE\xFF\r") != std::string::npos; }));

    // A second client is turned away; the first keeps its link.
    TWsTestPort second(Sockets());
    ASSERT_EQ(second.OpenClient(port), 0);
    EXPECT_TRUE(PumpUntil([&] { return !second.IsOpen(); }));

    // OK and a click on the current mode keep the session.
    server.Confirm();
    server.ChooseMode(2);
    peer.Put("[R98T4AH02]\r");
    ASSERT_TRUE(PumpUntil([&] { return Controller.Count("[R98T4AH02]") == 1; }));
    EXPECT_EQ(peer.Disconnects, 0);
    EXPECT_EQ(server.GetRemoteStatus(), comm::lsReady);

    // A controller that stops reading while the peer floods: lines that do
    // not fit are dropped, the serial port stays in service. Two commands
    // take turns, so that no line is a copy of the one before.
    const std::string flood = "[R98T4AH04]\r[R98T4AH05]\r";
    const int floods = 15000;
    Controller.SetReading(false);
    ASSERT_TRUE(PutAll(peer, flood, floods));
    ASSERT_TRUE(PumpUntil([&] { return server.LocalBytesDropped() > 0; }));
    Controller.SetReading(true);
    // Most of the flood is still on its way: until the last of it is either
    // read or dropped, the line after it may meet a full output buffer.
    ASSERT_TRUE(PumpUntil([&] {
        return (Controller.Count("[R98T4AH04]") + Controller.Count("[R98T4AH05]")) * flood.size() / 2 +
                   server.LocalBytesDropped() ==
               floods * flood.size();
    }));
    EXPECT_EQ(server.CopiesHeldBack(), 0u);
    peer.Put("[R98T4AH03]\r");
    EXPECT_TRUE(PumpUntil([&] { return Controller.Count("[R98T4AH03]") == 1; }));
    EXPECT_TRUE(server.Port->Open());

    // With its serial port closed the Server forwards nothing, but "[REMOTE]"
    // still keeps the peer, which hears that the controller does not
    // answer; 141 ticks after the last one it is dropped.
    peer.Put("[REMOTE]\r");
    ASSERT_TRUE(PumpUntil([&] { return Controller.Count("[REMOTE]") == 2; }));
    Select(server, "Disable");
    Controller.Raw.clear();
    peer.Received.clear();
    for (const char* mark : {"X0", "X1", "X2"}) {
        peer.Put(std::string("\r[REMOTE]\r") + mark);
        ASSERT_TRUE(PumpUntil([&] { return server.RemoteData.Pending() == mark; }));
        server.Tick(100);
    }
    EXPECT_EQ(peer.Disconnects, 0);
    EXPECT_TRUE(PumpUntil([&] { return peer.Received.find("[SERVER LINKDOWN]\r") != std::string::npos; }));
    server.Tick(40);
    EXPECT_EQ(server.GetRemoteStatus(), comm::lsReady);
    server.Tick();
    EXPECT_EQ(server.GetRemoteStatus(), comm::lsDisconnected);
    EXPECT_TRUE(PumpUntil([&] { return peer.Disconnects == 1; }));
    EXPECT_EQ(Controller.Raw, "");
    EXPECT_TRUE(Errors.empty()) << Errors.front();
}

TEST_F(Roles, TheMainWindowFollowsTheLinkOfTheRole) {
    const std::uint16_t port = FreePort();
    TTestComm& w = Open(NormalOn() + "ipAddress=127.0.0.1\nipPort=" + std::to_string(port) + "\n");
    TWsTestPort tcpServer(Sockets());
    ASSERT_EQ(tcpServer.OpenServer(port), 0);
    comm::SystemReady = true;
    w.Tick();
    ASSERT_TRUE(PumpUntil([&] { return w.GetLinkStatus() == comm::lsReady; }));

    // To the Client role: the TCP link is not up yet, so the indicator goes red.
    MainForm.Codes.clear();
    w.ChooseMode(1);
    EXPECT_EQ(MainForm.Codes, std::vector<std::int32_t>{mcCommLinkFail});
    ASSERT_TRUE(PumpUntil([&] { return w.GetRemoteStatus() == comm::lsReady; }));
    EXPECT_EQ(MainForm.Codes.back(), mcCommLinkOk);

    // A Client without its serial port does not report serial-link failures
    // carried over from the Normal role while its TCP link is up.
    Select(w, "Disable");
    w.LinkTries = 5;
    MainForm.Codes.clear();
    w.Tick(250);
    EXPECT_EQ(MainForm.Count(mcCommLinkFail), 0);
    EXPECT_TRUE(PumpUntil([&] { return tcpServer.Received.find("[REMOTE]\r") != std::string::npos; }));

    // Back to Normal: the serial link is down.
    MainForm.Codes.clear();
    w.ChooseMode(0);
    EXPECT_EQ(MainForm.Codes.front(), mcCommLinkFail);
}

TEST_F(Roles, TeardownWithOpenPortsAndTheDiscoveryGone) {
    const std::uint16_t port = FreePort();
    TTestComm& server = Open(ServerOn(port));
    comm::SystemReady = true;
    TWsTestPort peer(Sockets());
    ASSERT_EQ(peer.OpenClient(port), 0);
    ASSERT_TRUE(PumpUntil([&] { return peer.Connects == 1; }));
    {
        TGetComPorts discovery(Ini, Dir.File("sys"), Dir.File("by-id"));
        server.Tick();
    }
    server.Tick(2 * TCommLink::TimerRate + 2); // a refresh without the discovery component
    peer.Close();
    Windows.clear(); // closing fires the ports' events while the window goes
    EXPECT_TRUE(Errors.empty());
}

TEST_F(Roles, AClientThatComesJustBeforeTheServerListensAnewOrLetsADeadPeerGoIsKept) {
    const std::uint16_t port = FreePort();
    TTestComm& server = Open(ServerOn(port));
    comm::SystemReady = true;

    // The Server's supervision is one tick from listening anew when a peer
    // comes: the peer still gets the whole time for its first "[REMOTE]".
    server.Tick(TCommLink::RemoteTimeout);
    TRawPeer peer;
    ASSERT_TRUE(peer.Connect(port));
    ASSERT_TRUE(PumpUntil([&] { return server.RemoteDataSocket() >= 0; }));
    const int served = server.RemoteDataSocket();
    server.Tick(TCommLink::RemoteTimeout - 1);
    EXPECT_EQ(server.RemoteDataSocket(), served);
    bool closed = false;
    peer.Read(1, 100, &closed);
    EXPECT_FALSE(closed);

    peer.Send("[REMOTE]\r");
    EXPECT_TRUE(PumpUntil([&] { return server.GetRemoteStatus() == comm::lsReady; }));

    // The path to that peer dies (the kernel gives up on its socket) and the
    // next Client connects before the Server's window has had its turn: the
    // newcomer takes the freed slot and is kept.
    net::TDeviceSocket::Instance()->CMSocketMessage(served, std::uint32_t{serial::wsaETimedOut} << 16);
    EXPECT_EQ(server.GetRemoteStatus(), comm::lsDisconnected);
    TRawPeer next;
    ASSERT_TRUE(next.Connect(port));
    ASSERT_TRUE(PumpUntil([&] { return server.RemoteDataSocket() >= 0; }));
    next.Send("[REMOTE]\r");
    EXPECT_TRUE(PumpUntil([&] { return server.GetRemoteStatus() == comm::lsReady; }));
    next.Read(1, 100, &closed);
    EXPECT_FALSE(closed);
    EXPECT_GE(server.RemoteDataSocket(), 0);
}

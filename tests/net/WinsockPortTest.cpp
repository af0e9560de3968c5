#include "net/WinsockPort.h"

#include "net/DeviceSocket.h"
#include "serial/PortException.h"
#include "support/WsTestPort.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>

using namespace dravane;
using namespace dravane::net;
using namespace dravane::test;

namespace {

// A TWinsockPort as the Communications window uses it, with every event counted.
struct TProbe {
    explicit TProbe(TWsMode mode, std::uint16_t port, const std::string& address = "127.0.0.1") {
        Port.SetDeviceLayer(serial::dlWinsock);
        Port.SetAutoOpen(false);
        Port.SetWsMode(mode);
        Port.SetWsPort(std::to_string(port));
        Port.SetWsAddress(address);
        Port.SetOnWsAccept([this](TCustomWinsockPort*, const TPeerAddress& a, bool& accept) {
            ++Accepts;
            Peer = a.IPv4();
            PeerText = a.Text();
            accept = AcceptAnswer;
        });
        Port.SetOnWsConnect([this](TCustomWinsockPort*) {
            ++Connects;
            if (OnConnect)
                OnConnect();
        });
        Port.SetOnWsDisconnect([this](TCustomWinsockPort*) { ++Disconnects; });
        Port.SetOnWsError([this](TCustomWinsockPort*, std::int32_t code) { Errors.push_back(code); });
        Port.SetOnTriggerAvail([this](serial::TCustomComPort* cp, std::uint16_t count) {
            for (int i = 0; i < count; ++i)
                Received += static_cast<char>(cp->GetChar());
            if (OnAvail)
                OnAvail();
        });
    }
    bool Carrier() { return Port.Open() && Port.DCD(); }

    TWinsockPort Port;
    int Accepts = 0, Connects = 0, Disconnects = 0;
    std::vector<int> Errors;
    std::string Received;
    bool AcceptAnswer = true;
    in_addr_t Peer = 0;
    std::string PeerText;
    std::function<void()> OnConnect, OnAvail;
};

std::int32_t SocketCode(const std::function<void()>& fn) {
    try {
        fn();
    } catch (const ESocketException& e) {
        return e.ErrorCode;
    }
    return 0;
}

class WinsockPortTest : public ::testing::Test {
protected:
    TDeviceSocketInstance Sockets;
};

} // namespace

TEST_F(WinsockPortTest, DefaultsDeviceLayerAndPortTexts) {
    TWinsockPort p;
    EXPECT_EQ(p.WsMode(), wsClient);
    EXPECT_EQ(p.WsPort(), "telnet");
    EXPECT_TRUE(p.WsTelnet());
    EXPECT_EQ(p.WsSocksServerInfo().SocksVersion(), svNone);
    EXPECT_EQ(p.DeviceLayer(), serial::dlWin32);
    EXPECT_EQ(p.TapiMode(), serial::tmAuto);

    p.SetDeviceLayer(serial::dlWinsock);
    EXPECT_EQ(p.TapiMode(), serial::tmOff);
    EXPECT_FALSE(p.UseMSRShadow());
    p.SetUseMSRShadow(true);
    EXPECT_FALSE(p.UseMSRShadow());
    p.SetDeviceLayer(serial::dlWin32);
    EXPECT_EQ(p.TapiMode(), serial::tmAuto);
    p.SetUseMSRShadow(true);
    EXPECT_TRUE(p.UseMSRShadow());

    p.SetWsPort("  54902\t");
    EXPECT_EQ(p.WsPort(), "54902");
    EXPECT_EQ(p.WsPortNumber(), 54902);
    p.SetWsPort("telnet");
    EXPECT_EQ(p.WsPortNumber(), 23);
    for (const char* bad :
         {"0", "70000", "65536", "", "99999999999999999999", "-1", "dravane-no-such-service"}) {
        SCOPED_TRACE(bad);
        p.SetWsPort(bad);
        EXPECT_EQ(SocketCode([&] { p.WsPortNumber(); }), serial::ecWSINVPORT);
    }
    for (const std::string& a : p.WsLocalAddresses())
        EXPECT_NE(a.rfind("127.", 0), 0u) << a;
}

TEST_F(WinsockPortTest, OpeningRefusesBadPortsAndEmptyAddressAndLeavesThePortClosed) {
    TProbe server(wsServer, 0);
    for (const char* bad : {"0", "70000"}) {
        server.Port.SetWsPort(bad);
        EXPECT_EQ(SocketCode([&] { server.Port.SetOpen(true); }), serial::ecWSINVPORT);
        EXPECT_FALSE(server.Port.Open());
        EXPECT_EQ(server.Port.PortState(), serial::psClosed);
    }
    TProbe client(wsClient, FreePort(), "   ");
    EXPECT_EQ(client.Port.WsAddress(), "");
    EXPECT_EQ(SocketCode([&] { client.Port.SetOpen(true); }), serial::wsaEDestAddrReq);
    EXPECT_FALSE(client.Port.Open());
    EXPECT_EQ(client.Disconnects, 0);
}

TEST_F(WinsockPortTest, SettingsCannotChangeWhileOpenButTheSameTextIsNoChange) {
    const std::uint16_t p = FreePort();
    TProbe server(wsServer, p);
    server.Port.SetOpen(true);
    EXPECT_EQ(SocketCode([&] { server.Port.SetWsPort(std::to_string(p + 1)); }), serial::ecWSCANTCHANGE);
    EXPECT_EQ(server.Port.WsPort(), std::to_string(p));
    EXPECT_EQ(SocketCode([&] { server.Port.SetWsPort(std::to_string(p)); }), 0);
    EXPECT_EQ(SocketCode([&] { server.Port.SetWsMode(wsClient); }), serial::ecWSCANTCHANGE);
    EXPECT_EQ(SocketCode([&] { server.Port.SetWsAddress("10.1.2.3"); }), serial::ecWSCANTCHANGE);
    EXPECT_EQ(server.Port.WsMode(), wsServer);
    server.Port.SetOpen(false);
    server.Port.SetWsPort(std::to_string(p + 1));
    EXPECT_EQ(server.Port.WsPort(), std::to_string(p + 1));
}

TEST_F(WinsockPortTest, ClientAndServerConnectOnceAndCarryDataBothWays) {
    const std::uint16_t p = FreePort();
    TProbe server(wsServer, p), client(wsClient, p);
    server.Port.SetOpen(true);
    client.Port.SetOpen(true);
    ASSERT_TRUE(PumpUntil([&] { return client.Connects == 1 && server.Accepts == 1; }));
    EXPECT_EQ(server.Peer, htonl(INADDR_LOOPBACK));
    EXPECT_EQ(server.Connects, 0); // never in the server role
    EXPECT_TRUE(server.Carrier());
    EXPECT_TRUE(client.Carrier());

    std::string all;
    for (int i = 0; i < 256; ++i)
        all += static_cast<char>(i);
    client.Port.PutString("[LINK]\r\n");
    client.Port.PutString(all);
    server.Port.PutString(all);
    ASSERT_TRUE(PumpUntil([&] { return server.Received.size() >= 264 && client.Received.size() >= 256; }));
    EXPECT_EQ(server.Received, "[LINK]\r\n" + all);
    EXPECT_EQ(client.Received, all);
    RunFor(120ms);
    EXPECT_EQ(client.Connects, 1);
    EXPECT_EQ(server.Accepts, 1);
    EXPECT_TRUE(server.Errors.empty() && client.Errors.empty());
}

TEST_F(WinsockPortTest, ServerOutlivesItsPeersAndAdmitsTheNextWithoutReopening) {
    const std::uint16_t p = FreePort();
    TProbe server(wsServer, p);
    EXPECT_THROW(server.Port.PutString("not open yet"), serial::EPortException);
    server.Port.SetOpen(true);
    server.Port.PutString("written with no peer");
    {
        TProbe first(wsClient, p);
        EXPECT_THROW(first.Port.PutString("not open yet"), serial::EPortException);
        first.Port.SetOpen(true);
        first.Port.PutString("early");
        ASSERT_TRUE(PumpUntil([&] { return server.Received == "early" && first.Received.size() >= 20; }));
        EXPECT_EQ(first.Received, "written with no peer");
        EXPECT_TRUE(server.Carrier());

        // A second client while one is served: closed at once, no event, the first flows on.
        TRawPeer extra;
        ASSERT_TRUE(extra.Connect(p));
        bool closed = false;
        extra.Read(1, 10000, &closed);
        EXPECT_TRUE(closed);
        first.Port.PutString("!");
        ASSERT_TRUE(PumpUntil([&] { return server.Received == "early!"; }));
        EXPECT_EQ(server.Accepts, 1);

        first.Port.SetOpen(false);
        EXPECT_EQ(first.Disconnects, 1);
    }
    ASSERT_TRUE(PumpUntil([&] { return server.Disconnects == 1; }));
    EXPECT_TRUE(server.Port.Open());
    EXPECT_FALSE(server.Carrier());

    TProbe second(wsClient, p);
    second.Port.SetOpen(true);
    ASSERT_TRUE(PumpUntil([&] { return server.Accepts == 2 && second.Connects == 1; }));
    EXPECT_TRUE(server.Carrier());
    second.Port.PutString("again");
    ASSERT_TRUE(PumpUntil([&] { return server.Received == "early!again"; }));

    // The server lets its peer go, its last words sent first, and listens on.
    server.Port.PutString("[AUTHFAIL wrong]\r");
    server.Port.DisconnectPeer();
    ASSERT_TRUE(PumpUntil([&] { return !second.Port.Open() && server.Disconnects == 2; }));
    EXPECT_EQ(second.Received, "[AUTHFAIL wrong]\r");
    EXPECT_EQ(second.Disconnects, 1); // the client's port closed itself, telling of it
    EXPECT_TRUE(server.Port.Open());
    server.Port.DisconnectPeer(); // nobody to let go
    RunFor(60ms);
    EXPECT_EQ(server.Disconnects, 2);

    TProbe third(wsClient, p);
    third.Port.SetOpen(true);
    ASSERT_TRUE(PumpUntil([&] { return server.Accepts == 3 && third.Connects == 1; }));
    server.Port.SetOpen(false);
    EXPECT_EQ(server.Disconnects, 3);
    ASSERT_TRUE(PumpUntil([&] { return !third.Port.Open(); }));
}

TEST_F(WinsockPortTest, ServerCloseWithoutPeerAndRefusedPeerAndRefusedConnection) {
    const std::uint16_t p = FreePort();
    TProbe server(wsServer, p);
    server.Port.SetOpen(true);
    server.AcceptAnswer = false;
    TRawPeer turnedAway;
    ASSERT_TRUE(turnedAway.Connect(p));
    bool closed = false;
    turnedAway.Read(1, 10000, &closed);
    EXPECT_TRUE(closed);
    EXPECT_EQ(server.Accepts, 1);
    server.Port.SetOpen(false);
    EXPECT_EQ(server.Disconnects, 1);

    // Nobody listens: the client ends up closed without OnWsDisconnect,
    // whether the refusal came at once or by notice.
    TProbe client(wsClient, p);
    const std::int32_t code = SocketCode([&] { client.Port.SetOpen(true); });
    if (code == 0) {
        ASSERT_TRUE(PumpUntil([&] { return !client.Port.Open(); }));
        EXPECT_EQ(client.Errors, std::vector<int>{serial::wsaEConnRefused});
    } else {
        EXPECT_EQ(code, serial::wsaEConnRefused);
    }
    EXPECT_FALSE(client.Port.Open());
    EXPECT_EQ(client.Disconnects, 0);

    // By name: opening returns at once, the refusal arrives as an error notice.
    TProbe named(wsClient, p, "localhost");
    named.Port.SetOpen(true);
    EXPECT_TRUE(named.Port.Open());
    ASSERT_TRUE(PumpUntil([&] { return !named.Port.Open(); }));
    EXPECT_EQ(named.Errors, std::vector<int>{serial::wsaEConnRefused});
    EXPECT_EQ(named.Disconnects, 0);
}

TEST_F(WinsockPortTest, ListensWhereToldOverIPv4AndIPv6AndSaysWhereAndWhyWhenItCannot) {
    if (!HaveIPv6Loopback())
        GTEST_SKIP() << "no IPv6 loopback here";
    // No listen address: one socket for both families; an IPv4 peer is shown as IPv4.
    const std::uint16_t p = FreePort();
    TProbe every(wsServer, p);
    every.Port.SetOpen(true);
    int round = 0;
    for (const char* from : {"127.0.0.1", "::1"}) {
        SCOPED_TRACE(from);
        ++round;
        TProbe client(wsClient, p, from);
        client.Port.SetOpen(true);
        ASSERT_TRUE(PumpUntil([&] { return client.Connects == 1 && every.Accepts == round; }));
        EXPECT_EQ(every.PeerText, from);
        EXPECT_EQ(every.Peer, round == 1 ? htonl(INADDR_LOOPBACK) : 0u);
        client.Port.PutString(from);
        ASSERT_TRUE(PumpUntil([&] { return every.Received.find(from) != std::string::npos; }));
        client.Port.SetOpen(false);
        ASSERT_TRUE(PumpUntil([&] { return every.Disconnects == round; }));
    }
    // Busy on every address: the open names where and why.
    TProbe taken(wsServer, p);
    try {
        taken.Port.SetOpen(true);
        FAIL() << "opened on a port in use";
    } catch (const ESocketException& e) {
        EXPECT_EQ(e.ErrorCode, serial::wsaEAddrInUse);
        EXPECT_EQ(std::string(e.what()), "Cannot listen on every address port " + std::to_string(p) + ": " +
                                             std::strerror(EADDRINUSE));
        EXPECT_EQ(taken.Port.WsErrorText(), e.what());
    }
    EXPECT_FALSE(taken.Port.Open());
    every.Port.SetOpen(false);

    // One address: that family alone.
    for (const int family : {AF_INET, AF_INET6}) {
        const char* at = family == AF_INET ? "127.0.0.1" : "[::1]";
        SCOPED_TRACE(at);
        TProbe one(wsServer, p);
        one.Port.SetWsListenAddress(at);
        one.Port.SetOpen(true);
        TRawPeer other;
        EXPECT_FALSE(other.Connect(p, family == AF_INET ? AF_INET6 : AF_INET));
        TRawPeer same;
        ASSERT_TRUE(same.Connect(p, family));
        ASSERT_TRUE(PumpUntil([&] { return one.Accepts == 1; }));
        EXPECT_EQ(one.PeerText, family == AF_INET ? "127.0.0.1" : "::1");
        // The address is held by this server now.
        TProbe second(wsServer, p);
        second.Port.SetWsListenAddress(at);
        try {
            second.Port.SetOpen(true);
            ADD_FAILURE() << "opened on an address in use";
        } catch (const ESocketException& e) {
            EXPECT_EQ(std::string(e.what()), std::string("Cannot listen on ") +
                                                 (family == AF_INET ? "127.0.0.1" : "::1") + " port " +
                                                 std::to_string(p) + ": " + std::strerror(EADDRINUSE));
        }
    }
}

TEST_F(WinsockPortTest, HandlersMayCloseThePortFromInsideItsEvents) {
    const std::uint16_t p = FreePort();
    TProbe server(wsServer, p);
    server.Port.SetOpen(true);
    TProbe client(wsClient, p);
    client.OnConnect = [&] { client.Port.SetOpen(false); };
    client.Port.SetOpen(true);
    ASSERT_TRUE(PumpUntil([&] { return client.Connects == 1 && !client.Port.Open(); }));
    EXPECT_EQ(client.Disconnects, 1);
    ASSERT_TRUE(PumpUntil([&] { return server.Disconnects == 1; })); // the slot is free again

    server.OnAvail = [&] { server.Port.SetOpen(false); };
    TProbe talker(wsClient, p);
    talker.Port.SetOpen(true);
    ASSERT_TRUE(PumpUntil([&] { return talker.Connects == 1; }));
    talker.Port.PutString("close now");
    ASSERT_TRUE(PumpUntil([&] { return !server.Port.Open(); }));
    EXPECT_EQ(server.Received.substr(0, 1), "c");
    ASSERT_TRUE(PumpUntil([&] { return !talker.Port.Open(); }));
    // Reopened afterwards, the server works as before.
    server.OnAvail = nullptr;
    server.Received.clear();
    server.Port.SetOpen(true);
    TProbe again(wsClient, p);
    again.Port.SetOpen(true);
    again.Port.PutString("fine");
    ASSERT_TRUE(PumpUntil([&] { return server.Received == "fine"; }));
}

TEST(WinsockPortLookup, UnresolvableNameReports9007AndClosesThePort) {
    const TWsApi api = FailingLookupApi();
    TDeviceSocketInstance sockets({"", &api});
    TProbe client(wsClient, FreePort(), "dravane.invalid");
    client.Port.SetOpen(true);
    EXPECT_TRUE(client.Port.Open()); // the look-up does not hold the open
    ASSERT_TRUE(PumpUntil([&] { return !client.Port.Open(); }));
    EXPECT_EQ(client.Errors, std::vector<int>{serial::ecWSCANTRESOLVE});
    EXPECT_EQ(client.Disconnects, 0);
}

namespace {

// "both.test" is ::1, then 127.0.0.1; with gNoIPv6 the system has no IPv6 sockets.
bool gNoIPv6 = false;

int bothGetAddrInfo(const char* Name, const char* Service, const addrinfo* Hints, addrinfo** Result) {
    if (std::string(Name) != "both.test")
        return ::getaddrinfo(Name, Service, Hints, Result);
    addrinfo numeric = *Hints;
    numeric.ai_flags |= AI_NUMERICHOST;
    addrinfo* v6 = nullptr;
    addrinfo* v4 = nullptr;
    if (::getaddrinfo("::1", Service, &numeric, &v6) != 0)
        return EAI_FAIL;
    if (::getaddrinfo("127.0.0.1", Service, &numeric, &v4) != 0) {
        ::freeaddrinfo(v6);
        return EAI_FAIL;
    }
    addrinfo* last = v6;
    while (last->ai_next)
        last = last->ai_next;
    last->ai_next = v4;
    *Result = v6;
    return 0;
}

int maybeNoIPv6Socket(int Domain, int Type, int Protocol) {
    if (gNoIPv6 && Domain == AF_INET6) {
        errno = EAFNOSUPPORT;
        return -1;
    }
    return ::socket(Domain, Type, Protocol);
}

} // namespace

TEST(WinsockPortAddresses, NamesAreTriedInOrderAcrossFamiliesAndNoIPv6MeansIPv4) {
    if (!HaveIPv6Loopback())
        GTEST_SKIP() << "no IPv6 loopback here";
    TWsApi api{};
    LoadWinsock(api);
    api.getaddrinfo = bothGetAddrInfo;
    api.socket = maybeNoIPv6Socket;
    gNoIPv6 = false;
    TDeviceSocketInstance sockets({"", &api});

    // The server holds 127.0.0.1 only: ::1 refuses, and the client goes on
    // to the next address without telling of the refusal.
    const std::uint16_t p = FreePort();
    TProbe v4only(wsServer, p);
    v4only.Port.SetWsListenAddress("127.0.0.1");
    v4only.Port.SetOpen(true);
    TProbe client(wsClient, p, "both.test");
    client.Port.SetOpen(true);
    ASSERT_TRUE(PumpUntil([&] { return client.Connects == 1 && v4only.Accepts == 1; }));
    EXPECT_TRUE(client.Errors.empty());
    client.Port.PutString("via the second");
    ASSERT_TRUE(PumpUntil([&] { return v4only.Received == "via the second"; }));
    client.Port.SetOpen(false);
    v4only.Port.SetOpen(false);

    // A listen name: its first address that can be had, here ::1 alone.
    TProbe named(wsServer, p);
    named.Port.SetWsListenAddress("both.test");
    named.Port.SetOpen(true);
    TRawPeer six;
    ASSERT_TRUE(PumpUntil([&] { return six.Connect(p, AF_INET6); }));
    ASSERT_TRUE(PumpUntil([&] { return named.Accepts == 1; }));
    EXPECT_EQ(named.PeerText, "::1");
    TRawPeer four;
    EXPECT_FALSE(four.Connect(p, AF_INET));
    named.Port.SetOpen(false);

    // No IPv6 on the system: every address means every IPv4 address.
    gNoIPv6 = true;
    TProbe fallback(wsServer, p);
    fallback.Port.SetOpen(true);
    TRawPeer peer;
    ASSERT_TRUE(peer.Connect(p, AF_INET));
    ASSERT_TRUE(PumpUntil([&] { return fallback.Accepts == 1; }));
    EXPECT_EQ(fallback.PeerText, "127.0.0.1");
    gNoIPv6 = false;
}

TEST(WinsockPortLibrary, WithoutTheSocketLibraryOpeningRaisesNotInitialized) {
    TDeviceSocketInstance sockets({"libdravane-no-such-socket-library.so.9"});
    TProbe client(wsClient, 54902);
    try {
        client.Port.SetOpen(true);
        FAIL() << "no exception";
    } catch (const ESocketException& e) {
        EXPECT_EQ(e.ErrorCode, serial::ecWSLOADERROR);
        EXPECT_STREQ(e.what(), "Winsock not initialized - Error loading Winsock DLL");
    }
    EXPECT_FALSE(client.Port.Open());
    EXPECT_TRUE(client.Port.WsLocalAddresses().empty());
}

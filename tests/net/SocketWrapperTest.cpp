#include "net/SocketWrapper.h"
#include "net/SocketErrors.h"
#include "net/SocketNoticeWindow.h"
#include "platform/AppException.h"
#include "support/EventLoop.h"

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QTimer>

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <functional>
#include <netdb.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <unistd.h>
#include <vector>

using namespace dravane::net;
using dravane::test::PumpUntil;
using dravane::test::RunFor;
using namespace std::chrono_literals;

namespace {

sockaddr_in Loopback(std::uint16_t port) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = ::htons(port);
    a.sin_addr.s_addr = ::htonl(INADDR_LOOPBACK);
    return a;
}

std::uint16_t PortOf(int s) {
    sockaddr_in a{};
    socklen_t len = sizeof a;
    ::getsockname(s, reinterpret_cast<sockaddr*>(&a), &len);
    return ntohs(a.sin_port);
}

// Plain blocking sockets for the far end, outside the wrapper.
struct TFd {
    int Fd = -1;
    explicit TFd(int fd = -1) : Fd(fd) {}
    TFd(const TFd&) = delete;
    TFd& operator=(const TFd&) = delete;
    ~TFd() { Close(); }
    void Close() {
        if (Fd >= 0)
            ::close(Fd);
        Fd = -1;
    }
};

int RawListener() {
    const int s = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const sockaddr_in a = Loopback(0);
    if (::bind(s, reinterpret_cast<const sockaddr*>(&a), sizeof a) != 0 || ::listen(s, 5) != 0)
        ADD_FAILURE() << "raw listener: " << std::strerror(errno);
    return s;
}

int RawConnect(std::uint16_t port) {
    const int s = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const sockaddr_in a = Loopback(port);
    if (::connect(s, reinterpret_cast<const sockaddr*>(&a), sizeof a) != 0)
        ADD_FAILURE() << "raw connect: " << std::strerror(errno);
    return s;
}

int RawAccept(int listener) {
    pollfd p{listener, POLLIN, 0};
    if (::poll(&p, 1, 5000) != 1)
        return -1;
    return ::accept(listener, nullptr, nullptr);
}

// A port nothing listens on: bound once, then released.
std::uint16_t ClosedPort() {
    TFd s(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    const sockaddr_in a = Loopback(0);
    ::bind(s.Fd, reinterpret_cast<const sockaddr*>(&a), sizeof a);
    return PortOf(s.Fd);
}

enum TKind { kAccept, kConnect, kDisconnect, kError, kRead, kWrite };

struct TNotice {
    TKind Kind;
    int Socket;
    std::int32_t Code;
};

// A wrapper whose events record every notice.
class SocketWrapperTest : public ::testing::Test {
protected:
    explicit SocketWrapperTest(const TWsLibrary& library = {}) : Wrapper(nullptr, library) {
        auto record = [this](TKind kind) {
            return [this, kind](TSocketWrapper*, int s) { Log.push_back({kind, s, 0}); };
        };
        Wrapper.OnWsAccept = record(kAccept);
        Wrapper.OnWsConnect = record(kConnect);
        Wrapper.OnWsDisconnect = record(kDisconnect);
        Wrapper.OnWsRead = record(kRead);
        Wrapper.OnWsWrite = record(kWrite);
        Wrapper.OnWsError = [this](TSocketWrapper*, int s, std::int32_t code) {
            Log.push_back({kError, s, code});
        };
    }

    int Count(TKind kind, int socket = -2) const {
        int n = 0;
        for (const TNotice& e : Log)
            n += e.Kind == kind && (socket == -2 || e.Socket == socket);
        return n;
    }
    bool Has(TKind kind, int socket = -2) const { return Count(kind, socket) > 0; }

    // A registered listening socket on 127.0.0.1 and a free port.
    int Listen() {
        const int s = Wrapper.CreateSocket();
        const int on = 1;
        Wrapper.SetSocketOptions(s, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
        Wrapper.BindSocket(s, Loopback(0));
        Wrapper.SetAsyncStyles(s, FD_READ | FD_WRITE | FD_ACCEPT | FD_CONNECT | FD_CLOSE);
        EXPECT_EQ(Wrapper.ListenSocket(s, 5), 0);
        return s;
    }

    // A registered client socket connected to port, its connect notice seen.
    int Connect(std::uint16_t port) {
        const int s = Wrapper.CreateSocket();
        Wrapper.SetAsyncStyles(s, FD_READ | FD_WRITE | FD_ACCEPT | FD_CONNECT | FD_CLOSE);
        Wrapper.ConnectSocket(s, Loopback(port));
        EXPECT_TRUE(PumpUntil([&] { return Has(kConnect, s) || Has(kError, s); }));
        EXPECT_EQ(Count(kConnect, s), 1);
        return s;
    }

    TSocketWrapper Wrapper;
    std::vector<TNotice> Log;
};

} // namespace

TEST(SocketErrors, BrokenPipeDependsOnHistoryAndUnknownNumbersStayInRange) {
    EXPECT_EQ(SocketErrorFromErrno(EPIPE, shConnected), 10054);
    EXPECT_EQ(SocketErrorFromErrno(EPIPE, shShutDown), 10058);
    EXPECT_EQ(SocketErrorFromErrno(EPIPE, shNeverConnected), 10057);
    EXPECT_EQ(SocketErrorFromErrno(EIO), 9001); // never 10000 + errno
    EXPECT_EQ(SocketErrorFromLookup(EAI_SYSTEM, ECONNREFUSED), 10061);
}

TEST(SocketLoading, MissingLibraryConstructsAndTheFirstOperationRaises) {
    TSocketWrapper w(nullptr, {"libdravane-no-such-socket-library.so.9"});
    EXPECT_FALSE(w.DllLoaded());
    EXPECT_EQ(w.Handle(), nullptr);
    try {
        w.CreateSocket();
        FAIL() << "no exception";
    } catch (const ESocketException& e) {
        EXPECT_STREQ(e.what(), "Winsock not initialized - Error loading Winsock DLL");
        EXPECT_EQ(e.ErrorCode, 9002);
    }
    EXPECT_THROW(w.LookupService("telnet"), ESocketException);
    EXPECT_THROW((w.htons)(1), ESocketException);
}

namespace {
int gStartupResult = 0;
std::uint16_t gStartupVersion = WsVersion11;
int fakeStartup(std::uint16_t, TWSAData* data) {
    data->wVersion = gStartupVersion;
    return gStartupResult;
}
TWsApi RealApi() {
    TWsApi api{};
    EXPECT_TRUE(LoadWinsock(api));
    return api;
}
} // namespace

TEST(SocketLoading, EntryPointsAreTheOnesTheProgramWouldCall) {
    // Under a sanitizer these are its interceptors, not the C library's own
    // definitions, so every socket call stays checked.
    const TWsApi api = RealApi();
    EXPECT_EQ(reinterpret_cast<void*>(api.recv), reinterpret_cast<void*>(&::recv));
    EXPECT_EQ(reinterpret_cast<void*>(api.send), reinterpret_cast<void*>(&::send));
    EXPECT_EQ(reinterpret_cast<void*>(api.closesocket), reinterpret_cast<void*>(&::close));
    EXPECT_TRUE(WinsockComplete(api));
}

TEST(SocketLoading, IncompleteTableWrongVersionAndFailedStartEachRefuseWork) {
    TWsApi incomplete = RealApi();
    incomplete.WSAAsyncSelect = nullptr;
    TSocketWrapper a(nullptr, {"", &incomplete});
    EXPECT_EQ(a.StartErrorCode(), 9002);

    TWsApi api = RealApi();
    api.WSAStartup = fakeStartup;
    gStartupVersion = 0x0202;
    TSocketWrapper b(nullptr, {"", &api});
    EXPECT_EQ(b.StartErrorCode(), 9003);
    EXPECT_NE(b.Handle(), nullptr);
    try {
        b.CreateSocket();
        FAIL() << "no exception";
    } catch (const ESocketException& e) {
        EXPECT_STREQ(e.what(), "Winsock not initialized - Incorrect version of Winsock");
    }

    gStartupVersion = WsVersion11;
    gStartupResult = 10091;
    TSocketWrapper c(nullptr, {"", &api});
    gStartupResult = 0;
    EXPECT_EQ(c.StartErrorCode(), 10091);
    EXPECT_EQ(c.Handle(), nullptr);
    EXPECT_THROW(c.CreateSocket(), ESocketException);

    TSocketWrapper d(nullptr, {"", &api});
    EXPECT_EQ(d.StartErrorCode(), 0);
    EXPECT_NO_THROW(d.CloseSocket(d.CreateSocket()));
}

namespace {
servent* noServices(const char*, const char*) {
    return nullptr;
}
int noSuchHost(const char*, const char*, const addrinfo*, addrinfo**) {
    return EAI_NONAME;
}
} // namespace

TEST(SocketLookups, ServicesAddressesAndNames) {
    TSocketWrapper w;
    EXPECT_EQ(w.LookupService("telnet"), 23);
    EXPECT_EQ(w.LookupService("dravane-no-such-service"), 0);
    EXPECT_EQ(w.LookupPort(23), "telnet");

    const in_addr_t loopback = ::htonl(INADDR_LOOPBACK);
    EXPECT_EQ(w.String2NetAddr("127.0.0.1"), loopback);
    EXPECT_EQ(w.String2NetAddr("localhost"), NoAddress);
    // Sixteen characters are a host name, although the first fifteen
    // would read as a valid address.
    EXPECT_EQ(w.String2NetAddr("127.000.000.001"), loopback);
    EXPECT_EQ(w.String2NetAddr("127.000.000.0012"), NoAddress);
    EXPECT_EQ(w.NetAddr2String(loopback), "127.0.0.1");
    EXPECT_EQ(w.LookupName("127.0.0.1"), loopback);
    EXPECT_FALSE(w.GetLocalHost().empty());

    TWsApi api = RealApi();
    api.getservbyname = noServices;
    api.getaddrinfo = noSuchHost;
    TSocketWrapper bare(nullptr, {"", &api});
    EXPECT_EQ(bare.LookupService("telnet"), 23); // without a services database
    EXPECT_EQ(bare.LookupService("ftp"), 0);
    EXPECT_EQ(bare.LookupName("anything.example"), 0u);
    EXPECT_EQ(bare.LastError(), 11001);
}

TEST(SocketDispatch, ErrorHalfFirstThenByEventAndExceptionsGoToTheDisplay) {
    TSocketWrapper w;
    std::vector<std::string> seen;
    w.OnWsRead = [&](TSocketWrapper*, int s) { seen.push_back("read " + std::to_string(s)); };
    w.OnWsDisconnect = [&](TSocketWrapper*, int s) { seen.push_back("close " + std::to_string(s)); };
    w.OnWsError = [&](TSocketWrapper*, int s, std::int32_t c) {
        seen.push_back("error " + std::to_string(s) + " " + std::to_string(c));
    };
    w.WndProc(CM_SOCKETMESSAGE, 7, (10054 << 16) | FD_CLOSE);
    w.WndProc(CM_SOCKETMESSAGE, 7, (10061 << 16) | FD_READ);
    w.WndProc(CM_SOCKETMESSAGE, 8, FD_READ);
    w.WndProc(CM_SOCKETMESSAGE, 8, FD_CLOSE);
    w.WndProc(CM_SOCKETMESSAGE, 8, 64);          // unknown event
    w.WndProc(CM_SOCKETMESSAGE + 1, 8, FD_READ); // other message
    EXPECT_EQ(seen, (std::vector<std::string>{"error 7 10054", "error 7 10061", "read 8", "close 8"}));

    // Without OnWsError an error notice raises; the window procedure hands
    // that to the application's display and returns normally.
    std::vector<std::string> shown;
    dravane::platform::SetErrorSink([&](const std::string& text) { shown.push_back(text); });
    w.OnWsError = nullptr;
    w.OnWsRead = [](TSocketWrapper*, int) { throw std::runtime_error("handler failed"); };
    EXPECT_EQ(w.WndProc(CM_SOCKETMESSAGE, 9, 10061 << 16), 0);
    EXPECT_EQ(w.WndProc(CM_SOCKETMESSAGE, 9, FD_READ), 0);
    PumpUntil([&] { return shown.size() >= 2; }, 2000ms);
    dravane::platform::SetErrorSink(nullptr);
    EXPECT_EQ(shown,
              (std::vector<std::string>{"The attempt to connect was forcibly refused", "handler failed"}));
}

TEST_F(SocketWrapperTest, FailedBindWithoutErrorHandlerRaisesTheMappedCode) {
    const int a = Listen();
    sockaddr_in taken{};
    socklen_t len = sizeof taken;
    ::getsockname(a, reinterpret_cast<sockaddr*>(&taken), &len);
    const int b = Wrapper.CreateSocket();
    Wrapper.OnWsError = nullptr;
    try {
        Wrapper.BindSocket(b, taken);
        FAIL() << "no exception";
    } catch (const ESocketException& e) {
        EXPECT_EQ(e.ErrorCode, 10048);
        EXPECT_STREQ(e.what(), "The address is already in use for this operation");
    }
    Wrapper.CloseSocket(b);
    Wrapper.CloseSocket(a);
}

TEST_F(SocketWrapperTest, ConnectToAClosedPortGivesOneRefusedErrorAndNoConnect) {
    const int s = Wrapper.CreateSocket();
    Wrapper.SetAsyncStyles(s, FD_READ | FD_WRITE | FD_ACCEPT | FD_CONNECT | FD_CLOSE);
    Wrapper.ConnectSocket(s, Loopback(ClosedPort()));
    EXPECT_TRUE(PumpUntil([&] { return Has(kError); }));
    RunFor(200ms);
    ASSERT_EQ(Log.size(), 1u);
    EXPECT_EQ(Log[0].Kind, kError);
    EXPECT_EQ(Log[0].Socket, s);
    EXPECT_EQ(Log[0].Code, 10061);
    Wrapper.CloseSocket(s);
}

TEST_F(SocketWrapperTest, AcceptConnectDataAndPeerClose) {
    const int listener = Listen();
    const int client = Connect(PortOf(listener));
    ASSERT_TRUE(PumpUntil([&] { return Has(kAccept, listener); }));
    sockaddr_in peer{};
    const int served = Wrapper.AcceptSocket(listener, peer);
    ASSERT_GE(served, 0);
    EXPECT_EQ(peer.sin_addr.s_addr, ::htonl(INADDR_LOOPBACK));
    int noDelay = 0;
    socklen_t len = sizeof noDelay;
    ::getsockopt(served, IPPROTO_TCP, TCP_NODELAY, &noDelay, &len);
    EXPECT_NE(noDelay, 0);

    // The accepted socket has the listening socket's notices.
    EXPECT_EQ(Wrapper.WriteSocket(client, "hello", 5, 0), 5);
    ASSERT_TRUE(PumpUntil([&] { return Has(kRead, served); }));
    char buf[16] = {};
    EXPECT_EQ(Wrapper.ReadSocket(served, buf, sizeof buf, 0), 5);
    EXPECT_EQ(std::string(buf, 5), "hello");

    // A second client gives a second accept notice: accept re-armed it.
    TFd second(RawConnect(PortOf(listener)));
    ASSERT_TRUE(PumpUntil([&] { return Count(kAccept, listener) == 2; }));
    const int extra = Wrapper.AcceptSocket(listener, peer);
    Wrapper.CloseSocket(extra);

    // The client leaves: one close notice; the handler closes the socket inside it.
    Wrapper.OnWsDisconnect = [&](TSocketWrapper* w, int s) {
        Log.push_back({kDisconnect, s, 0});
        w->CloseSocket(s);
    };
    Wrapper.CloseSocket(client);
    ASSERT_TRUE(PumpUntil([&] { return Has(kDisconnect, served); }));
    RunFor(100ms);
    EXPECT_EQ(Count(kDisconnect), 1);
    EXPECT_EQ(Count(kRead), 1);
    EXPECT_EQ(Count(kError), 0);
    EXPECT_EQ(Count(kWrite), 0);
    Wrapper.CloseSocket(listener);
}

TEST_F(SocketWrapperTest, ResetArrivesAsErrorNotice10054Only) {
    TFd listener(RawListener());
    const int client = Connect(PortOf(listener.Fd));
    TFd far(RawAccept(listener.Fd));
    const linger abort{1, 0};
    ::setsockopt(far.Fd, SOL_SOCKET, SO_LINGER, &abort, sizeof abort);
    far.Close();
    ASSERT_TRUE(PumpUntil([&] { return Has(kError, client); }));
    RunFor(100ms);
    EXPECT_EQ(Count(kError, client), 1);
    EXPECT_EQ(Log.back().Code, 10054);
    EXPECT_EQ(Count(kDisconnect), 0);
    EXPECT_EQ(Count(kRead), 0);
    Wrapper.CloseSocket(client);
}

TEST_F(SocketWrapperTest, WriteToAPeerThatLeftGivesTheMappedCodeNotASignal) {
    TFd listener(RawListener());
    const int client = Connect(PortOf(listener.Fd));
    TFd far(RawAccept(listener.Fd));
    far.Close();
    ASSERT_TRUE(PumpUntil([&] { return Has(kDisconnect, client); }));
    // The first write after the peer's close draws its reset; wait for that
    // to arrive, then the next write fails.
    Wrapper.WriteSocket(client, "x", 1, 0);
    pollfd p{client, 0, 0};
    ASSERT_EQ(::poll(&p, 1, 5000), 1);
    EXPECT_EQ(Wrapper.WriteSocket(client, "y", 1, 0), SOCKET_ERROR);
    ASSERT_EQ(Count(kError, client), 1);
    EXPECT_EQ(Log.back().Code, 10054);
    EXPECT_EQ(Wrapper.LastError(), 10054);
    Wrapper.CloseSocket(client);
}

TEST_F(SocketWrapperTest, UnreadDataGivesOneNoticeWithoutSpinning) {
    TFd listener(RawListener());
    const int client = Connect(PortOf(listener.Fd));
    TFd far(RawAccept(listener.Fd));
    EXPECT_FALSE(Wrapper.CanReadSocket(client, 0));
    EXPECT_TRUE(Wrapper.CanWriteSocket(client, 0));
    ASSERT_EQ(::send(far.Fd, "abcde", 5, 0), 5);
    EXPECT_TRUE(Wrapper.CanReadSocket(client, 5000));
    ASSERT_TRUE(PumpUntil([&] { return Has(kRead, client); }));
    const std::uint64_t firings = Wrapper.Handle()->Activations();
    RunFor(300ms);
    EXPECT_EQ(Count(kRead), 1);
    EXPECT_EQ(Wrapper.Handle()->Activations(), firings); // the notifier stayed quiet too

    // A receive re-enables the notice; data still waiting gives the next one.
    char buf[8];
    EXPECT_EQ(Wrapper.ReadSocket(client, buf, 2, 0), 2);
    ASSERT_TRUE(PumpUntil([&] { return Count(kRead) == 2; }));
    EXPECT_EQ(Wrapper.ReadSocket(client, buf, sizeof buf, 0), 3);
    RunFor(100ms);
    EXPECT_EQ(Count(kRead), 2);
    // A receive with nothing there would block: no notice.
    EXPECT_EQ(Wrapper.ReadSocket(client, buf, sizeof buf, 0), SOCKET_ERROR);
    EXPECT_EQ(Wrapper.LastError(), 10035);
    EXPECT_EQ(Count(kError), 0);
    Wrapper.CloseSocket(client);
}

namespace {
bool gBlock = false;
ssize_t blockingRecv(int, void*, size_t, int) {
    errno = EAGAIN;
    return -1;
}
int blockingListen(int s, int backlog) {
    if (!gBlock)
        return ::listen(s, backlog);
    errno = EWOULDBLOCK;
    return -1;
}
int blockingShutdown(int, int) {
    errno = EAGAIN;
    return -1;
}
TWsApi WouldBlockApi() {
    TWsApi api = RealApi();
    api.recv = blockingRecv;
    api.listen = blockingListen;
    api.shutdown = blockingShutdown;
    return api;
}
const TWsApi gWouldBlockApi = WouldBlockApi();

class WouldBlockTest : public SocketWrapperTest {
protected:
    WouldBlockTest() : SocketWrapperTest({"", &gWouldBlockApi}) {}
};
} // namespace

TEST_F(WouldBlockTest, WouldBlockMakesNoNoticeExceptOnAccept) {
    TFd listener(RawListener());
    const int client = Connect(PortOf(listener.Fd)); // connect's own would-block gave no error
    TFd far(RawAccept(listener.Fd));
    char buf[4];
    EXPECT_EQ(Wrapper.ReadSocket(client, buf, sizeof buf, 0), SOCKET_ERROR);
    EXPECT_EQ(Wrapper.ShutdownSocket(client, SHUT_WR), SOCKET_ERROR);
    EXPECT_EQ(Wrapper.LastError(), 10035);
    gBlock = true;
    const int other = Wrapper.CreateSocket();
    EXPECT_EQ(Wrapper.ListenSocket(other, 5), SOCKET_ERROR);
    gBlock = false;
    EXPECT_EQ(Count(kError), 0);

    // A full send buffer: sends stop with would-block, silently; once the far
    // end drains, a write notice follows.
    const int small = 4096;
    Wrapper.SetSocketOptions(client, SOL_SOCKET, SO_SNDBUF, &small, sizeof small);
    std::vector<char> chunk(65536, 'z');
    int sent = 0;
    for (int i = 0; i < 1000 && sent >= 0; ++i)
        sent = Wrapper.WriteSocket(client, chunk.data(), static_cast<int>(chunk.size()), 0);
    EXPECT_EQ(sent, SOCKET_ERROR);
    EXPECT_EQ(Count(kError), 0);
    EXPECT_EQ(Count(kWrite), 0);
    ::fcntl(far.Fd, F_SETFL, O_NONBLOCK);
    const bool written = PumpUntil(
        [&] {
            while (::recv(far.Fd, chunk.data(), chunk.size(), 0) > 0) {
            }
            return Has(kWrite, client);
        },
        5000ms);
    EXPECT_TRUE(written);
    EXPECT_EQ(Count(kWrite), 1);

    // Accept is the one call whose would-block is a notice.
    const int quiet = Listen();
    sockaddr_in peer{};
    gBlock = false;
    EXPECT_EQ(Wrapper.AcceptSocket(quiet, peer), INVALID_SOCKET);
    ASSERT_EQ(Count(kError), 1);
    EXPECT_EQ(Log.back().Code, 10035);
    Wrapper.CloseSocket(quiet);
    Wrapper.CloseSocket(other);
    Wrapper.CloseSocket(client);
}

TEST_F(SocketWrapperTest, AReusedDescriptorGetsOnlyItsOwnNotices) {
    TFd listener(RawListener());
    const int first = Connect(PortOf(listener.Fd));
    TFd firstFar(RawAccept(listener.Fd));
    // Readable, but closed before the event loop looks at it.
    ASSERT_EQ(::send(firstFar.Fd, "old", 3, 0), 3);
    ASSERT_TRUE(Wrapper.CanReadSocket(first, 5000));
    Wrapper.CloseSocket(first);
    Log.clear();

    const int second = Connect(PortOf(listener.Fd));
    if (second != first)
        GTEST_SKIP() << "descriptor number not reused";
    TFd secondFar(RawAccept(listener.Fd));
    ASSERT_EQ(::send(secondFar.Fd, "new", 3, 0), 3);
    ASSERT_TRUE(PumpUntil([&] { return Has(kRead, second); }));
    RunFor(100ms);
    EXPECT_EQ(Count(kRead), 1);
    char buf[8] = {};
    EXPECT_EQ(Wrapper.ReadSocket(second, buf, sizeof buf, 0), 3);
    EXPECT_EQ(std::string(buf, 3), "new");
    EXPECT_EQ(Count(kDisconnect) + Count(kError), 0);
    Wrapper.CloseSocket(second);
}

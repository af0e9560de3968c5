#pragma once
// A stand-in for the TCP port component in dispatcher tests: it owns a
// TWinsockDispatcher, receives its trigger and socket messages on one message
// window, collects received bytes in OnTriggerAvail, and follows the port's
// rules for socket notices (accept answer, connect, own socket closed ->
// close itself later, peer left, error codes that end a client) and for
// closing (deferred while a message is being handled).

#include "net/DeviceSocket.h"
#include "net/WinsockDispatcher.h"
#include "serial/DispatchDefs.h"
#include "serial/PortErrors.h"
#include "support/EventLoop.h"
#include "support/Loopback.h"

#include <arpa/inet.h>
#include <functional>
#include <memory>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

namespace dravane::test {

// The real socket library with a name look-up that never finds anything.
inline net::TWsApi FailingLookupApi() {
    net::TWsApi api{};
    net::LoadWinsock(api);
    api.getaddrinfo = [](const char*, const char*, const addrinfo*, addrinfo**) { return EAI_NONAME; };
    return api;
}

// A plain socket for the far end, outside the system.
struct TRawPeer {
    int Fd = -1;
    TRawPeer() = default;
    TRawPeer(const TRawPeer&) = delete;
    TRawPeer& operator=(const TRawPeer&) = delete;
    ~TRawPeer() { Close(); }
    // To 127.0.0.1, or ::1 with AF_INET6.
    bool Connect(std::uint16_t port, int family = AF_INET) {
        Close();
        Fd = ::socket(family, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (family == AF_INET6) {
            const sockaddr_in6 a = Loopback6(port);
            return ::connect(Fd, reinterpret_cast<const sockaddr*>(&a), sizeof a) == 0;
        }
        const sockaddr_in a = Loopback(port);
        return ::connect(Fd, reinterpret_cast<const sockaddr*>(&a), sizeof a) == 0;
    }
    void Close() {
        if (Fd >= 0)
            ::close(Fd);
        Fd = -1;
    }
    // Closes with a reset instead of an orderly close.
    void Reset() {
        linger l{1, 0};
        ::setsockopt(Fd, SOL_SOCKET, SO_LINGER, &l, sizeof l);
        Close();
    }
    void Send(const std::string& s) const { ::send(Fd, s.data(), s.size(), MSG_NOSIGNAL); }
    // Reads while the event loop runs, until want bytes came, the peer closed,
    // or the time is up.
    std::string Read(std::size_t want, int ms = 10000, bool* closed = nullptr) const {
        std::string got;
        PumpUntil(
            [&] {
                pollfd p{Fd, POLLIN, 0};
                while (::poll(&p, 1, 0) == 1) {
                    char buf[4096];
                    const ssize_t n = ::recv(Fd, buf, sizeof buf, MSG_DONTWAIT);
                    if (n <= 0) {
                        if (closed)
                            *closed = true;
                        return true;
                    }
                    got.append(buf, static_cast<std::size_t>(n));
                }
                return got.size() >= want;
            },
            std::chrono::milliseconds(ms));
        return got;
    }
};

class TWsTestPort {
public:
    explicit TWsTestPort(net::TDeviceSocket& Sockets) : FSockets(Sockets) {
        FWindow = std::make_unique<platform::TMessageWindow>(
            [this](std::uint32_t Msg, std::uintptr_t W, std::intptr_t L) { return windowProc(Msg, W, L); });
    }
    ~TWsTestPort() { Close(); }

    // 0 or the negative code of the failed open.
    int OpenServer(std::uint16_t port, bool telnet = true, int outSize = 4096) {
        return open(false, INADDR_ANY, port, telnet, outSize, {});
    }
    int OpenClient(std::uint16_t port, bool telnet = true, const std::string& hostName = {},
                   int outSize = 4096) {
        return open(true, htonl(INADDR_LOOPBACK), port, telnet, outSize, hostName);
    }

    void Close() {
        if (!D || Closing)
            return;
        Closing = true;
        D->DonePort();
        if (D->EventBusy()) {
            FWindow->Post(serial::pw_ClosePending, 0, 0); // deferred: a message is being handled
        } else {
            finishClose();
        }
        if (!IsClient || ConnectFired)
            ++Disconnects;
        ConnectFired = false;
    }

    bool IsOpen() const { return D != nullptr; }
    bool Carrier() const { return D && (D->GetModemStatus() & serial::DCDMask) != 0; }
    int Put(const std::string& s) { return D->PutString(s); }
    net::TWsConnection* Connection() const { return D ? D->Connection() : nullptr; }

    std::unique_ptr<net::TWinsockDispatcher> D;
    bool IsClient = false;
    bool Closing = false;
    bool ConnectFired = false;
    std::intptr_t AcceptAnswer = 1;
    int Accepts = 0;
    int Connects = 0;
    int Disconnects = 0;
    int Avails = 0;
    int Timers = 0; // timer triggers fired
    std::vector<int> Errors;
    std::string Received;
    std::uint32_t LastPeer = 0;
    // Runs inside each socket notice and each OnTriggerAvail, after the counting.
    std::function<void(int Event)> OnSocket;
    std::function<void()> OnAvail;

private:
    int open(bool client, in_addr_t address, std::uint16_t port, bool telnet, int outSize,
             const std::string& hostName) {
        IsClient = client;
        Closing = false;
        D = std::make_unique<net::TWinsockDispatcher>(nullptr, &FSockets);
        D->InitSocketData(0, address, htons(port), client, telnet);
        D->SetHostName(hostName);
        D->SetSocketWindow(FWindow->Target());
        const int rc = D->InitSocket(4096, outSize);
        if (rc < 0) {
            D.reset();
            return rc;
        }
        D->RegisterWndTriggerHandler(FWindow.get());
        D->UpdateHandlerFlags(serial::fuEnablePort);
        D->ChangeLengthTrigger(1);
        return rc;
    }

    void finishClose() {
        D.reset();
        Closing = false;
    }

    bool endsClient(int code) const {
        using namespace serial;
        return IsClient && (code == wsaENetReset || code == wsaEConnAborted || code == wsaEConnReset ||
                            code == wsaEConnRefused || code == ecWSCANTRESOLVE);
    }

    std::intptr_t windowProc(std::uint32_t Msg, std::uintptr_t W, std::intptr_t L) {
        switch (Msg) {
        case serial::pw_TriggerAvail: {
            std::string block(W, '\0');
            if (D && W > 0 && D->GetBlock(block.data(), static_cast<int>(W)) == static_cast<int>(W))
                Received += block;
            ++Avails;
            if (OnAvail)
                OnAvail();
            return 0;
        }
        case serial::pw_TriggerTimer:
            ++Timers;
            return 0;
        case serial::pw_ClosePending:
            finishClose();
            return 0;
        case net::CM_SOCKETQUIT:
            Close();
            return 0;
        case net::CM_SOCKETMESSAGE:
            break;
        default:
            return 0;
        }
        const int event = static_cast<int>(W);
        std::intptr_t answer = 0;
        switch (event) {
        case net::wsnAccepted:
            ++Accepts;
            LastPeer = static_cast<std::uint32_t>(L);
            answer = AcceptAnswer;
            break;
        case net::wsnConnected:
            ++Connects;
            ConnectFired = true;
            break;
        case net::wsnOwnClosed:
            FWindow->Post(net::CM_SOCKETQUIT, 0, 0);
            break;
        case net::wsnPeerClosed:
            ++Disconnects;
            break;
        default:
            Errors.push_back(event);
            if (endsClient(event))
                FWindow->Post(net::CM_SOCKETQUIT, 0, 0);
            break;
        }
        if (OnSocket)
            OnSocket(event);
        return answer;
    }

    net::TDeviceSocket& FSockets;
    std::unique_ptr<platform::TMessageWindow> FWindow;
};

} // namespace dravane::test

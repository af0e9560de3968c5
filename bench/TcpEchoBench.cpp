// Echo round trip of one 20-byte line between two TCP ports of this system
// (a client and a listening server, telnet handling on, over loopback), next
// to the same exchange between plain blocking sockets with an echo thread, in
// the same run. Prints median, 99th percentile and maximum per trip, and how
// many trips took 40 ms or more (the Nagle and delayed-acknowledgement stall).
//
//   build/bench/tcp_echo_bench [trips]

#include "BenchRow.h"
#include "support/WsTestPort.h"

#include <QCoreApplication>

#include <netinet/tcp.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>
#include <vector>

using namespace dravane;
using Clock = std::chrono::steady_clock;

namespace {

constexpr char Line[] = "[R98T4AH02][LINK]..\r"; // 20 bytes
constexpr std::size_t LineSize = sizeof Line - 1;
static_assert(LineSize == 20);

struct TStats {
    std::vector<double> Us;
    void Print(const char* name) {
        std::sort(Us.begin(), Us.end());
        const auto at = [&](double q) { return Us[static_cast<std::size_t>(q * (Us.size() - 1))]; };
        const auto stalls = std::count_if(Us.begin(), Us.end(), [](double u) { return u >= 40000.0; });
        std::printf("%-22s trips %zu  median %8.1f us  p99 %8.1f us  max %8.1f us  >=40ms %ld\n", name,
                    Us.size(), at(0.5), at(0.99), Us.back(), static_cast<long>(stalls));
    }
    double Median() const { return Us[Us.size() / 2]; }
};

void NoDelay(int fd) {
    const int on = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
}

bool ReadAll(int fd, char* buf, std::size_t n) {
    for (std::size_t got = 0; got < n;) {
        const ssize_t r = ::recv(fd, buf + got, n - got, 0);
        if (r <= 0)
            return false;
        got += static_cast<std::size_t>(r);
    }
    return true;
}

// Plain blocking sockets: this thread sends and waits; an echo thread answers.
void PlainTrips(int trips, TStats& stats) {
    const int listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const sockaddr_in any = test::Loopback(0);
    ::bind(listener, reinterpret_cast<const sockaddr*>(&any), sizeof any);
    ::listen(listener, 1);
    const std::uint16_t port = test::PortOf(listener);
    std::thread echo([listener] {
        const int s = ::accept(listener, nullptr, nullptr);
        NoDelay(s);
        char buf[LineSize];
        while (ReadAll(s, buf, LineSize))
            ::send(s, buf, LineSize, MSG_NOSIGNAL);
        ::close(s);
    });
    const int c = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const sockaddr_in to = test::Loopback(port);
    ::connect(c, reinterpret_cast<const sockaddr*>(&to), sizeof to);
    NoDelay(c);
    char buf[LineSize];
    for (int i = 0; i < trips; ++i) {
        const auto t0 = Clock::now();
        ::send(c, Line, LineSize, MSG_NOSIGNAL);
        if (!ReadAll(c, buf, LineSize))
            break;
        stats.Us.push_back(std::chrono::duration<double, std::micro>(Clock::now() - t0).count());
    }
    ::close(c);
    echo.join();
    ::close(listener);
}

// Two ports of this system: the server echoes every block it is told of.
void PortTrips(net::TDeviceSocket& sockets, int trips, TStats& stats) {
    test::TWsTestPort server(sockets), client(sockets);
    if (server.OpenServer(0) != 0)
        return;
    server.OnAvail = [&] {
        server.Put(server.Received);
        server.Received.clear();
    };
    if (client.OpenClient(test::PortOf(server.D->ComHandle())) != 0)
        return;
    if (!test::PumpUntil([&] { return client.Connects == 1 && server.Accepts == 1; }))
        return;
    for (int i = 0; i < trips; ++i) {
        client.Received.clear();
        const auto t0 = Clock::now();
        client.Put(Line);
        while (client.Received.size() < LineSize)
            QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
        stats.Us.push_back(std::chrono::duration<double, std::micro>(Clock::now() - t0).count());
    }
}

} // namespace

int main(int argc, char** argv) {
    const int trips = argc > 1 ? std::max(std::atoi(argv[1]), 10) : 10000;
    QCoreApplication app(argc, argv);
    TStats plain, ports;
    {
        net::TDeviceSocketInstance sockets;
        // Alternating blocks, so that both see the same machine load.
        constexpr int Blocks = 10;
        for (int b = 0; b < Blocks; ++b) {
            PlainTrips(trips / Blocks, plain);
            PortTrips(*sockets, trips / Blocks, ports);
        }
    }
    if (plain.Us.empty() || ports.Us.empty()) {
        std::fprintf(stderr, "no trips measured\n");
        return 1;
    }
    plain.Print("plain blocking sockets");
    ports.Print("TCP ports (telnet on)");
    std::printf("median ratio ports/plain: %.2f\n", ports.Median() / plain.Median());
    const auto stalls =
        std::count_if(ports.Us.begin(), ports.Us.end(), [](double u) { return u >= 40000.0; });
    using dravane::bench::Format;
    dravane::bench::Row(
        "TCP echo, 20 bytes, telnet on",
        Format("median %.0f us", ports.Median()) + ", " + std::to_string(stalls) + " stalls >= 40 ms",
        Format("plain sockets %.0f us", plain.Median()), ports.Median() / plain.Median(),
        "median <= 2x plain, no 40 ms stall", ports.Median() <= 2 * plain.Median() && stalls == 0);
    return 0;
}

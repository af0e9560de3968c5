// A network path that goes dead under a connected Client and Server: no FIN,
// no RST, packets just vanish. The test runs itself again inside a network
// namespace of its own (unshare -rn), where it may cut its loopback. The cut
// is a token bucket of one byte per second with its bucket drained: packets
// are taken and held, never delivered, as on a pulled cable (a queue that
// refuses them would tell the sender, which gives up on its own within
// seconds). The connection must end by itself on both sides within the
// sockets' user time-out. Slow by nature (about 16 s).

#include "comm/CommFixture.h"
#include "support/WsTestPort.h"

#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

extern char** environ;

using namespace dravane;
using namespace dravane::test;
using namespace std::chrono_literals;

namespace {

constexpr const char* InsideEnv = "DRAVANE_IN_NETNS";

int Shell(const std::string& command) {
    return std::system((command + " >/dev/null 2>&1").c_str());
}

// Spawns argv and waits for it at most `limit`; its exit status, or -1 when
// it was killed for taking too long.
int SpawnAndWait(const std::vector<std::string>& args, std::chrono::milliseconds limit) {
    std::vector<char*> argv;
    for (const std::string& a : args)
        argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    pid_t pid = 0;
    if (::posix_spawnp(&pid, argv[0], nullptr, nullptr, argv.data(), environ) != 0)
        return 127;
    const int pidfd = static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));
    pollfd p{pidfd, POLLIN, 0};
    const bool ended = pidfd >= 0 && ::poll(&p, 1, static_cast<int>(limit.count())) == 1;
    if (!ended)
        ::kill(pid, SIGKILL);
    int status = 0;
    ::waitpid(pid, &status, 0);
    if (pidfd >= 0)
        ::close(pidfd);
    return ended && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

constexpr const char* Cut = "tc qdisc add dev lo root tbf rate 8bit burst 1514 limit 1000000";

// One full-sized datagram takes the bucket's tokens, so nothing after it passes.
void DrainBucket() {
    const int s = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    const sockaddr_in to = Loopback(9);
    const std::string filler(1472, 'x');
    ::sendto(s, filler.data(), filler.size(), 0, reinterpret_cast<const sockaddr*>(&to), sizeof to);
    ::close(s);
}

class DeadPath : public CommFixture {};

} // namespace

TEST_F(DeadPath, ServerFreesItsSlotAndClientReconnectsAfterThePathComesBack) {
    if (!std::getenv(InsideEnv)) {
        // Outside: the same test again, in a namespace of its own.
        if (Shell("unshare -rn true") != 0)
            GTEST_SKIP() << "no private network namespace here ('unshare -rn true' failed)";
        if (Shell(std::string("unshare -rn sh -c 'ip link set lo mtu 1500 up && ") + Cut + "'") != 0)
            GTEST_SKIP() << "the namespace's loopback cannot be cut ('ip link' or '" << Cut << "' failed)";
        char self[4096] = {};
        ASSERT_GT(::readlink("/proc/self/exe", self, sizeof self - 1), 0);
        ::setenv(InsideEnv, "1", 1);
        const int status =
            SpawnAndWait({"unshare", "-rn", self, "--gtest_filter=DeadPath.*", "--gtest_brief=1"}, 50s);
        ::unsetenv(InsideEnv);
        EXPECT_EQ(status, 0) << "the run inside the namespace failed (-1: killed after 50 s)";
        return;
    }

    ASSERT_EQ(Shell("ip link set lo mtu 1500 up"), 0);
    const std::uint16_t port = FreePort();
    TTestComm& server = Open("[Ports]\nCOM3=" + Controller.SlavePath() +
                             "\n[Comm]\nPort=3\nMode=2\nipPort=" + std::to_string(port) + "\n");
    TTestComm& client = Open("[Comm]\nMode=1\nipAddress=127.0.0.1\nipPort=" + std::to_string(port) + "\n");
    comm::SystemReady = true;
    ASSERT_TRUE(PumpUntil([&] { return client.GetRemoteStatus() == comm::lsReady; }));
    client.Tick(); // the first "[REMOTE]"
    ASSERT_TRUE(PumpUntil([&] { return server.GetRemoteStatus() == comm::lsReady; }));

    // The path dies. Both sides have data in flight that is never
    // acknowledged: the Client's "[REMOTE]", the controller's answer the
    // Server relays. No tick runs on the Server, so its 141-tick silence
    // rule cannot be what ends the connection.
    ASSERT_EQ(Shell(Cut), 0);
    DrainBucket();
    client.Tick(TCommLink::LinkTestInterval + 1);
    Controller.Send("[LINKOK]\r");
    ASSERT_TRUE(PumpUntil([&] { return client.GetRemoteStatus() == comm::lsDisconnected; }, 30s));
    ASSERT_TRUE(PumpUntil([&] { return server.GetRemoteStatus() == comm::lsDisconnected; }, 10s));

    // The path returns: the Server listens again at its next tick, the
    // Client connects on its own cycle and the Server takes it.
    ASSERT_EQ(Shell("tc qdisc del dev lo root"), 0);
    server.Tick();
    client.Tick(TCommLink::RemoteTimeout + 1);
    ASSERT_TRUE(PumpUntil([&] { return client.GetRemoteStatus() == comm::lsReady; }));
    client.Tick(TCommLink::LinkTestInterval + 1);
    EXPECT_TRUE(PumpUntil([&] { return server.GetRemoteStatus() == comm::lsReady; }));
}

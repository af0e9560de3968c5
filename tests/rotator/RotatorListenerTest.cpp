#include "rotator/RotatorListener.h"
#include "FakeDrive.h"
#include "comm/CommFixture.h"
#include "comm/NetDefs.h"
#include "platform/IniFile.h"
#include "rotator/LinkDrive.h"
#include "support/EventLoop.h"
#include "support/Loopback.h"
#include "support/SimProcess.h"
#include "support/TempDir.h"

#include <QProcess>
#include <QStandardPaths>
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <cerrno>
#include <csignal>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace dravane::test {
namespace {

using comm::kelBidir;
using comm::kelOmniDir;
using comm::kelUnidir;
using comm::TCommLink;
using rotator::TRotatorListener;
using rotator::TRotatorSettings;

struct TRun {
    bool Finished = false;
    int ExitCode = -1;
    QString Output;
};

// Hamlib's own client against the listener, the event loop running meanwhile.
TRun rotctl(std::uint16_t port, const QStringList& commands) {
    QProcess process;
    process.setProcessChannelMode(QProcess::MergedChannels);
    process.start("rotctl", QStringList{"-m", "2", "-r", QString("127.0.0.1:%1").arg(port)} + commands);
    TRun run;
    run.Finished = PumpUntil([&] { return process.state() == QProcess::NotRunning; }, 20s);
    if (!run.Finished) {
        process.kill();
        process.waitForFinished(5000);
    }
    run.ExitCode = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
    run.Output = QString::fromLocal8Bit(process.readAll());
    return run;
}

// Polls p until it reports the bearing (rotctl prints two decimals).
bool positionComesTo(std::uint16_t port, const QString& bearing) {
    for (int attempt = 0; attempt < 20; ++attempt) {
        const TRun p = rotctl(port, {"p"});
        if (p.ExitCode == 0 && p.Output.startsWith(bearing + "\n"))
            return true;
        RunFor(100ms);
    }
    return false;
}

TEST(RotatorListener, RotctlPointsTheArray) {
    if (QStandardPaths::findExecutable("rotctl").isEmpty())
        GTEST_SKIP() << "rotctl (Debian package libhamlib-utils) is not installed";
    TFakeDrive drive;
    drive.AnswerMs = 50;
    TRotatorSettings settings;
    settings.Port = 0;
    TRotatorListener listener(drive, settings);
    ASSERT_TRUE(listener.Start());
    const std::uint16_t port = listener.Port();
    {
        SCOPED_TRACE("before the first status report p is not available");
        const TRun p = rotctl(port, {"p"});
        EXPECT_NE(p.ExitCode, 0);
        EXPECT_TRUE(p.Output.contains("Feature not available")) << p.Output.toStdString();
    }
    {
        SCOPED_TRACE("UNI north-east: P 200 0 succeeds, p comes to south after three right turns");
        drive.Current = comm::TAntennaState{kelUnidir, comm::kelNorthEast};
        const TRun set = rotctl(port, {"P", "200", "0"});
        EXPECT_EQ(set.ExitCode, 0) << set.Output.toStdString();
        EXPECT_TRUE(positionComesTo(port, "180.00"));
        EXPECT_EQ(drive.Turns, (std::vector<bool>{true, true, true}));
    }
    {
        SCOPED_TRACE("BI lit north and south: P 200 0 sends nothing and p says south");
        drive.Current = comm::TAntennaState{kelBidir, comm::kelNorth};
        drive.Turns.clear();
        const TRun set = rotctl(port, {"P", "200", "0", "p"});
        EXPECT_EQ(set.ExitCode, 0) << set.Output.toStdString();
        EXPECT_TRUE(set.Output.endsWith("180.00\n0.00\n")) << set.Output.toStdString();
        RunFor(100ms);
        EXPECT_TRUE(drive.Turns.empty());
    }
    {
        SCOPED_TRACE("OMNI: rotctl prints the rejection");
        drive.Current = comm::TAntennaState{kelOmniDir, 0};
        const TRun set = rotctl(port, {"P", "200", "0"});
        EXPECT_NE(set.ExitCode, 0);
        EXPECT_TRUE(set.Output.contains("Command rejected")) << set.Output.toStdString();
    }
    {
        SCOPED_TRACE("link down: an I/O error at once");
        drive.Current = comm::TAntennaState{kelUnidir, 0};
        drive.Up = false;
        const TRun set = rotctl(port, {"P", "200", "0"});
        EXPECT_TRUE(set.Finished);
        EXPECT_NE(set.ExitCode, 0);
        EXPECT_TRUE(set.Output.contains("IO error")) << set.Output.toStdString();
        EXPECT_TRUE(drive.Turns.empty());
    }
    EXPECT_TRUE(PumpUntil([&] { return listener.ConnectionCount() == 0; }));
}

int connectTo(std::uint16_t port, int receiveBuffer = 0, bool v6 = false) {
    const int fd = ::socket(v6 ? AF_INET6 : AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (receiveBuffer > 0)
        ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof receiveBuffer);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    sockaddr_in6 address6{};
    address6.sin6_family = AF_INET6;
    address6.sin6_port = htons(port);
    address6.sin6_addr = in6addr_loopback;
    const int connected = v6 ? ::connect(fd, reinterpret_cast<sockaddr*>(&address6), sizeof address6)
                             : ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
    if (connected != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

// Reads until `size` bytes came, the event loop running meanwhile.
std::string receive(int fd, std::size_t size) {
    std::string got;
    PumpUntil([&] {
        char buffer[4096];
        const ssize_t n = ::recv(fd, buffer, sizeof buffer, MSG_DONTWAIT);
        if (n > 0)
            got.append(buffer, static_cast<std::size_t>(n));
        return got.size() >= size;
    });
    return got;
}

TEST(RotatorListener, RawClientsGetWholeRepliesBySettingsAndAPeerThatNeverReadsIsClosedAlone) {
    TFakeDrive drive;
    drive.Current = comm::TAntennaState{kelUnidir, comm::kelSouth};
    TempDir dir;
    WriteAll(dir.File("dravane.ini"),
             "[Rotator]\nEnabled=1\nAddress=localhost\nPort=0\nOffset=-10,5\nPark=90\n");
    TRotatorSettings settings;
    settings.Load(platform::TIniFile(dir.File("dravane.ini")));
    EXPECT_TRUE(settings.Enabled);
    TRotatorListener listener(drive, settings);
    ASSERT_TRUE(listener.Start());
    const int good = connectTo(listener.Port());
    const int hostile = connectTo(listener.Port(), 1024);
    ASSERT_GE(good, 0);
    ASSERT_GE(hostile, 0);
    ASSERT_TRUE(PumpUntil([&] { return listener.ConnectionCount() == 2; }));

    const std::string request = "p\n+\\get_pos\n" + std::string(3000, 'x') + "\n;S\n\\get_info\nP 1";
    ASSERT_EQ(::send(good, request.data(), request.size(), MSG_NOSIGNAL), ssize_t(request.size()));
    const std::string expected = "169.500000\n0.000000\n"
                                 "get_pos:\nAzimuth: 169.500000\nElevation: 0.000000\nRPRT 0\n"
                                 "RPRT -1\n"
                                 "stop:;RPRT 0\n"
                                 "Dravane Control 2.0\n";
    EXPECT_EQ(receive(good, expected.size()), expected);
    ASSERT_EQ(::send(good, "80 0\n", 5, MSG_NOSIGNAL), 5);
    EXPECT_EQ(receive(good, 7), "RPRT 0\n");
    EXPECT_TRUE(drive.Turns.empty());
    ASSERT_EQ(::send(good, "K\n", 2, MSG_NOSIGNAL), 2);
    EXPECT_EQ(receive(good, 7), "RPRT 0\n");
    EXPECT_TRUE(PumpUntil([&] { return drive.Current->Direction == comm::kelEast; }));

    // dump_state gives eight times the bytes it takes: replies pile up unread.
    std::string flood;
    while (flood.size() < 64 * 1024)
        flood += "\\dump_state\n";
    std::size_t offset = 0;
    EXPECT_TRUE(PumpUntil(
        [&] {
            const ssize_t n =
                ::send(hostile, flood.data() + offset, flood.size() - offset, MSG_DONTWAIT | MSG_NOSIGNAL);
            if (n > 0)
                offset = (offset + static_cast<std::size_t>(n)) % flood.size();
            return listener.ConnectionCount() == 1;
        },
        20s));
    ASSERT_EQ(::send(good, "p\n", 2, MSG_NOSIGNAL), 2);
    EXPECT_EQ(receive(good, 19), "79.500000\n0.000000\n");
    ::close(good);
    ::close(hostile);

    settings.Address = "::1";
    TRotatorListener v6(drive, settings);
    if (!v6.Start())
        return; // no IPv6 loopback here
    const int client = connectTo(v6.Port(), 0, true);
    ASSERT_GE(client, 0);
    ASSERT_EQ(::send(client, "p\n", 2, MSG_NOSIGNAL), 2);
    EXPECT_EQ(receive(client, 19), "79.500000\n0.000000\n");
    ::close(client);
}

// The listener over the real link, the simulator as the controller, rotctl as the client.
class RotatorOverLink : public CommFixture {
protected:
    static std::string NormalOn(const std::string& device) {
        return "[Ports]\nCOM3=" + device + "\n[Comm]\nPort=3\nMode=0\n";
    }
    static std::string ServerOn(const std::string& device, std::uint16_t port) {
        return "[Ports]\nCOM3=" + device + "\n[Comm]\nPort=3\nMode=2\nipPort=" + std::to_string(port) + "\n";
    }
    static std::string ClientTo(std::uint16_t port) {
        return "[Comm]\nMode=1\nipAddress=127.0.0.1\nipPort=" + std::to_string(port) + "\n";
    }
    // A link on its own 50 ms tick, so that retries come a second apart as they do in the program.
    TTestComm& OpenTicking(const std::string& settings) {
        TTestComm& link = Open(settings);
        link.findChild<QTimer*>("Timer1")->start();
        return link;
    }
    static std::unique_ptr<rotator::TLinkRotator> ListenOver(TCommLink& link) {
        TRotatorSettings settings;
        settings.Port = 0;
        auto rotator = std::make_unique<rotator::TLinkRotator>(link, settings);
        EXPECT_TRUE(rotator->Start());
        return rotator;
    }
    // Turning commands the simulator logged since the last call: it logs each line it receives.
    static int turnsLogged(SimProcess& sim) {
        int turns = 0;
        for (std::string line; !(line = sim.ReadLine(300ms)).empty();)
            turns += line.find(" < [R98T4AH01]") != std::string::npos ||
                     line.find(" < [R98T4AH02]") != std::string::npos;
        return turns;
    }
    // The operator's click on a button of the panel.
    static bool press(TCommLink& link, std::uint8_t button) {
        return link.SendCommand(comm::baseDravane, comm::cmd485_SetDravane,
                                std::string(1, static_cast<char>(button)), comm::cmd485_DravaneStatus);
    }
    void SetUp() override {
        CommFixture::SetUp();
        if (QStandardPaths::findExecutable("rotctl").isEmpty())
            GTEST_SKIP() << "rotctl (Debian package libhamlib-utils) is not installed";
        comm::SystemReady = true;
    }
};

TEST_F(RotatorOverLink, RotctlPointsTheArrayThroughTheLinkToTheSimulator) {
    SimProcess sim({"--log"}); // UNI, north-east
    TTestComm& link = OpenTicking(NormalOn(sim.ReadLine()));
    const auto rotator = ListenOver(link);
    const std::uint16_t port = rotator->Listener().Port();
    ASSERT_TRUE(PumpUntil([&] { return rotator->Drive().LinkUp(); }));
    {
        SCOPED_TRACE("nothing reported yet: P 200 0 turns until the reports show south, the shorter way");
        const TRun set = rotctl(port, {"P", "200", "0"});
        EXPECT_EQ(set.ExitCode, 0) << set.Output.toStdString();
        EXPECT_TRUE(positionComesTo(port, "180.00"));
        // North-east to south is three steps right.
        EXPECT_LE(turnsLogged(sim), 3 + 1);
    }
    {
        SCOPED_TRACE("BI lit north and south: P 0 0 sends no command");
        ASSERT_TRUE(press(link, comm::KelBiDirButton));
        ASSERT_TRUE(rotator->Drive().State()->Lit(comm::kelNorth));
        turnsLogged(sim);
        const TRun set = rotctl(port, {"P", "0", "0", "p"});
        EXPECT_EQ(set.ExitCode, 0) << set.Output.toStdString();
        EXPECT_TRUE(set.Output.endsWith("0.00\n0.00\n")) << set.Output.toStdString();
        EXPECT_EQ(turnsLogged(sim), 0);
    }
    {
        SCOPED_TRACE("OMNI: rotctl prints the rejection");
        ASSERT_TRUE(press(link, comm::KelOmniButton));
        const TRun set = rotctl(port, {"P", "200", "0"});
        EXPECT_NE(set.ExitCode, 0);
        EXPECT_TRUE(set.Output.contains("Command rejected")) << set.Output.toStdString();
        ASSERT_TRUE(press(link, comm::KelUniDirButton));
    }
    {
        SCOPED_TRACE("the controller stops answering: P is taken, the move fails within the retries, "
                     "and p is answered meanwhile");
        QString failure;
        QObject::connect(&rotator->Listener(), &TRotatorListener::MoveFailed,
                         [&](const QString& reason) { failure = reason; });
        // Started once the move waits for its first answer, from inside the link's wait.
        QProcess during;
        QString duringOutput;
        bool answeredWhileMoving = false;
        QObject::connect(&during, &QProcess::finished, [&] {
            duringOutput = QString::fromLocal8Bit(during.readAllStandardOutput());
            answeredWhileMoving = rotator->Listener().Engine().Moving();
        });
        ASSERT_EQ(::kill(sim.Pid(), SIGSTOP), 0);
        QTimer watch;
        QObject::connect(&watch, &QTimer::timeout, [&] {
            if (!link.NetIsBusy())
                return;
            watch.stop();
            during.start("rotctl", {"-m", "2", "-r", QString("127.0.0.1:%1").arg(port), "p"});
        });
        watch.start(10);
        const TRun set = rotctl(port, {"P", "0", "0"});
        EXPECT_EQ(set.ExitCode, 0) << set.Output.toStdString();
        EXPECT_TRUE(PumpUntil([&] { return !failure.isEmpty(); }, 15s));
        EXPECT_EQ(failure, "the controller did not answer");
        EXPECT_TRUE(PumpUntil([&] { return during.state() == QProcess::NotRunning; }));
        EXPECT_EQ(duringOutput, "180.00\n0.00\n");
        EXPECT_TRUE(answeredWhileMoving);
        ::kill(sim.Pid(), SIGCONT);
    }
}

TEST_F(RotatorOverLink, ASilentControllerGetsAnIoErrorAtOnce) {
    SimProcess sim({"--silent"});
    TTestComm& link = OpenTicking(NormalOn(sim.ReadLine()));
    const auto rotator = ListenOver(link);
    int ticks = 0;
    QTimer beat;
    QObject::connect(&beat, &QTimer::timeout, [&] { ++ticks; });
    beat.start(10);
    const TRun set = rotctl(rotator->Listener().Port(), {"P", "200", "0"});
    EXPECT_TRUE(set.Finished);
    EXPECT_NE(set.ExitCode, 0);
    // Answered before rotctl's own time-out, with the code for a link that is down.
    EXPECT_TRUE(set.Output.contains("IO error")) << set.Output.toStdString();
    EXPECT_FALSE(set.Output.contains("timed out")) << set.Output.toStdString();
    EXPECT_GT(ticks, 0);
}

TEST_F(RotatorOverLink, RotctlPointsTheArrayThroughAClientAndItsServer) {
    SimProcess sim({"--mode", "UNI", "--direction", "7"});
    const std::uint16_t tcpPort = FreePort();
    TTestComm& server = OpenTicking(ServerOn(sim.ReadLine(), tcpPort));
    TTestComm& client = OpenTicking(ClientTo(tcpPort));
    const auto atServer = ListenOver(server);
    const auto atClient = ListenOver(client);
    ASSERT_TRUE(
        PumpUntil([&] { return atClient->Drive().LinkUp() && server.GetRemoteStatus() == comm::lsReady; }));
    const TRun set = rotctl(atClient->Listener().Port(), {"P", "200", "0"});
    EXPECT_EQ(set.ExitCode, 0) << set.Output.toStdString();
    EXPECT_TRUE(positionComesTo(atClient->Listener().Port(), "180.00"));

    // Nobody holds control: the Server's own rotator points the array too.
    EXPECT_EQ(rotctl(atServer->Listener().Port(), {"P", "90", "0"}).ExitCode, 0);
    EXPECT_TRUE(positionComesTo(atClient->Listener().Port(), "90.00"));

    // The Client takes control: the Server's P is an I/O error at once, and
    // its p follows the reports the Client's commands bring.
    ASSERT_TRUE(client.TakeControl());
    ASSERT_TRUE(PumpUntil([&] { return server.ControlledByOther(); }));
    const TRun held = rotctl(atServer->Listener().Port(), {"P", "0", "0"});
    EXPECT_NE(held.ExitCode, 0);
    EXPECT_TRUE(held.Output.contains("IO error")) << held.Output.toStdString();
    EXPECT_EQ(rotctl(atClient->Listener().Port(), {"P", "180", "0"}).ExitCode, 0);
    EXPECT_TRUE(positionComesTo(atServer->Listener().Port(), "180.00"));
}
} // namespace
} // namespace dravane::test

// A station shared by several operators: Clients on one Server over
// loopback, the controller on a pseudo-terminal behind it.

#include "comm/CommFixture.h"
#include "comm/NetDefs.h"
#include "support/Loopback.h"

#include <sys/socket.h>

#include <chrono>

using namespace dravane;
using namespace dravane::test;
using namespace dravane::comm;

namespace {

class Shared : public CommFixture {
protected:
    // The controller's adapter by a name that outlives the device, as under /dev/serial/by-id.
    void Plug() {
        std::filesystem::remove(ById);
        std::filesystem::create_symlink(Controller.SlavePath(), ById);
    }
    std::string ServerOn(std::uint16_t port, const std::string& extra) {
        Plug();
        return "[Ports]\nCOM3=" + ById +
               "\n[Comm]\nPort=3\nMode=2\nName=shack\nipPort=" + std::to_string(port) + "\n" + extra;
    }
    // The windows share one settings file: the Server finds its port in it
    // whenever it opens it.
    std::string ClientTo(std::uint16_t port, const std::string& name) const {
        return "[Ports]\nCOM3=" + ById + "\n[Comm]\nMode=1\nipAddress=127.0.0.1\nName=" + name +
               "\nipPort=" + std::to_string(port) + "\n";
    }

    // Every link and the controller's clock move one tick every 2 ms, so
    // that supervision and retries run ten times faster than on the air.
    void StartTicking() {
        FTicker.setInterval(2);
        QObject::connect(&FTicker, &QTimer::timeout, [this] {
            ++Ticks;
            Controller.Advance(std::chrono::milliseconds(TCommLink::TickMs));
            for (auto& w : Windows)
                w->Tick();
        });
        FTicker.start();
    }

    static bool Turn(TTestComm& w, const char* button) {
        return w.SendCommand(baseDravane, cmd485_SetDravane, button, cmd485_DravaneStatus);
    }
    static bool Ready(const TTestComm& w) { return w.GetRemoteStatus() == lsReady; }

    QTimer FTicker;
    int Ticks = 0;
    std::string ById = Dir.File("usb-Dravane-if00");
};

TEST_F(Shared, TwoOperatorsShareTheArrayAndTheRecordNamesWhoSwitchedWhat) {
    TLinkLog log;
    const std::uint16_t port = FreePort();
    TTestComm& server = Open(ServerOn(port, "MaxClients=2\n"));
    TTestComm& anna = Open(ClientTo(port, "anna"));
    TTestComm& bert = Open(ClientTo(port, "bert"));
    comm::SystemReady = true;
    StartTicking();
    ASSERT_TRUE(PumpUntil([&] {
        return Ready(anna) && Ready(bert) && Ready(server) && server.GetLinkStatus() == lsReady &&
               anna.ControlText() == "Control: free" && bert.ControlText() == "Control: free";
    }));

    // A third is one too many: it hears why, and the Server's log names it.
    TTestComm& carl = Open(ClientTo(port, "carl"));
    ASSERT_TRUE(PumpUntil([&] { return log.Has("refused: the Server is full (MaxClients=2)"); }));
    EXPECT_TRUE(PumpUntil([&] { return log.Has("Refused by the Server at 127.0.0.1 port * MaxClients"); }));
    EXPECT_NE(carl.GetRemoteStatus(), lsReady);
    Windows.pop_back();
    EXPECT_EQ(server.PeerCount(), 2);

    // Nobody holds control: anyone commands, and both desks see every status.
    BoundWaits();
    ASSERT_TRUE(Turn(anna, "\x02"));
    const TNetPacket report = anna.GetPacket();
    EXPECT_TRUE(PumpUntil([&] { return bert.GetPacket() == report; }));
    EXPECT_TRUE(Turn(bert, "\x01"));
    EXPECT_TRUE(PumpUntil([&] { return anna.GetPacket() == bert.GetPacket(); }));

    // Anna takes control: Bert sees her name, and his command fails at
    // once without leaving his desk.
    ASSERT_TRUE(anna.TakeControl());
    ASSERT_TRUE(PumpUntil([&] {
        return anna.ControlText() == "Control: yours" && bert.ControlText() == "Controlled by anna";
    }));
    EXPECT_EQ(server.ControlText(), "Controlled by anna");
    QString refused;
    QObject::connect(&bert, &TCommLink::CommandRefused, [&](const QString& why) { refused = why; });
    const int commands = Controller.CommandCount();
    int ticks = Ticks;
    EXPECT_FALSE(Turn(bert, "\x02"));
    EXPECT_EQ(Ticks, ticks);
    EXPECT_EQ(refused, "Controlled by anna");
    // A desk that sends all the same (it has not heard yet) is refused by
    // the Server with the holder's name; the controller hears nothing of it.
    bert.RemotePort->PutString("[R98T4AH02]\r");
    ASSERT_TRUE(PumpUntil([&] { return log.Has("Refused 127.0.0.1 port * (bert) command [R98T4AH02]"); }));
    EXPECT_EQ(Controller.CommandCount(), commands);
    // The Server's own panel is refused too; the holder commands.
    EXPECT_FALSE(Turn(server, "\x02"));
    EXPECT_TRUE(Turn(anna, "\x02"));
    EXPECT_EQ(Controller.CommandCount(), commands + 1);

    // Anna's connection is reset: control is free at once, and Bert takes it
    // well within one supervision time.
    const linger reset{1, 0};
    ASSERT_EQ(::setsockopt(anna.RemoteDataSocket(), SOL_SOCKET, SO_LINGER, &reset, sizeof reset), 0);
    anna.Shutdown();
    const auto lost = std::chrono::steady_clock::now();
    ASSERT_TRUE(PumpUntil([&] { return bert.ControlText() == "Control: free"; }));
    ASSERT_TRUE(bert.TakeControl());
    ASSERT_TRUE(PumpUntil([&] { return bert.ControlText() == "Control: yours"; }));
    EXPECT_LT(std::chrono::steady_clock::now() - lost,
              std::chrono::milliseconds(TCommLink::RemoteTimeout * 2));
    EXPECT_EQ(server.ControlText(), "Controlled by bert");
    EXPECT_TRUE(Turn(bert, "\x01"));
    // Released, anyone may command again.
    ASSERT_TRUE(bert.ReleaseControl());
    ASSERT_TRUE(PumpUntil([&] { return server.ControlText() == "Control: free"; }));
    EXPECT_TRUE(Turn(server, "\x02"));
    EXPECT_FALSE(TimedOut);

    // The record: who came, who switched what and what came of it, who
    // held control, who left.
    for (const char* line :
         {"Peer 127.0.0.1 port * connected, admitted (no key)", "Peer 127.0.0.1 port * is anna",
          "127.0.0.1 port * (anna) pressed right - now UNI ",
          "127.0.0.1 port * (bert) pressed left - now UNI ", "Control taken by 127.0.0.1 port * (anna)",
          "Control released: 127.0.0.1 port * (anna) left", "Peer 127.0.0.1 port * (anna) disconnected",
          "Control taken by 127.0.0.1 port * (bert)", "Control released by 127.0.0.1 port * (bert)",
          "shack (this Server's panel) pressed right - now "})
        EXPECT_TRUE(log.Has(line)) << line;
}

TEST_F(Shared, EveryDeskSeesTheControllerDieBehindTheServerAndComeBack) {
    const std::uint16_t port = FreePort();
    TTestComm& server = Open(ServerOn(port, "MaxClients=3\n"));
    TTestComm& anna = Open(ClientTo(port, "anna"));
    TTestComm& bert = Open(ClientTo(port, "bert"));
    comm::SystemReady = true;
    StartTicking();
    ASSERT_TRUE(PumpUntil([&] { return Ready(anna) && Ready(bert) && server.GetLinkStatus() == lsReady; }));

    // The controller goes: both desks hear it in words and colour, and a
    // click fails at once rather than after six transmissions.
    Controller.Unplug();
    std::filesystem::remove(ById);
    ASSERT_TRUE(PumpUntil([&] {
        return anna.GetRemoteStatus() == lsNoController && bert.GetRemoteStatus() == lsNoController;
    }));
    EXPECT_GE(MainForm.Count(mcCommLinkNoController), 2);
    QString refused;
    QObject::connect(&anna, &TCommLink::CommandRefused, [&](const QString& why) { refused = why; });
    BoundWaits();
    const int ticks = Ticks;
    EXPECT_FALSE(Turn(anna, "\x02"));
    EXPECT_EQ(Ticks, ticks);
    EXPECT_EQ(refused, "Server reached, controller not answering");
    // The desks stay connected meanwhile: the Server keeps serving them.
    EXPECT_EQ(server.PeerCount(), 2);

    // Back: both desks are ready again and command as before.
    Controller.Replug();
    Plug();
    ASSERT_TRUE(PumpUntil([&] { return Ready(anna) && Ready(bert); }));
    EXPECT_TRUE(Turn(bert, "\x02"));
    EXPECT_FALSE(TimedOut);
}

} // namespace

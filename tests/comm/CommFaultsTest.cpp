// What an unattended site meets, end to end: a Server on the controller and
// a Client over loopback, and raw peers where the fault is a hostile peer.
// Each fault: every command ends true or false, the operator sees the link as
// it is, bytes that pile up stay bounded, and the link comes back when the
// fault ends.

#include "comm/CommFixture.h"
#include "comm/NetDefs.h"
#include "net/DeviceSocket.h"
#include "net/TelnetCodec.h"
#include "support/LoopbackProxy.h"
#include "support/WsTestPort.h"

#include <filesystem>
#include <fstream>
#include <random>

using namespace dravane;
using namespace dravane::test;
using namespace dravane::comm;
using namespace std::chrono_literals;

namespace {

const std::string Reply = "[T4BR0198H00M0102]\r";

// What a raw peer has received by now, without waiting.
std::string TakeIn(const TRawPeer& peer) {
    std::string got;
    char buf[4096];
    ssize_t n;
    while ((n = ::recv(peer.Fd, buf, sizeof buf, MSG_DONTWAIT)) > 0)
        got.append(buf, static_cast<std::size_t>(n));
    return got;
}

// A peer playing the Server, outside the system.
struct TRawListener {
    int Fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    TRawListener() {
        const sockaddr_in a = Loopback(0);
        ::bind(Fd, reinterpret_cast<const sockaddr*>(&a), sizeof a);
        ::listen(Fd, 1);
    }
    ~TRawListener() { ::close(Fd); }
    bool Accept(TRawPeer& peer) const {
        return PumpUntil([&] {
            peer.Close();
            peer.Fd = ::accept4(Fd, nullptr, nullptr, SOCK_CLOEXEC);
            return peer.Fd >= 0;
        });
    }
};

class Faults : public CommFixture {
protected:
    void SetUp() override {
        CommFixture::SetUp();
        std::filesystem::create_symlink(Controller.SlavePath(), ById);
        comm::SystemReady = true;
    }

    // The windows share one settings file; the Server's finds its port in it
    // whenever it opens it.
    std::string Settings(const std::string& comm) const {
        return "[Ports]\nCOM3=" + ById + "\n[Comm]\n" + comm;
    }
    TTestComm& OpenServer() {
        return *(Server = &Open(Settings("Port=3\nMode=2\nipPort=" + std::to_string(Port) + "\n")));
    }
    TTestComm& OpenClient(std::uint16_t port) {
        TTestComm& c = Open(Settings("Mode=1\nipAddress=127.0.0.1\nipPort=" + std::to_string(port) + "\n"));
        // Keeps what reaches the Client, then lets the window read it.
        c.RemotePort->SetOnTriggerAvail([this, &c](serial::TCustomComPort* CP, std::uint16_t Count) {
            platform::Guarded([&] {
                if (Count > 0 && CP->PortState() == serial::psOpen) {
                    std::string bytes(Count, '\0');
                    CP->PeekBlock(bytes.data(), Count);
                    ClientIn += bytes;
                    // The Server's own lines are no bytes of the controller's
                    // (one may come in two pieces).
                    for (auto at = ClientIn.find("[SERVER ", ClientScan); at != std::string::npos;
                         at = ClientIn.find("[SERVER ", ClientScan)) {
                        const auto end = ClientIn.find('\r', at);
                        if (end == std::string::npos) {
                            ClientScan = at;
                            break;
                        }
                        ClientIn.erase(at, end + 1 - at);
                    }
                    if (ClientIn.find("[SERVER ", ClientScan) == std::string::npos)
                        ClientScan = ClientIn.size() > 8 ? ClientIn.size() - 8 : 0;
                }
                c.RemotePortTriggerAvail(CP, Count);
            });
        });
        return *(Client = &c);
    }
    bool Start() {
        OpenServer();
        OpenClient(Port);
        return Settle();
    }

    // Ticks both windows until the Client is connected and heard and the
    // Server's controller answers; no tick while a connection is being made.
    bool Settle() {
        TTickDriver ticks(*Client, [this] {
            return !Client->RemotePort->Open() || Client->GetRemoteStatus() == comm::lsReady ||
                   Client->GetRemoteStatus() == comm::lsNoController;
        });
        ticks.OnTick = [this](int) { Server->Tick(); };
        return PumpUntil(
            [this] {
                return Client->GetRemoteStatus() == comm::lsReady &&
                       Server->GetRemoteStatus() == comm::lsReady && Server->GetLinkStatus() == comm::lsReady;
            },
            30s);
    }

    // Nothing in flight between the controller and the Client: from here
    // every byte the controller sends is counted until the Client has it.
    bool Sync() {
        const std::size_t from = ClientIn.size();
        const std::size_t sent = Controller.Sent;
        const std::string sync = "[SYNC]\r";
        Controller.Send(sync);
        // The path keeps the order: what follows the mark at the Client came
        // from the controller after it.
        std::size_t at = std::string::npos;
        const bool synced = PumpUntil([&] { return (at = ClientIn.find(sync, from)) != std::string::npos; });
        ClientBase = synced ? at + sync.size() : ClientIn.size();
        SentBase = sent + sync.size();
        return synced;
    }

    // The Client turns the antenna one step. A tick waits until Gate allows;
    // by default until every transmission has reached the controller and all
    // the controller sent has reached the Client, so nothing races the
    // retry. The controller's clock and the Server's ticks move with the
    // Client's ticks.
    bool Command(std::function<bool()> Gate = {}, const std::function<void()>& BeforeClick = {}) {
        if (Server) {
            EXPECT_TRUE(Sync());
        }
        if (BeforeClick)
            BeforeClick();
        const int before = Controller.Count(Right);
        if (!Gate)
            Gate = [this, before] {
                return Controller.Count(Right) - before == Client->Attempts &&
                       ClientIn.size() - ClientBase == Controller.Sent - SentBase;
            };
        TTickDriver ticks(*Client, Gate);
        ticks.OnTick = [this](int) {
            Controller.Advance(std::chrono::milliseconds(TCommLink::TickMs));
            if (Server)
                Server->Tick();
        };
        BoundWaits();
        const bool answered =
            Client->SendCommand(baseDravane, cmd485_SetDravane, "\x02", cmd485_DravaneStatus);
        FBound.stop();
        EXPECT_FALSE(TimedOut);
        EXPECT_FALSE(Client->NetIsBusy());
        return answered;
    }

    // A command that reaches a silent controller, then Fault strikes; the
    // ticks go on once Struck holds.
    bool CommandStruck(const std::function<void()>& Fault, const std::function<bool()>& Struck) {
        Controller.SetOptions({.Silent = true});
        MainForm.Told.clear();
        const int before = Controller.Count(Right);
        int stage = 0;
        return Command([&] {
            if (stage == 0 && Controller.Count(Right) > before) {
                Fault();
                stage = 1;
            }
            if (stage == 1 && Struck())
                stage = 2;
            return stage == 2;
        });
    }

    int Told(std::int32_t code, const TTestComm* w) const { return MainForm.Count(code, w->ActionToDo); }

    // Ticks the windows (and the controller's clock) while Until does not
    // hold, at most Limit ticks; false when Until never held.
    bool TickUntil(const std::function<bool()>& Until, int Limit = 2000, bool ServerToo = true) {
        for (int k = 0; k < Limit; ++k) {
            if (Until())
                return true;
            Controller.Advance(std::chrono::milliseconds(TCommLink::TickMs));
            for (TTestComm* w : {Client, ServerToo ? Server : nullptr}) {
                if (w)
                    w->Tick();
            }
            QCoreApplication::processEvents();
        }
        return Until();
    }
    int Messages(const std::string& part) const {
        return static_cast<int>(std::count_if(Errors.begin(), Errors.end(), [&](const std::string& e) {
            return e.find(part) != std::string::npos;
        }));
    }

    // One stable path for the controller, as /dev/serial/by-id gives an adapter.
    std::string ById = Dir.File("usb-Dravane-if00");
    std::uint16_t Port = FreePort();
    // Made before the windows, so that either may go and come back. Names
    // never resolve (the tests use addresses, and one a name that must fail).
    const net::TWsApi LookupFails = FailingLookupApi();
    net::TDeviceSocketInstance Sockets{{"", &LookupFails}};
    TTestComm* Server = nullptr;
    TTestComm* Client = nullptr;
    std::string ClientIn;
    std::size_t ClientScan = 0;
    std::size_t ClientBase = 0;
    std::size_t SentBase = 0;
};

} // namespace

// Deaf to two commands in three, slower than the retry, or spewing noise:
// every command still ends answered.
TEST_F(Faults, AControllerThatIsDeafSlowOrNoisyIsStillCommanded) {
    struct TCase {
        const char* Name;
        sim::TSimOptions Options;
        int Commands;
        int Sends; // transmissions of each command
        int Turns; // steps each command turns
    };
    const TCase cases[] = {
        {"answers every third command", {.AnswerEvery = 3}, 3, 3, 1},
        // Known and kept: a relative command sent again turns twice.
        {"slower than the retry", {.Delay = 1500ms}, 1, 2, 2},
        // Noise before a reply no longer hides it.
        {"spews noise", {.Delay = 300ms, .Noise = true}, 8, 1, 1},
    };
    ASSERT_TRUE(Start());
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.Name);
        Controller.SetOptions(c.Options);
        for (int k = 0; k < c.Commands; ++k) {
            const int before = Controller.Direction();
            EXPECT_TRUE(Command());
            EXPECT_EQ(Client->Attempts, c.Sends);
            EXPECT_EQ(Controller.Direction(), (before + c.Turns) % 8);
        }
    }
    EXPECT_TRUE(Errors.empty());
}

TEST_F(Faults, TheSerialCablePulledMidCommandAndPluggedBack) {
    ASSERT_TRUE(Start());
    int ended = 0;
    QObject::connect(Server, &TCommLink::FaultEnded,
                     [&](comm::TLinkKind link) { ended += link == comm::lkLocal; });
    // The command reaches the controller, half a reply comes back, then the
    // cable goes; the Server closes the port on the device threads' notice.
    bool pulled = false;
    EXPECT_FALSE(CommandStruck([&] { Controller.Send("[T4BR01"); },
                               [&] {
                                   if (!pulled && !Server->LocalData.Pending().empty()) {
                                       Controller.Unplug();
                                       std::filesystem::remove(ById);
                                       pulled = true;
                                   }
                                   return pulled && !Server->Port->Open();
                               }));
    EXPECT_EQ(Client->Attempts, 6);
    EXPECT_FALSE(Server->Port->Open());
    EXPECT_EQ(Server->GetLinkStatus(), comm::lsDisconnected);
    EXPECT_EQ(Told(mcCommLinkFail, Server), 1);

    // A Client that stops its link tests is dropped after the supervision time and shows red.
    Server->Tick(TCommLink::RemoteTimeout + 1);
    EXPECT_TRUE(PumpUntil([&] { return Client->GetRemoteStatus() == comm::lsDisconnected; }));
    EXPECT_EQ(Told(mcCommLinkFail, Client), 1);

    // Plugged back: the Server opens it again by itself, the Client reconnects.
    Controller.Replug();
    Controller.SetOptions({});
    std::filesystem::create_symlink(Controller.SlavePath(), ById);
    ASSERT_TRUE(PumpUntil([&] {
        Server->Tick();
        return Server->Port->Open();
    }));
    EXPECT_EQ(Server->LocalData.Pending(), ""); // the half reply went with the old device
    ASSERT_TRUE(Settle());
    EXPECT_GE(Told(mcCommLinkOk, Server), 1);
    EXPECT_TRUE(Command());
    EXPECT_EQ(Client->Attempts, 1);
    // Said once, naming the port and its device; over (its box closes) once reopened.
    ASSERT_EQ(Errors.size(), 1u) << testing::PrintToString(Errors);
    EXPECT_TRUE(Errors.front().starts_with(TCommLink::PortWhere(3) + " lost: Device read error"))
        << Errors.front();
    EXPECT_EQ(ended, 1);
}

TEST_F(Faults, TheServerRestartedWhileTheClientWaits) {
    ASSERT_TRUE(Start());
    EXPECT_FALSE(CommandStruck(
        [&] {
            Windows.front().reset(); // the Server's window goes
            Server = nullptr;
        },
        [&] {
            if (Client->GetRemoteStatus() != comm::lsDisconnected)
                return false;
            OpenServer(); // and a new one comes on the same port
            return true;
        }));
    EXPECT_EQ(Told(mcCommLinkFail, Client), 1);

    Controller.SetOptions({});
    ASSERT_TRUE(Settle());
    EXPECT_TRUE(Command());
    EXPECT_EQ(Client->Attempts, 1);
    EXPECT_TRUE(Errors.empty());
}

// The Server's side resets the connection half-way through a reply; the
// half line must not spoil the first reply of the next connection.
TEST_F(Faults, TheConnectionResetMidReply) {
    TRawListener listener;
    OpenClient(PortOf(listener.Fd));
    TRawPeer peer;
    ASSERT_TRUE(listener.Accept(peer));
    ASSERT_TRUE(PumpUntil([&] { return Client->GetRemoteStatus() == comm::lsReady; }));
    MainForm.Told.clear();
    const std::string half = Reply.substr(0, 9);
    std::string in;
    int stage = 0;
    EXPECT_FALSE(Command([&] {
        in += TakeIn(peer);
        if (stage == 0 && in.find(Right + "\r\n") != std::string::npos) {
            peer.Send(half);
            stage = 1;
        }
        if (stage == 1 && Client->RemoteData.Pending() == half) {
            peer.Reset();
            stage = 2;
        }
        return stage == 2 && Client->GetRemoteStatus() == comm::lsDisconnected;
    }));
    EXPECT_EQ(Told(mcCommLinkFail, Client), 1);

    // The Client comes back by itself; the peer answers each command in full.
    {
        TTickDriver ticks(*Client, [&] { return !Client->RemotePort->Open(); });
        ASSERT_TRUE(listener.Accept(peer));
    }
    ASSERT_TRUE(PumpUntil([&] { return Client->GetRemoteStatus() == comm::lsReady; }));
    EXPECT_EQ(Told(mcCommLinkOk, Client), 1);
    in.clear();
    int answered = 0;
    const std::size_t base = ClientIn.size();
    EXPECT_TRUE(Command([&] {
        in += TakeIn(peer);
        int seen = 0;
        for (auto p = in.find(Right); p != std::string::npos; p = in.find(Right, p + 1))
            ++seen;
        for (; answered < seen; ++answered)
            peer.Send(Reply);
        return seen == Client->Attempts && ClientIn.size() - base == answered * Reply.size();
    }));
    EXPECT_EQ(answered, 1);
}

// A peer that floods without CR, and one that sends telnet garbage and
// negotiation storms, cannot cut the antenna off.
TEST_F(Faults, HostilePeersDoNotCutTheAntennaOff) {
    std::string storm;
    for (int round = 0; round < 4; ++round)
        for (int option = 0; option < 256; ++option)
            for (const std::uint8_t verb :
                 {net::TELNET_DO, net::TELNET_WILL, net::TELNET_DONT, net::TELNET_WONT})
                storm += {'\xFF', static_cast<char>(verb), static_cast<char>(option)};
    std::mt19937 random(17);
    for (int k = 0; k < 60000; ++k)
        storm += static_cast<char>(random());
    storm += "\xFF\xF0\xFF\xF0"; // ends any subnegotiation the garbage began
    struct TCase {
        const char* Name;
        std::string Chunk; // sent again and again
        std::size_t Total;
        bool Relayed; // whether lines of it reach the controller
    };
    const TCase cases[] = {
        {"floods 100 MB without CR", std::string(65536, 'x'), 100u << 20, false},
        {"telnet garbage and negotiation storms", storm, 40 * storm.size(), true},
    };
    OpenServer();
    Server->Tick();
    ASSERT_TRUE(PumpUntil([&] { return Server->GetLinkStatus() == comm::lsReady; }));
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.Name);
        TRawPeer peer;
        ASSERT_TRUE(peer.Connect(Port));
        const std::size_t relayed = Controller.Raw.size();
        const std::size_t resident = Resident();
        std::size_t sent = 0, back = 0, longest = 0;
        ASSERT_TRUE(PumpUntil(
            [&] {
                longest = std::max(longest, Server->RemoteData.Pending().size());
                back += TakeIn(peer).size();
                for (ssize_t n = 1; n > 0 && sent < c.Total;) {
                    const std::size_t at = sent % c.Chunk.size();
                    n = ::send(peer.Fd, c.Chunk.data() + at, std::min(c.Chunk.size() - at, c.Total - sent),
                               MSG_DONTWAIT | MSG_NOSIGNAL);
                    sent += n > 0 ? static_cast<std::size_t>(n) : 0;
                }
                return sent == c.Total;
            },
            300s));
        // The peer is still read and heard to the end, behind the megabytes
        // of the flood still in the sockets' buffers (seconds of work under
        // the sanitizers).
        peer.Send("\r[REMOTE]\rhalf a line");
        ASSERT_TRUE(PumpUntil(
            [&] {
                return Server->GetRemoteStatus() == comm::lsReady && Controller.Raw.ends_with("[REMOTE]\r") &&
                       Server->RemoteData.Pending() == "half a line";
            },
            120s));
        EXPECT_LE(longest, TLineAssembler::MaxLine);
        EXPECT_LE(back, c.Total); // answered with no more than it was sent
        if (!Sanitized) {
            EXPECT_LT(Resident(), resident + (16u << 20));
        }
        if (!c.Relayed) {
            EXPECT_EQ(Controller.Raw.substr(relayed), "[REMOTE]\r");
        }
        EXPECT_TRUE(Server->Port->Open());

        // Gone: a real Client commands the controller through the Server,
        // its first line not glued to the half line left behind.
        peer.Close();
        ASSERT_TRUE(PumpUntil([&] { return Server->GetRemoteStatus() == comm::lsDisconnected; }));
        const int greetings = Controller.Count("Link test");
        const int remotes = Controller.Count("[REMOTE]");
        OpenClient(Port);
        ASSERT_TRUE(Settle());
        // The Server relays the Client's "Link test" before its "[REMOTE]";
        // the controller reads them on its own time.
        ASSERT_TRUE(PumpUntil([&] { return Controller.Count("[REMOTE]") > remotes; }));
        EXPECT_EQ(Controller.Count("Link test"), greetings + 1);
        EXPECT_TRUE(Command());
        Windows.pop_back();
        Client = nullptr;
        ASSERT_TRUE(PumpUntil([&] { return Server->GetRemoteStatus() == comm::lsDisconnected; }));
    }
    EXPECT_EQ(Server->GetLinkStatus(), comm::lsReady);
}

// Copies of a command held on the way (a stalled path, a stopped Server)
// arrive together and are carried out once; a copy the controller missed
// is still sent again (the deaf controller above).
TEST_F(Faults, OneClickTurnsOneStepWhateverThePathDoes) {
    const std::uint16_t proxyPort = FreePort();
    TLoopbackProxy proxy(proxyPort, Port);
    OpenServer();
    OpenClient(proxyPort);
    ASSERT_TRUE(Settle());
    // Released between two retries: a retry that crosses the controller's
    // answer on the way (within one round trip) is a known limit.
    for (const int hold : {55, 115}) { // about 3 s and 6 s
        SCOPED_TRACE(hold);
        // A fresh "[REMOTE]" first, so that the Server keeps its peer through the hold.
        const int remotes = Controller.Count("[REMOTE]");
        ASSERT_TRUE(TickUntil([&] { return Controller.Count("[REMOTE]") > remotes; }));
        const int before = Controller.Direction();
        const int sent = Controller.Count(Right);
        const std::uint64_t heldBack = Server->CopiesHeldBack();
        int ticks = 0;
        Command(
            [&] {
                if (ticks < hold) {
                    if (++ticks == hold)
                        proxy.Release();
                    return true;
                }
                // Released: time moves on once the copies reached the controller.
                return Controller.Count(Right) > sent &&
                       ClientIn.size() - ClientBase == Controller.Sent - SentBase;
            },
            [&] { proxy.Hold(); });
        // Every copy the Client sent is either carried out or held back.
        ASSERT_TRUE(PumpUntil([&] {
            return static_cast<int>(Server->CopiesHeldBack() - heldBack) + Controller.Count(Right) - sent ==
                   Client->Attempts;
        }));
        EXPECT_GT(Client->Attempts, 1);
        EXPECT_EQ(Controller.Count(Right) - sent, 1);
        EXPECT_EQ(Controller.Direction(), (before + 1) % 8);
    }
}

// Refused, a name that does not resolve, a Server that went silent: the
// failed state at once (or within the supervision time), one message per
// episode naming the address and the cause, and the ready state when the
// Server is there again.
TEST_F(Faults, AClientThatCannotReachItsServerSaysSoAndRecovers) {
    OpenClient(Port); // nothing listens there yet
    ASSERT_TRUE(TickUntil([&] { return Told(mcCommLinkFail, Client) > 0 && Messages("refused") == 1; }));
    EXPECT_EQ(Client->GetRemoteStatus(), comm::lsDisconnected);
    EXPECT_EQ(Messages("Cannot reach the Server at 127.0.0.1 port " + std::to_string(Port)), 1)
        << testing::PrintToString(Errors);
    TickUntil([] { return false; }, 3 * (TCommLink::RemoteTimeout + 1));
    EXPECT_EQ(Errors.size(), 1u) << "one message per episode";

    OpenServer();
    ASSERT_TRUE(TickUntil([&] { return Client->GetRemoteStatus() == comm::lsReady; }));
    EXPECT_GT(Told(mcCommLinkOk, Client), 0);

    TTestComm& named =
        Open(Settings("Mode=1\nipAddress=dravane.invalid\nipPort=" + std::to_string(Port) + "\n"));
    ASSERT_TRUE(PumpUntil([&] { return Messages("Cannot reach the Server at dravane.invalid") == 1; }));
    EXPECT_EQ(named.GetRemoteStatus(), comm::lsDisconnected);

    // A Server that beat and went silent (stopped, frozen, cut off). It
    // serves one peer: the first Client leaves it.
    Client->ChooseMode(0);
    const std::uint16_t proxyPort = FreePort();
    TLoopbackProxy proxy(proxyPort, Port);
    Errors.clear();
    TTestComm& far =
        Open(Settings("Mode=1\nipAddress=127.0.0.1\nipPort=" + std::to_string(proxyPort) + "\n"));
    Client = &far;
    ASSERT_TRUE(TickUntil([&] { return far.GetRemoteStatus() == comm::lsReady && Messages("") == 0; }));
    TickUntil([] { return false; }, 2 * TCommLink::ServerBeat); // beats heard
    proxy.Hold();
    TTestComm* stopped = Server;
    Server = nullptr; // a stopped Server's clock stands still too
    ASSERT_TRUE(TickUntil([&] { return far.GetRemoteStatus() == comm::lsDisconnected; },
                          TCommLink::ServerSilence + TCommLink::LinkTestInterval));
    EXPECT_EQ(Messages("stopped answering"), 1) << testing::PrintToString(Errors);
    Server = stopped;
}

// A port number that is none, and a port another program holds: one
// message each, naming the key or the port and the cause; the taken port
// is listened on once it is free.
TEST_F(Faults, AServerThatCannotListenSaysSoAndListensOnceItCan) {
    Open(Settings("Mode=2\nipPort=65536\n"));
    EXPECT_EQ(Messages("ipPort=65536 in [Comm]"), 1) << testing::PrintToString(Errors);

    TRawPeer probe;
    const int blocker = ::socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const sockaddr_in6 any{AF_INET6, htons(Port), 0, in6addr_any, 0};
    ASSERT_EQ(::bind(blocker, reinterpret_cast<const sockaddr*>(&any), sizeof any), 0);
    ASSERT_EQ(::listen(blocker, 1), 0);
    Errors.clear();
    OpenServer();
    EXPECT_EQ(Messages("Cannot listen on every address port " + std::to_string(Port)), 1);
    EXPECT_EQ(Messages("in use"), 1);
    TickUntil([] { return false; }, 2 * (TCommLink::RemoteTimeout + 1));
    EXPECT_EQ(Errors.size(), 1u) << testing::PrintToString(Errors);

    ::close(blocker);
    ASSERT_TRUE(TickUntil([&] { return probe.Connect(Port); }, 2 * (TCommLink::RemoteTimeout + 1)));
    EXPECT_EQ(Errors.size(), 1u);
}

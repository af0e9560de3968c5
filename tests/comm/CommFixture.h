#pragma once
// The link core under test: a settings file of its own, a main window that
// records the action codes, a recorder for the link's messages, and the
// link's own timer stopped so that the test drives the ticks.

#include "comm/CommLink.h"
#include "comm/Defines.h"
#include "net/WinsockPort.h"
#include "platform/AppException.h"
#include "platform/SettingsPath.h"
#include "serial/ComPort.h"
#include "support/EventLoop.h"
#include "support/FakeController.h"
#include "support/TempDir.h"

#include <QTimer>
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <unistd.h>

namespace dravane::test {

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
inline constexpr bool Sanitized = true; // freed memory is held back: the resident set tells nothing
#else
inline constexpr bool Sanitized = false;
#endif

inline const std::string Right = "[R98T4AH02]"; // turns the antenna one step

// The process's resident set, in bytes.
inline std::size_t Resident() {
    std::ifstream statm("/proc/self/statm");
    std::size_t pages = 0, resident = 0;
    statm >> pages >> resident;
    return resident * static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));
}

using comm::TCommLink;

class TTestComm : public TCommLink {
public:
    using TCommLink::ActionToDo;
    using TCommLink::Attempts;
    using TCommLink::LinkTries;
    using TCommLink::LocalData;
    using TCommLink::Port;
    using TCommLink::RemoteData;
    using TCommLink::RemoteDataSocket;
    using TCommLink::RemotePort;
    using TCommLink::RemotePortTriggerAvail;
    using TCommLink::Response;
    using TCommLink::TCommLink;

    void Tick(int n = 1) {
        for (int k = 0; k < n; ++k)
            Timer1Timer();
    }
    // What the window does for a click on a role.
    void ChooseMode(int Index) {
        SetModeIndex(Index);
        SetOperatingMode();
        SetupPort();
    }
    // What the window does for OK.
    void Confirm() {
        SaveConfiguration();
        SetOperatingMode();
        SetupPort();
    }
};

// The main window as DoAction sees it; with two windows in one process,
// Told keeps which window's action object carried each code.
struct TRecordingMainForm : platform::TActionTarget {
    std::vector<std::int32_t> Codes;
    std::vector<std::pair<const platform::TAction*, std::int32_t>> Told;
    bool ExecuteAction(platform::TAction& action) override {
        Codes.push_back(action.Tag);
        Told.emplace_back(&action, action.Tag);
        return false;
    }
    int Count(std::int32_t code) const {
        return static_cast<int>(std::count(Codes.begin(), Codes.end(), code));
    }
    int Count(std::int32_t code, const platform::TAction& from) const {
        return static_cast<int>(std::count(Told.begin(), Told.end(), std::make_pair(&from, code)));
    }
};

// Calls the window's tick handler from the event loop (so inside a command's
// wait), but only while Gate allows: a gate makes the ticks wait for the
// controller instead of racing it.
// The link's log lines while it lives.
class TLinkLog {
public:
    TLinkLog() {
        Current = this;
        FPrevious = qInstallMessageHandler(&TLinkLog::handle);
    }
    ~TLinkLog() {
        qInstallMessageHandler(FPrevious);
        Current = nullptr;
    }
    std::vector<std::string> Lines;
    // Text, where "*" stands for any run of characters (a peer's port).
    bool Has(const std::string& text) const {
        return std::any_of(Lines.begin(), Lines.end(), [&](const std::string& l) {
            std::size_t at = 0;
            std::size_t from = 0;
            for (std::size_t star = text.find('*');; star = text.find('*', from)) {
                const std::string part = text.substr(from, star == std::string::npos ? star : star - from);
                at = l.find(part, at);
                if (at == std::string::npos)
                    return false;
                at += part.size();
                if (star == std::string::npos)
                    return true;
                from = star + 1;
            }
        });
    }

private:
    static void handle(QtMsgType, const QMessageLogContext& context, const QString& message) {
        if (Current && context.category &&
            (std::string_view(context.category) == "dravane.link" ||
             std::string_view(context.category) == "dravane.record"))
            Current->Lines.push_back(message.toStdString());
    }
    static inline TLinkLog* Current = nullptr;
    QtMessageHandler FPrevious = nullptr;
};

class TTickDriver {
public:
    TTickDriver(TCommLink& Comm, std::function<bool()> Gate = {}) : FComm(Comm), FGate(std::move(Gate)) {
        FTimer.setInterval(1);
        QObject::connect(&FTimer, &QTimer::timeout, [this] {
            if (FGate && !FGate())
                return;
            ++Ticks;
            FComm.Timer1Timer();
            if (OnTick)
                OnTick(Ticks);
        });
        FTimer.start();
    }
    int Ticks = 0;
    std::function<void(int)> OnTick;

private:
    TCommLink& FComm;
    std::function<bool()> FGate;
    QTimer FTimer;
};

class CommFixture : public ::testing::Test {
protected:
    void SetUp() override {
        platform::SetApplicationMainForm(&MainForm);
        platform::SetSettingsFileName(Ini);
        platform::SetErrorSink([this](const std::string& text) { Errors.push_back(text); });
        comm::SystemReady = false;
    }
    void TearDown() override {
        comm::SystemReady = false;
        // The window that owns the device socket goes last.
        for (auto it = Windows.rbegin(); it != Windows.rend(); ++it)
            it->reset();
        // Messages posted by now belong to this test.
        QCoreApplication::sendPostedEvents();
        platform::SetApplicationMainForm(nullptr);
        platform::SetSettingsFileName("");
        platform::SetErrorSink({});
    }

    // A window over these settings (none: no file), its timer stopped.
    TTestComm& Open(const std::string& settings) {
        if (settings.empty())
            std::filesystem::remove(Ini);
        else
            WriteAll(Ini, settings);
        Windows.push_back(std::make_unique<TTestComm>());
        TTestComm& w = *Windows.back();
        QObject::connect(&w, &TCommLink::Message,
                         [this](const QString& text) { Errors.push_back(text.toStdString()); });
        w.Start();
        w.findChild<QTimer*>("Timer1")->stop();
        return w;
    }
    std::string NormalOn() const {
        return "[Ports]\nCOM3=" + Controller.SlavePath() + "\n[Comm]\nPort=3\nMode=0\n";
    }

    // Ends, after 10 s, a command's wait that nothing else would end.
    void BoundWaits() {
        FBound.setSingleShot(true);
        FBound.callOnTimeout([this] {
            TimedOut = true;
            comm::SystemReady = false;
        });
        FBound.start(10000);
    }
    bool TimedOut = false;
    QTimer FBound;

    TempDir Dir;
    // Outlives the windows: pulling the cable under an open port is a test of its own.
    TFakeController Controller;
    std::string Ini = Dir.File("dravane.ini");
    TRecordingMainForm MainForm;
    std::vector<std::string> Errors;
    std::vector<std::unique_ptr<TTestComm>> Windows;
};

} // namespace dravane::test

// The Communications window over its link: what it shows at start, OK,
// Cancel and the role buttons, and the port list.

#include "app/CommControl.h"
#include "comm/CommFixture.h"
#include "rotator/LinkDrive.h"
#include "widgets/ColorPanel.h"

#include <QLabel>

#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QRadioButton>
#include <QRegularExpression>
#include <QTest>
#include <QTreeWidget>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

using namespace dravane;
using namespace dravane::test;
using namespace dravane::comm;

namespace {

// The window under test: its link's timer stopped, so that the test drives the ticks.
class TWindow {
public:
    TWindow() { W.Link().findChild<QTimer*>("Timer1")->stop(); }
    app::TCommControl W;
    TCommLink& Link() { return W.Link(); }
    void Tick(int n = 1) {
        for (int k = 0; k < n; ++k)
            Link().Timer1Timer();
    }
    widgets::TColorPanel* Led(const char* name) const { return W.findChild<widgets::TColorPanel*>(name); }
    QString LinkCaption() const { return Led("LinkLed")->Caption(); }
    QString RemoteCaption() const { return Led("RemoteLed")->Caption(); }
    QString ComLabel() const { return W.findChild<QLabel*>("ComLabel")->text(); }
    QLineEdit* Edit(const char* name) const { return W.findChild<QLineEdit*>(name); }
    QTreeWidget* List() const { return W.findChild<QTreeWidget*>("ComListBox"); }
    void Click(const char* name) const { W.findChild<QAbstractButton*>(name)->click(); }
};

class CommWindow : public CommFixture {
protected:
    void TearDown() override {
        Shown.clear();
        CommFixture::TearDown();
    }
    TWindow& Show(const std::string& settings) {
        if (settings.empty())
            std::filesystem::remove(Ini);
        else
            WriteAll(Ini, settings);
        Shown.push_back(std::make_unique<TWindow>());
        return *Shown.back();
    }
    std::vector<std::unique_ptr<TWindow>> Shown;
};

} // namespace

TEST_F(CommWindow, ExecuteActionShowsOnlyForShowCommunications) {
    TWindow& w = Show("");
    platform::TAction action;
    action.Tag = mcDravaneStatus;
    EXPECT_FALSE(w.W.ExecuteAction(action));
    EXPECT_FALSE(w.W.isVisible());
    action.Tag = mcShowCommunications;
    EXPECT_FALSE(w.W.ExecuteAction(action));
    EXPECT_TRUE(w.W.isVisible());
    EXPECT_EQ(w.W.windowTitle(), "Communications");
}

TEST_F(CommWindow, StartWithoutFileOrWithAPortThatCannotBeOpened) {
    TWindow& w = Show("");
    EXPECT_EQ(w.Link().GetOpMode(), omNormal);
    EXPECT_FALSE(w.Link().GetPort().Open());
    EXPECT_FALSE(w.Link().GetRemotePort().Open());
    EXPECT_EQ(w.ComLabel(), "Disabled");
    EXPECT_EQ(w.Edit("EditIP")->text(), "");
    EXPECT_EQ(w.Edit("EditPort")->text(), "54902");
    EXPECT_FALSE(w.Edit("EditIP")->isEnabled());
    EXPECT_EQ(w.LinkCaption(), "Disconnected");
    EXPECT_EQ(w.RemoteCaption(), "Disconnected");
    EXPECT_EQ(w.Led("RemoteLed")->Color(), 0x0000FFu);
    EXPECT_EQ(w.Link().GetPort().AutoOpen(), false);
    EXPECT_EQ(w.Link().GetRemotePort().DeviceLayer(), serial::dlWinsock);
    EXPECT_EQ(MainForm.Count(mcUpdateRadioNumbers), 1);

    // A port missing from the system, and one whose number would wrap to
    // COM3 through 16 bits: neither opens, and the message waits for the
    // event loop instead of holding up the window's creation.
    for (const char* number : {"9", "65539"}) {
        Errors.clear();
        TWindow& bad = Show("[Ports]\nCOM3=" + Controller.SlavePath() + "\nCOM9=" + Dir.File("absent") +
                            "\n[Comm]\nPort=" + number + "\n");
        EXPECT_TRUE(Errors.empty());
        EXPECT_FALSE(bad.Link().GetPort().Open()) << number;
        EXPECT_EQ(bad.ComLabel(), "Disabled");
        EXPECT_TRUE(PumpUntil([&] { return !Errors.empty(); }));
        ASSERT_EQ(Errors.size(), 1u);
        EXPECT_TRUE(Errors.front().starts_with("Error opening COM port COM" + std::string(number) + " "))
            << Errors.front();
        // The event list has it, with its time and level, as the log does.
        const auto* events = bad.W.findChild<QListWidget*>("EventList");
        ASSERT_TRUE(events && events->count() > 0);
        EXPECT_TRUE(PumpUntil([&] {
            return events->item(events->count() - 1)
                ->text()
                .contains(QRegularExpression(
                    "^\\d\\d:\\d\\d:\\d\\d warning: " +
                    QRegularExpression::escape(QString::fromStdString(Errors.front())) + "$"));
        })) << events->item(events->count() - 1)->text().toStdString();
    }
}

TEST_F(CommWindow, OkCancelAndTheModeApplyWhatTheOperatorChose) {
    TWindow& w = Show(NormalOn());
    comm::SystemReady = true;
    EXPECT_TRUE(w.Link().GetPort().Open());
    EXPECT_EQ(w.ComLabel(), "Using COM3");
    w.Tick();
    ASSERT_TRUE(PumpUntil([&] { return w.LinkCaption() == "Ready"; }));

    // Cancel with the number unchanged leaves the port open and working.
    w.Click("CancelBtn");
    EXPECT_EQ(w.LinkCaption(), "Ready");
    const int links = Controller.Count("[LINK]");
    w.Tick(TCommLink::LinkTestInterval + 1);
    EXPECT_TRUE(PumpUntil([&] { return Controller.Count("[LINK]") > links; }));
    EXPECT_TRUE(w.Link().GetPort().Open());

    // Letters in the port field become the default port when the Client
    // role is applied; the address and port fields are for the Client only.
    w.Edit("EditPort")->setText("abc");
    w.Click("ComModeClient");
    EXPECT_EQ(w.Link().GetOpMode(), omClient);
    EXPECT_EQ(w.Edit("EditPort")->text(), "54902");
    EXPECT_TRUE(w.Edit("EditIP")->isEnabled());
    EXPECT_TRUE(w.Link().GetPort().Open()); // same number: left open

    // OK saves; the Port key takes the port's own number.
    w.Edit("EditIP")->setText("127.0.0.1");
    w.Click("OkBtn");
    const std::string saved = ReadAll(Ini);
    EXPECT_NE(saved.find("Port=3\n"), std::string::npos) << saved;
    EXPECT_NE(saved.find("Mode=1\n"), std::string::npos);
    EXPECT_NE(saved.find("ipAddress=127.0.0.1\n"), std::string::npos);
    EXPECT_NE(saved.find("ipPort=54902\n"), std::string::npos);
    // Nothing set: no new keys, the file as today's programs write it.
    EXPECT_EQ(saved.find("Key="), std::string::npos) << saved;
    EXPECT_EQ(saved.find("ListenAddress="), std::string::npos);
    EXPECT_EQ(saved.find("AllowFrom="), std::string::npos);
    EXPECT_TRUE(Errors.empty());
}

TEST_F(CommWindow, TheKeyIsMaskedForBothRolesAndSavedOnOk) {
    TWindow& w = Show(NormalOn());
    QLineEdit* key = w.Edit("EditKey");
    ASSERT_NE(key, nullptr);
    EXPECT_EQ(key->echoMode(), QLineEdit::Password);
    EXPECT_FALSE(key->isEnabled()); // the Normal role has no peer
    w.Click("ComModeServer");
    EXPECT_TRUE(key->isEnabled());
    key->setText("s3cret");
    w.Click("OkBtn");
    EXPECT_EQ(w.Link().Key(), "s3cret");
    EXPECT_NE(ReadAll(Ini).find("Key=s3cret\n"), std::string::npos);
    w.Click("ComModeClient");
    EXPECT_TRUE(key->isEnabled());
    EXPECT_EQ(key->text(), "s3cret");
    // Emptied: written empty, so that the old key does not stay in force.
    key->setText("");
    w.Click("OkBtn");
    EXPECT_NE(ReadAll(Ini).find("Key=\n"), std::string::npos);
}

TEST_F(CommWindow, ItBehavesAsADialogAndAStrayEnterLeavesThePortAlone) {
    TWindow& w = Show(NormalOn());
    comm::SystemReady = true;
    ASSERT_TRUE(w.Link().GetPort().Open());
    QTreeWidget* list = w.List();
    for (const char* entry : {"Disable", "COM3"})
        new QTreeWidgetItem(list, QStringList{entry});
    const auto open = [&] {
        w.W.show();
        w.W.activateWindow();
        return QTest::qWaitForWindowActive(&w.W);
    };
    const auto key = [&](Qt::Key k) { QTest::keyClick(w.W.focusWidget() ? w.W.focusWidget() : &w.W, k); };

    // It opens with the focus off the list, whose current entry is the open port.
    ASSERT_TRUE(open());
    EXPECT_NE(w.W.focusWidget(), list);
    ASSERT_TRUE(list->currentItem());
    EXPECT_EQ(list->currentItem()->text(0), "COM3");

    // Escape cancels: the edit is dropped, the port stays open.
    w.Edit("EditPort")->setText("1234");
    key(Qt::Key_Escape);
    EXPECT_FALSE(w.W.isVisible());
    EXPECT_EQ(w.Edit("EditPort")->text(), "54902");
    EXPECT_TRUE(w.Link().GetPort().Open());

    // Enter is OK: the settings are written, the port stays open on its number.
    ASSERT_TRUE(open());
    key(Qt::Key_Return);
    EXPECT_FALSE(w.W.isVisible());
    EXPECT_NE(ReadAll(Ini).find("ipPort=54902\n"), std::string::npos) << ReadAll(Ini);
    EXPECT_TRUE(w.Link().GetPort().Open());
    EXPECT_EQ(w.Link().GetPort().ComNumber(), 3);
    EXPECT_TRUE(Errors.empty());
}

TEST_F(CommWindow, ThePortListOpensOnAClickOrEnterOnly) {
    TWindow& w = Show("[Ports]\nCOM3=" + Controller.SlavePath() + "\nCOM4=" + Dir.File("absent") + "\n");
    comm::SystemReady = true;
    QTreeWidget* list = w.List();
    for (const char* entry : {"Disable", "COM3", "COM4"})
        new QTreeWidgetItem(list, QStringList{entry});

    // Moving through the list opens nothing (opening raises DTR).
    list->setFocus();
    list->setCurrentItem(list->topLevelItem(0));
    QTest::keyClick(list, Qt::Key_Down);
    EXPECT_EQ(list->currentItem()->text(0), "COM3");
    EXPECT_FALSE(w.Link().GetPort().Open());

    // Enter opens; the link test goes out on the next tick.
    QTest::keyClick(list, Qt::Key_Return);
    ASSERT_TRUE(w.Link().GetPort().Open());
    EXPECT_EQ(w.ComLabel(), "Using COM3");
    EXPECT_EQ(w.LinkCaption(), "Disconnected");
    w.Tick();
    EXPECT_TRUE(PumpUntil([&] { return w.LinkCaption() == "Ready"; }));

    // A port that cannot be opened.
    QTest::mouseClick(list->viewport(), Qt::LeftButton, {},
                      list->visualItemRect(list->topLevelItem(2)).center());
    EXPECT_FALSE(w.Link().GetPort().Open());
    EXPECT_EQ(w.ComLabel(), "Disabled");
    EXPECT_EQ(w.LinkCaption(), "Disconnected");
    EXPECT_TRUE(PumpUntil([&] { return !Errors.empty(); }));
    ASSERT_EQ(Errors.size(), 1u);
    EXPECT_TRUE(Errors.front().starts_with("Error opening COM4 (")) << Errors.front();

    // "Disable".
    QTest::mouseClick(list->viewport(), Qt::LeftButton, {},
                      list->visualItemRect(list->topLevelItem(0)).center());
    EXPECT_FALSE(w.Link().GetPort().Open());
    EXPECT_EQ(w.ComLabel(), "COM disabled");
    EXPECT_EQ(w.Link().GetPort().ComNumber(), 0);
}

TEST_F(CommWindow, ShowsTheRotatorListenerItsAddressAndItsPrograms) {
    TWindow& w = Show("");
    const auto label = [&] { return w.W.findChild<QLabel*>("RotatorLabel")->text(); };
    w.W.SetRotator(nullptr);
    EXPECT_EQ(label(), "Rotator: off");
    rotator::TRotatorSettings settings;
    settings.Port = 0;
    auto rotator = std::make_unique<rotator::TLinkRotator>(w.Link(), settings);
    ASSERT_TRUE(rotator->Start());
    w.W.SetRotator(&rotator->Listener());
    const QString where = QString("Rotator: 127.0.0.1:%1, ").arg(rotator->Listener().Port());
    EXPECT_EQ(label(), where + "no program");

    const int peer = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(rotator->Listener().Port());
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(::connect(peer, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    EXPECT_TRUE(PumpUntil([&] { return label() == where + "1 program"; }));
    ::close(peer);
    EXPECT_TRUE(PumpUntil([&] { return label() == where + "no program"; }));
    // A move that failed on the way reaches the operator.
    Errors.clear();
    emit rotator->Listener().MoveFailed(QStringLiteral("The array did not reach 180 degrees"));
    EXPECT_TRUE(
        PumpUntil([&] { return Errors == std::vector<std::string>{"The array did not reach 180 degrees"}; }));
    rotator.reset();
    EXPECT_TRUE(PumpUntil([&] { return label() == "Rotator: off"; }));
}

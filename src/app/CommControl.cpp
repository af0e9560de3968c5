#include "app/CommControl.h"

#include "app/AboutBox.h"
#include "comm/GetComPorts.h"
#include "platform/AppException.h"
#include "platform/LogRecord.h"
#include "rotator/RotatorListener.h"
#include "ui_CommControl.h"
#include "widgets/ColorPanel.h"

#include <QButtonGroup>
#include <QGuiApplication>
#include <QListWidget>
#include <QRadioButton>
#include <QScreen>
#include <QScrollBar>
#include <QTimer>
#include <QTreeWidget>

namespace dravane::app {
namespace {

using comm::TLinkStatus;

constexpr std::uint32_t Yellow = 0x00FFFF; // colours as 0x00BBGGRR
constexpr std::uint32_t Green = 0x00FF00;
constexpr std::uint32_t Cyan = 0xFFFF00;
constexpr std::uint32_t Red = 0x0000FF;
constexpr std::uint32_t Amber = 0x00A5FF;
constexpr int PortListRefreshMs = comm::TCommLink::TimerRate * comm::TCommLink::TickMs;

void paintLed(widgets::TColorPanel* led, TLinkStatus status) {
    led->setToolTip({});
    switch (status) {
    case comm::lsConnecting:
        led->SetColor(Yellow);
        led->SetCaption(QStringLiteral("Connecting"));
        break;
    case comm::lsReady:
        led->SetColor(Green);
        led->SetCaption(QStringLiteral("Ready"));
        break;
    case comm::lsUpdating:
        led->SetColor(Cyan);
        led->SetCaption(QStringLiteral("Updating"));
        break;
    case comm::lsDisconnected:
        led->SetColor(Red);
        led->SetCaption(QStringLiteral("Disconnected"));
        break;
    case comm::lsNoController:
        led->SetColor(Amber);
        led->SetCaption(QStringLiteral("No controller"));
        led->setToolTip(QStringLiteral("Server reached, controller not answering"));
        return;
    case comm::lsNone:
        break;
    }
}

template <class Fn> void guarded(Fn&& fn) {
    platform::Guarded(std::forward<Fn>(fn));
}

std::string faultKey(comm::TLinkKind link) {
    return link == comm::lkLocal ? "serial" : "tcp";
}

} // namespace

TCommControl::TCommControl(QWidget* parent)
    : QDialog(parent), ui(std::make_unique<Ui::CommControl>()), FLink(std::make_unique<comm::TCommLink>()),
      FModeGroup(new QButtonGroup(this)), FPortListTimer(new QTimer(this)) {
    ui->setupUi(this);
    setFixedSize(size());
    if (const QScreen* screen = QGuiApplication::primaryScreen())
        move(screen->availableGeometry().center() - rect().center());

    FModeGroup->addButton(ui->ComModeDisabled, 0);
    FModeGroup->addButton(ui->ComModeClient, 1);
    FModeGroup->addButton(ui->ComModeServer, 2);
    connect(FModeGroup, &QButtonGroup::idClicked, this, [this] { guarded([this] { ComModeClick(); }); });
    connect(ui->OkBtn, &QPushButton::clicked, this, [this] { guarded([this] { OkBtnClick(); }); });
    connect(ui->CancelBtn, &QPushButton::clicked, this, [this] { guarded([this] { CancelBtnClick(); }); });
    // Escape and the window's close button.
    connect(this, &QDialog::rejected, this, [this] { guarded([this] { CancelBtnClick(); }); });
    connect(ui->AboutBtn, &QPushButton::clicked, this, [this] { guarded([this] { ShowAboutBox(this); }); });
    // Room for each role's whole name in the style's font.
    for (QRadioButton* role : {ui->ComModeDisabled, ui->ComModeClient, ui->ComModeServer})
        role->resize(std::max(role->width(), role->sizeHint().width()), role->height());
    // A click or Enter opens a port; moving through the list with the arrow
    // keys does not (opening raises DTR, which can reset equipment).
    const auto portClicked = [this](QTreeWidgetItem* item) {
        guarded([this, item] { ComPortBtnClick(item); });
    };
    ui->ComListBox->setColumnWidth(0, 64); // "COM<n>"; the device takes the rest
    // Two adapters' by-id paths differ near the end; the tooltip has the whole path.
    ui->ComListBox->setTextElideMode(Qt::ElideMiddle);
    connect(ui->ComListBox, &QTreeWidget::itemClicked, this, portClicked);
    connect(ui->ComListBox, &QTreeWidget::itemActivated, this, portClicked);

    connect(FLink.get(), &comm::TCommLink::LinkStatusChanged, this, &TCommControl::SetLinkStatus);
    connect(FLink.get(), &comm::TCommLink::RemoteStatusChanged, this, &TCommControl::SetRemoteStatus);
    connect(FLink.get(), &comm::TCommLink::PortTextChanged, this, [this](const QString& text) {
        ui->ComLabel->setText(text);
        ShowOpenPort();
    });
    connect(FLink.get(), &comm::TCommLink::SettingsChanged, this, &TCommControl::ShowSettings);
    connect(FLink.get(), &comm::TCommLink::ControlChanged, this, [this] { ShowControl(); });
    connect(FLink.get(), &comm::TCommLink::RemoteStatusChanged, this, [this] { ShowControl(); });
    connect(ui->ControlBtn, &QPushButton::clicked, this, [this] {
        guarded([this] {
            if (FLink->ControlText() == QStringLiteral("Control: yours"))
                FLink->ReleaseControl();
            else
                FLink->TakeControl();
            ShowControl();
        });
    });
    // One box per link: a fault told again while its box is open only
    // replaces its text, and the box closes when the fault is over.
    connect(FLink.get(), &comm::TCommLink::Message, this,
            [](const QString& text, comm::TMessageSeverity, comm::TLinkKind link) {
                platform::ShowFault(faultKey(link), text.toStdString());
            });
    connect(FLink.get(), &comm::TCommLink::FaultEnded, this,
            [](comm::TLinkKind link) { platform::EndFault(faultKey(link)); });
    // The log's events, the serial layer's threads' included (queued here).
    platform::TLogRecord& record = platform::TLogRecord::Instance();
    for (const platform::TLogLine& line : record.Lines())
        AddEvent(platform::FormatLogLine(line));
    connect(&record, &platform::TLogRecord::LineAdded, this,
            [this](qint64 time, int type, const QString& category, const QString& text) {
                AddEvent(platform::FormatLogLine({time, category, static_cast<QtMsgType>(type), text}));
            });

    FPortListTimer->setInterval(PortListRefreshMs);
    connect(FPortListTimer, &QTimer::timeout, this, [this] { RefreshPortList(); });
    FormCreate();
    FPortListTimer->start();
}

// The link goes first: closing its ports tells this window, which is still whole.
TCommControl::~TCommControl() {
    FLink.reset();
}

void TCommControl::FormCreate() {
    FLink->Start();
    ShowSettings();
    ShowControl();
    RefreshPortList();
}

bool TCommControl::ExecuteAction(platform::TAction& action) {
    if (action.Tag == comm::mcShowCommunications) {
        show();
        raise();
        activateWindow();
    }
    return false;
}

void TCommControl::PushSettings() {
    FLink->SetModeIndex(FModeGroup->checkedId());
    FLink->SetIpAddress(ui->EditIP->text().toStdString());
    FLink->SetIpPort(ui->EditPort->text().toStdString());
    FLink->SetKey(ui->EditKey->text().toStdString());
}

void TCommControl::ShowSettings() {
    if (QAbstractButton* b = FModeGroup->button(FLink->ModeIndex())) {
        b->setChecked(true);
    } else {
        // No item for it: none selected, which reads as the Normal role.
        FModeGroup->setExclusive(false);
        for (QAbstractButton* button : FModeGroup->buttons())
            button->setChecked(false);
        FModeGroup->setExclusive(true);
    }
    ui->EditIP->setText(QString::fromStdString(FLink->IpAddress()));
    ui->EditPort->setText(QString::fromStdString(FLink->IpPort()));
    const bool client = comm::OperatingModeFromIndex(FLink->ModeIndex()) == comm::omClient;
    ui->EditIP->setEnabled(client);
    ui->EditPort->setEnabled(client);
    ui->EditKey->setText(QString::fromStdString(FLink->Key()));
    ui->EditKey->setEnabled(comm::OperatingModeFromIndex(FLink->ModeIndex()) != comm::omNormal);
}

void TCommControl::ComModeClick() {
    PushSettings();
    FLink->SetOperatingMode();
    FLink->SetupPort();
    ShowSettings();
    ShowControl();
}

void TCommControl::ShowControl() {
    const QString text = FLink->ControlText();
    ui->ControlLabel->setText(text.isEmpty() ? QStringLiteral("Control: not shared") : text);
    const bool mine = text == QStringLiteral("Control: yours");
    ui->ControlBtn->setText(mine ? QStringLiteral("&Release control") : QStringLiteral("&Take control"));
    ui->ControlBtn->setEnabled(!text.isEmpty() && !FLink->ControlledByOther());
}

void TCommControl::OkBtnClick() {
    PushSettings();
    try {
        FLink->SaveConfiguration();
    } catch (const std::exception& e) {
        platform::ShowException(e); // the choice is applied all the same
    }
    FLink->SetOperatingMode();
    FLink->SetupPort();
    ShowSettings();
    hide();
}

void TCommControl::CancelBtnClick() {
    FLink->LoadConfiguration();
    ShowSettings();
    hide();
}

void TCommControl::ComPortBtnClick(QTreeWidgetItem* item) {
    if (!item)
        return;
    FLink->UseComPort(comm::TGetComPorts::ExtractPortNumber(item->text(0)));
}

void TCommControl::showEvent(QShowEvent* event) {
    ShowOpenPort();
    ui->OkBtn->setFocus();
    QDialog::showEvent(event);
}

void TCommControl::ShowOpenPort() {
    const QString open = FLink->GetPort().Open() ? QStringLiteral("COM%1").arg(FLink->GetPort().ComNumber())
                                                 : QStringLiteral("Disable");
    const auto found = ui->ComListBox->findItems(open, Qt::MatchExactly, 0);
    if (!found.isEmpty())
        ui->ComListBox->setCurrentItem(found.first());
}

void TCommControl::AddEvent(const QString& Line) {
    QListWidget* list = ui->EventList;
    // Follows the newest line unless the operator scrolled back to read.
    const bool atEnd = list->verticalScrollBar()->value() == list->verticalScrollBar()->maximum();
    list->addItem(Line);
    while (list->count() > static_cast<int>(platform::TLogRecord::Capacity))
        delete list->takeItem(0);
    if (atEnd)
        list->scrollToBottom();
}

void TCommControl::SetLinkStatus(TLinkStatus Status) {
    paintLed(ui->LinkLed, Status);
}

void TCommControl::SetRemoteStatus(TLinkStatus Status) {
    paintLed(ui->RemoteLed, Status);
}

void TCommControl::SetRotator(rotator::TRotatorListener* listener) {
    if (FRotator)
        disconnect(FRotator, nullptr, this, nullptr);
    FRotator = listener;
    if (FRotator) {
        connect(FRotator, &rotator::TRotatorListener::ConnectionsChanged, this, &TCommControl::ShowRotator);
        // A move a logging program asked for that failed on the way: the
        // operator hears of it, as of any link fault.
        connect(FRotator, &rotator::TRotatorListener::MoveFailed, this,
                [](const QString& reason) { platform::ShowErrorMessage(reason.toStdString()); });
        connect(FRotator, &QObject::destroyed, this, &TCommControl::ShowRotator, Qt::QueuedConnection);
    }
    ShowRotator();
}

void TCommControl::ShowRotator() {
    QString text = tr("Rotator: off");
    QString detail;
    if (FRotator && FRotator->Listening()) {
        const int count = FRotator->ConnectionCount();
        const QString address = FRotator->Address();
        // An IPv6 address is bracketed before its port, as in a URL.
        text = tr("Rotator: %1:%2, %3")
                   .arg(address.contains(':') ? "[" + address + "]" : address)
                   .arg(FRotator->Port())
                   .arg(count == 0   ? tr("no program")
                        : count == 1 ? tr("1 program")
                                     : tr("%1 programs").arg(count));
    } else if (FRotator) {
        text = tr("Rotator: not listening");
        detail = FRotator->ErrorText();
    }
    ui->RotatorLabel->setText(text);
    ui->RotatorLabel->setToolTip(detail.isEmpty() ? text : detail);
}

void TCommControl::RefreshPortList() {
    // The discovery component lives shorter than this window.
    if (!comm::GetComPorts)
        return;
    PortList = comm::GetComPorts->GetPortList();
    if (PortList.size() == ui->ComListBox->topLevelItemCount())
        return;
    const auto& details = comm::GetComPorts->GetPortDetails();
    ui->ComListBox->clear();
    for (qsizetype k = 0; k < PortList.size(); ++k) {
        auto* item = new QTreeWidgetItem(ui->ComListBox);
        item->setText(0, PortList[k]);
        if (static_cast<std::size_t>(k) < details.size()) {
            item->setText(1, comm::PortDetailText(details[static_cast<std::size_t>(k)]));
            item->setToolTip(1, item->text(1));
        }
    }
    ShowOpenPort();
}

} // namespace dravane::app

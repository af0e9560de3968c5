#include "comm/GetComPorts.h"

#include <QTimer>
#include <charconv>
#include <exception>

namespace dravane::comm {

TGetComPorts* GetComPorts = nullptr;

namespace {
constexpr int RefreshMs = 1000;
}

TGetComPorts::TGetComPorts(QObject* parent) : TGetComPorts(nullptr, parent) {}

TGetComPorts::TGetComPorts(std::string settingsFile, std::string sysfsRoot, std::string byIdDir,
                           QObject* parent)
    : TGetComPorts(std::make_unique<platform::TComNumbers>(std::move(settingsFile), std::move(sysfsRoot),
                                                           std::move(byIdDir)),
                   parent) {}

TGetComPorts::TGetComPorts(std::unique_ptr<platform::TComNumbers> ownTable, QObject* parent)
    : QObject(parent), FOwnTable(std::move(ownTable)), Reg(FOwnTable ? *FOwnTable : platform::ComNumbers()),
      Timer1(new QTimer(this)) {
    Timer1->setObjectName(QStringLiteral("Timer1"));
    Timer1->setTimerType(Qt::PreciseTimer);
    Timer1->setInterval(RefreshMs);
    connect(Timer1, &QTimer::timeout, this, &TGetComPorts::Timer1Timer);
    GetAvailablePorts();
    Timer1->start();
    if (!GetComPorts)
        GetComPorts = this;
}

TGetComPorts::~TGetComPorts() {
    if (GetComPorts == this)
        GetComPorts = nullptr;
}

void TGetComPorts::Timer1Timer() {
    GetAvailablePorts();
}

// The list is rebuilt only when the number of ports changes, so a port
// swapped for another between two refreshes keeps its old entry until the
// count moves. Any failure leaves the list as it was.
void TGetComPorts::GetAvailablePorts() noexcept {
    try {
        PortList.clear();
        PortList = Reg.Enumerate();
        const auto count = static_cast<std::int32_t>(PortList.size());
        if (count == PortCount)
            return;
        PortCount = count;
        QStringList entries{QStringLiteral("Disable")};
        std::vector<platform::TComPortInfo> details{platform::TComPortInfo{}};
        for (const auto& port : PortList) {
            entries << QStringLiteral("COM%1").arg(port.Number);
            details.push_back(port);
        }
        FPortEntries = std::move(entries);
        FPortDetails = std::move(details);
    } catch (const std::exception&) {
        // Nothing to report: the next refresh tries again.
    }
}

std::int32_t TGetComPorts::ExtractPortNumber(const QString& S) {
    std::string digits;
    for (const QChar c : S) {
        // ASCII digits only: other scripts' digits are no part of a port name.
        if (c >= u'0' && c <= u'9')
            digits += static_cast<char>(c.unicode());
    }
    std::int32_t value = 0;
    const auto [p, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), value);
    if (digits.empty() || ec != std::errc() || p != digits.data() + digits.size())
        return 0;
    return value;
}

QString PortDetailText(const platform::TComPortInfo& info) {
    QString text = QString::fromStdString(info.DevicePath);
    const QString who = QString::fromStdString(info.Maker + ' ' + info.Model).trimmed();
    if (!who.isEmpty())
        text += QStringLiteral("  ") + who;
    return text;
}

} // namespace dravane::comm

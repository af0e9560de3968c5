#pragma once
// The list of serial ports the system offers, refreshed once a second for the
// Communications window. Created once at start-up; it has no face of its own.

#include "platform/ComNumbers.h"

#include <QObject>
#include <QStringList>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

class QTimer;

namespace dravane::comm {

class TGetComPorts : public QObject {
    Q_OBJECT
public:
    // The program's instance, over the program's own COM-number table.
    explicit TGetComPorts(QObject* parent = nullptr);
    // Over a table of its own (a test's settings file and fake trees).
    TGetComPorts(std::string settingsFile, std::string sysfsRoot, std::string byIdDir,
                 QObject* parent = nullptr);
    ~TGetComPorts() override;

    // "Disable" then "COM<n>" per port; empty until a port has been seen.
    // The live list: valid until the next refresh.
    const QStringList& GetPortList() const { return FPortEntries; }
    // Parallel to GetPortList: each entry's device path, maker and model
    // ("Disable" has an empty record).
    const std::vector<platform::TComPortInfo>& GetPortDetails() const { return FPortDetails; }

    // The decimal digits of an entry joined into a number ("COM12" 12,
    // "COM1 (2)" 12); 0 for none, or when they exceed the 32-bit range.
    static std::int32_t ExtractPortNumber(const QString& S);

public slots:
    void Timer1Timer();

private:
    // A null table means the program's own.
    TGetComPorts(std::unique_ptr<platform::TComNumbers> ownTable, QObject* parent);
    void GetAvailablePorts() noexcept;

    std::unique_ptr<platform::TComNumbers> FOwnTable;
    // The COM-number table stands where the system registry was read.
    platform::TComNumbers& Reg;
    // The ports found at the last refresh.
    std::vector<platform::TComPortInfo> PortList;
    // Number of ports at the last rebuild of the list.
    std::int32_t PortCount = 0;
    QStringList FPortEntries;
    std::vector<platform::TComPortInfo> FPortDetails;
    QTimer* Timer1;
};

// The second column of the Communications window's list: device path, then
// maker and model where known.
QString PortDetailText(const platform::TComPortInfo& info);

// The program's instance: the first one created, cleared when it is destroyed.
extern TGetComPorts* GetComPorts;

} // namespace dravane::comm

#include "serial/SelectPortDialog.h"

#include "ui_SelectPortDialog.h"

#include <QString>

namespace dravane::serial {

TComSelectForm::TComSelectForm(const TPortProbe& Probe, QWidget* parent)
    : QDialog(parent), ui(std::make_unique<Ui::ComSelectForm>()) {
    ui->setupUi(this);
    setFixedSize(sizeHint());
    for (int n = 1; n <= MaxProbedPort; ++n)
        if (Probe(n))
            ui->PortsComboBox->addItem(QStringLiteral("COM%1").arg(n));
    if (ui->PortsComboBox->count() > 0)
        ui->PortsComboBox->setCurrentIndex(0);
    connect(ui->OkBtn, &QPushButton::clicked, this, &QDialog::accept);
    connect(ui->AbortBtn, &QPushButton::clicked, this, &QDialog::reject);
}

TComSelectForm::~TComSelectForm() = default;

std::uint16_t TComSelectForm::SelectedNumber() const {
    bool ok = false;
    const uint n = ui->PortsComboBox->currentText().mid(3).toUInt(&ok);
    return ok && n <= 0xFFFF ? static_cast<std::uint16_t>(n) : 0;
}

std::uint16_t ExecuteSelectPort(const TPortProbe& Probe) {
    TComSelectForm form(Probe);
    return form.exec() == QDialog::Accepted ? form.SelectedNumber() : 0;
}

void InstallSelectPortDialog() {
    SetPortSelector(ExecuteSelectPort);
}

} // namespace dravane::serial

#include "widgets/IndPalette.h"

namespace dravane::widgets {

void TIndPalette::SetLow(std::uint32_t value) {
    if (ChangeField(FLow, value))
        Changed();
}

void TIndPalette::SetHigh(std::uint32_t value) {
    if (ChangeField(FHigh, value))
        Changed();
}

void TIndPalette::Assign(const TIndPalette& source) {
    BeginUpdate();
    SetLow(source.FLow);
    SetHigh(source.FHigh);
    EndUpdate();
}

} // namespace dravane::widgets

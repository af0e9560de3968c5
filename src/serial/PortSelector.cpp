#include "serial/PortSelector.h"

#include <utility>

namespace dravane::serial {

namespace {

// UI thread only (see the header).
TPortSelector& installedSelector() {
    static TPortSelector selector;
    return selector;
}

} // namespace

void SetPortSelector(TPortSelector Selector) {
    installedSelector() = std::move(Selector);
}

const TPortSelector& PortSelector() {
    return installedSelector();
}

} // namespace dravane::serial

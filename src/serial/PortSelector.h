#pragma once
// How a port opened without a COM number asks the operator for one. The
// serial layer draws nothing itself: a program with windows installs a
// selector (serial/SelectPortDialog.h offers the "Select Port" dialog), and
// without one TCustomComPort::SelectPort chooses nothing.
//
// Threading contract: SetPortSelector and every selection run on the UI
// thread only; the selector is read and written there and needs no lock.

#include <cstdint>
#include <functional>

namespace dravane::serial {

// True when COM<n> can be offered.
using TPortProbe = std::function<bool(int n)>;
// Asks for a port among those the probe accepts: its number, 0 when none was chosen.
using TPortSelector = std::function<std::uint16_t(const TPortProbe&)>;

// Installs the selector; an empty one removes it. UI thread only.
void SetPortSelector(TPortSelector Selector);
// The installed selector, empty when there is none. UI thread only.
const TPortSelector& PortSelector();

} // namespace dravane::serial

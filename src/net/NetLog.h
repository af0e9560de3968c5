#pragma once
// The net layer's logging category, "dravane.net": one line per event, with
// the address or port it concerns.

#include <QLoggingCategory>

namespace dravane::net {
Q_DECLARE_LOGGING_CATEGORY(lcNet)
}

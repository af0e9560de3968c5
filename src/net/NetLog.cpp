#include "net/NetLog.h"

namespace dravane::net {
Q_LOGGING_CATEGORY(lcNet, "dravane.net", QtInfoMsg)
}

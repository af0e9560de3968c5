#include "serial/PortException.h"

#include <new>

namespace dravane::serial {

EPortException::EPortException(std::int32_t EC, std::int32_t /*PassThru*/)
    : FErrorCode(EC), FMessage(ErrorMessage(MapCodeToStringID(EC))) {}

EPortException::EPortException(std::string Msg, std::int32_t EC, int)
    : FErrorCode(EC), FMessage(std::move(Msg)) {}

EPortException EPortException::CreateUnknown(std::string Msg, std::int32_t /*Dummy*/) {
    return EPortException(std::move(Msg), 0, 0);
}

void RaisePortError(std::int32_t Code) {
    switch (Code) {
#define DRAVANE_RAISE_OWN(Name, Number, Class, Group, Text)                                                  \
    case Number:                                                                                             \
        throw Class(Number, 0);
#define DRAVANE_RAISE_SHARED(Number, Class, Text)                                                            \
    case Number:                                                                                             \
        throw Class(Number, 0);
        DRAVANE_PORT_CLASSED_CODES(DRAVANE_RAISE_OWN)
        DRAVANE_PORT_SHARED_CLASS_CODES(DRAVANE_RAISE_SHARED)
#undef DRAVANE_RAISE_OWN
#undef DRAVANE_RAISE_SHARED
    case ecOutOfMemory:
        throw std::bad_alloc();
    default:
        break;
    }
    if (Code >= ecHardwareFailure && Code <= ecFileNotFound)
        throw EInOutError(ErrorMessage(Code), -Code);
    throw EPortException::CreateUnknown("Vexo exception", 0);
}

std::int32_t CheckException(bool ComponentLoading, std::int32_t Code) {
    if (Code >= 0 || ComponentLoading)
        return Code;
    RaisePortError(Code);
}

} // namespace dravane::serial

#pragma once
// The port exception family. EPortException carries the negative result code;
// one class per family derives from it, and one class per mapped code derives
// from its family class. The classes are generated from PortErrorList.h.
// Exceptions are plain values: any thread may create, throw and catch them.

#include "serial/PortErrors.h"

#include <cstdint>
#include <exception>
#include <stdexcept>
#include <string>

namespace dravane::serial {

class EPortException : public std::exception {
public:
    // ErrorCode := EC (kept negative); the message is the text found for |EC|.
    // PassThru is not used.
    explicit EPortException(std::int32_t EC, std::int32_t PassThru = 0);

    // ErrorCode := 0, message := Msg.
    static EPortException CreateUnknown(std::string Msg, std::int32_t Dummy = 0);

    static std::int64_t MapCodeToStringID(std::int64_t Code) { return Code < 0 ? -Code : Code; }

    std::int32_t ErrorCode() const noexcept { return FErrorCode; }
    const char* what() const noexcept override { return FMessage.c_str(); }

protected:
    EPortException(std::string Msg, std::int32_t EC, int);

private:
    std::int32_t FErrorCode;
    std::string FMessage;
};

#define DRAVANE_DECLARE_GROUP(Class)                                                                         \
    class Class : public EPortException {                                                                    \
    public:                                                                                                  \
        using EPortException::EPortException;                                                                \
    };
DRAVANE_PORT_GROUP_CLASSES(DRAVANE_DECLARE_GROUP)
#undef DRAVANE_DECLARE_GROUP

// A code class is built from its own code by default; Create(EC, PassThru)
// stays available as on every class of the family.
#define DRAVANE_DECLARE_CODE_CLASS(Name, Code, Class, Group, Text)                                           \
    class Class : public Group {                                                                             \
    public:                                                                                                  \
        using Group::Group;                                                                                  \
        Class() : Group(Name, 0) {}                                                                          \
    };
DRAVANE_PORT_CLASSED_CODES(DRAVANE_DECLARE_CODE_CLASS)
#undef DRAVANE_DECLARE_CODE_CLASS

// The input/output exception: operating-system and file errors -2 ... -162.
// ErrorCode is the positive error number.
class EInOutError : public std::runtime_error {
public:
    EInOutError(const std::string& Msg, std::int32_t Code) : std::runtime_error(Msg), FErrorCode(Code) {}
    std::int32_t ErrorCode() const noexcept { return FErrorCode; }

private:
    std::int32_t FErrorCode;
};

// Returns Code when it is 0 or positive, or when the component is still being
// loaded; otherwise raises: the class mapped to Code, std::bad_alloc for
// ecOutOfMemory, EInOutError for -162 ... -2, and EPortException
// ("Vexo exception", ErrorCode 0) for anything else.
std::int32_t CheckException(bool ComponentLoading, std::int32_t Code);
inline std::int32_t CheckException(std::int32_t Code) {
    return CheckException(false, Code);
}

// Raises what CheckException raises for a negative Code.
[[noreturn]] void RaisePortError(std::int32_t Code);

} // namespace dravane::serial

#include "comm/LineAssembler.h"

namespace dravane::comm {

bool TLineAssembler::Feed(std::uint8_t byte, std::string& line) {
    if (byte == 13) {
        const bool complete = !FOverflow && !FLine.empty();
        if (complete)
            line.swap(FLine);
        FLine.clear();
        FOverflow = false;
        return complete;
    }
    if (byte < 32 || FOverflow)
        return false;
    if (FLine.size() >= MaxLine) {
        FOverflow = true;
        FLine.clear();
        return false;
    }
    FLine += static_cast<char>(byte);
    return false;
}

void TLineAssembler::Clear() {
    FLine.clear();
    FOverflow = false;
}

} // namespace dravane::comm

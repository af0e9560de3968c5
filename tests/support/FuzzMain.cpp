// libFuzzer's entry for one fuzz target: DRAVANE_FUZZ_ENTRY names the entry
// function (in dravane::test) that returns an empty text, or what broke.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace dravane::test {
std::string DRAVANE_FUZZ_ENTRY(const std::uint8_t* data, std::size_t size);
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string fault = dravane::test::DRAVANE_FUZZ_ENTRY(data, size);
    if (!fault.empty()) {
        std::fprintf(stderr, "%s: %s\n", DRAVANE_FUZZ_NAME, fault.c_str());
        std::abort();
    }
    return 0;
}

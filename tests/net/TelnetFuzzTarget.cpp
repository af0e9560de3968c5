// libFuzzer entry for the telnet codec (clang only):
//   clang++ -fsanitize=fuzzer,address ... ; ./telnet_fuzz tests/net/corpus/telnet
#include "net/TelnetFuzz.h"

#include <cstdio>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string fault = dravane::test::TelnetFuzzOne(data, size);
    if (!fault.empty()) {
        std::fprintf(stderr, "telnet codec: %s\n", fault.c_str());
        std::abort();
    }
    return 0;
}

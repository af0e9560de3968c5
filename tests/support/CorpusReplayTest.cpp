// Replays a fuzz target's stored corpus through its entry function, so every
// input the fuzzer kept stays checked in the ordinary test run.
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <iterator>
#include <string>

namespace dravane::test {
std::string DRAVANE_FUZZ_ENTRY(const std::uint8_t* data, std::size_t size);
}

TEST(DRAVANE_FUZZ_SUITE, EveryStoredInputKeepsTheInvariants) {
    int files = 0;
    for (const auto& entry : std::filesystem::directory_iterator(DRAVANE_FUZZ_CORPUS)) {
        std::ifstream f(entry.path(), std::ios::binary);
        const std::string data((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
        EXPECT_EQ(dravane::test::DRAVANE_FUZZ_ENTRY(reinterpret_cast<const std::uint8_t*>(data.data()),
                                                    data.size()),
                  "")
            << entry.path();
        ++files;
    }
    EXPECT_GE(files, 4) << "a corpus this small explores little";
}

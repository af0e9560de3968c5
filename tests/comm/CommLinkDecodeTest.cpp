#include "comm/CommLink.h"
#include "comm/Defines.h"

#include <gtest/gtest.h>
#include <vector>

using namespace dravane::comm;
using dravane::platform::TAction;
using dravane::platform::TActionTarget;

namespace {

// The main window as DoAction sees it: records each code and the payload
// GetData returns while the code is being handled.
struct RecordingMainForm : TActionTarget {
    const TCommLink* comm = nullptr;
    std::vector<std::int32_t> codes;
    std::vector<std::string> dataSeen;
    bool ExecuteAction(TAction& action) override {
        codes.push_back(action.Tag);
        dataSeen.push_back(comm ? comm->GetData() : std::string());
        return true;
    }
};

// Not started: no port is opened, only decoding is under test.
class TestableCommLink : public TCommLink {
public:
    using TCommLink::DecodePacket;
    using TCommLink::Response;
};

class CommLinkDecode : public ::testing::Test {
protected:
    void SetUp() override {
        dravane::platform::SetApplicationMainForm(&mainForm);
        comm = std::make_unique<TestableCommLink>();
        mainForm.comm = comm.get();
        mainForm.codes.clear();
        mainForm.dataSeen.clear();
    }
    void TearDown() override {
        comm.reset();
        dravane::platform::SetApplicationMainForm(nullptr);
    }
    std::vector<std::int32_t> codesFor(const std::string& line) {
        mainForm.codes.clear();
        comm->DecodePacket(line);
        return mainForm.codes;
    }

    RecordingMainForm mainForm;
    std::unique_ptr<TestableCommLink> comm;
};

} // namespace

TEST_F(CommLinkDecode, StatusReportPostsOnceAndHandlerSeesItsPayload) {
    std::vector<TNetPacket> announced;
    QObject::connect(comm.get(), &TCommLink::PacketReceived,
                     [&](const TNetPacket& packet) { announced.push_back(packet); });
    comm->DecodePacket("[T4BR0198H00M0103]");
    ASSERT_EQ(mainForm.codes, std::vector<std::int32_t>{mcDravaneStatus});
    EXPECT_EQ(mainForm.dataSeen.front(), std::string("\x01\x03", 2));
    EXPECT_EQ(comm->GetPacket(), (TNetPacket{0x4B, 0x01, 0x98, 0x00, std::string("\x01\x03", 2)}));
    comm->DecodePacket("[T4BR0198H00X0103]"); // incomplete: not announced
    ASSERT_EQ(announced.size(), 1u);
    EXPECT_EQ(announced.front().Data, std::string("\x01\x03", 2));
}

TEST_F(CommLinkDecode, Command24DependsOnPayloadLength) {
    EXPECT_EQ(codesFor("[T18R0198H00M01020304]"), std::vector<std::int32_t>{mcUnitBStatus});
    EXPECT_EQ(codesFor("[T18R0198H00M010203040506]"), std::vector<std::int32_t>{});
    EXPECT_EQ(codesFor("[T18R0198H00M0102030405060708]"), std::vector<std::int32_t>{mcUnitCStatus});
}

TEST_F(CommLinkDecode, EveryListedCommandByteAndNothingElse) {
    const std::vector<std::pair<int, std::int32_t>> table{
        {162, 10018}, {163, 10019}, {165, 10021}, {176, 20012}, {177, 20013}, {178, 20014},
        {179, 20015}, {161, 20020}, {82, 20021},  {164, 20023}, {166, 20025}, {167, 20026},
        {85, 20027},  {155, 20027}, {174, 20028}, {175, 20029}, {65, 20040},  {69, 20050},
        {86, 20051},  {73, 20060},  {75, 20070},  {184, 20080}};
    int posted = 0;
    for (int cmd = 0; cmd < 256; ++cmd) {
        char line[32];
        std::snprintf(line, sizeof line, "[T%02XR0198H00M]", cmd);
        const auto codes = codesFor(line);
        std::vector<std::int32_t> expected;
        for (const auto& [c, code] : table) {
            if (c == cmd)
                expected.push_back(code);
        }
        EXPECT_EQ(codes, expected) << "command byte " << cmd;
        posted += static_cast<int>(!codes.empty());
    }
    EXPECT_EQ(posted, 22);
}

TEST_F(CommLinkDecode, AwaitedReplyIsReleasedOnlyByACompletePacket) {
    comm->Response = 0x4B;
    comm->DecodePacket("[T4BR0198H00X0103]"); // "M" missing
    EXPECT_EQ(comm->Response, 0x4B);
    EXPECT_EQ(comm->GetPacket(), (TNetPacket{0x4B, 0x01, 0x98, 0x00, ""}));
    EXPECT_TRUE(mainForm.codes.empty());
    comm->DecodePacket("[T4CR0198H00M01]"); // another command byte
    EXPECT_EQ(comm->Response, 0x4B);
    comm->DecodePacket("[T4BR0000H00M]"); // addresses are not checked
    EXPECT_EQ(comm->Response, 0);
}

TEST_F(CommLinkDecode, LinkReplyOnlyClearsTheStoredPacket) {
    comm->DecodePacket("[T4BR0198H00M0103]");
    mainForm.codes.clear();
    comm->DecodePacket("[LINKOK]");
    EXPECT_EQ(comm->GetPacket(), TNetPacket{});
    EXPECT_TRUE(mainForm.codes.empty());
}

TEST(OperatingMode, SelectorIndexOutsideRangeIsNormal) {
    EXPECT_EQ(OperatingModeFromIndex(0), omNormal);
    EXPECT_EQ(OperatingModeFromIndex(1), omClient);
    EXPECT_EQ(OperatingModeFromIndex(2), omServer);
    EXPECT_EQ(OperatingModeFromIndex(3), omNormal);
    EXPECT_EQ(OperatingModeFromIndex(-1), omNormal);
}

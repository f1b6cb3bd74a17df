// `aspitool read`: whole-medium reads that give the image back byte for
// byte, over every completion method and in transfers the adapter takes,
// and reads that fail or stop half way never passing for complete.
#include "test_machines.h"
#include "tool_runner.h"

#include <gtest/gtest.h>

namespace tooltest {
namespace {

const size_t CdBlock = 2048;

class MediumRead : public ::testing::Test {
protected:
    void SetUp() override {
        folder_ = MakeTempFolder();
        // 41 blocks: with 4 blocks a transfer the last one is short. An ISO
        // 9660 volume descriptor where one belongs, as a disc carries.
        image_ = Pattern(41 * CdBlock, CdBlock, 0x5A);
        const char id[] = "\x01" "CD001" "\x01";
        std::copy(id, id + 7, image_.begin() + 16 * CdBlock);
        ASSERT_TRUE(WriteFile(folder_ + "/disc.iso", image_));
        machine_ = CdRomMachine(folder_, folder_ + "/disc.iso", 4 * CdBlock, 7);
        ASSERT_NE(machine_, "");
    }

    std::string folder_;
    std::string machine_;
    std::vector<uint8_t> image_;
};

TEST_F(MediumRead, WholeMediumIsByteIdenticalWithEveryNotifyMethod) {
    for (const char* method : {"event", "post", "poll"}) {
        SCOPED_TRACE(method);
        const std::string copy = folder_ + "/copy-" + method + ".iso";
        const ToolRun run = RunTool({"read", "0:2:0", "--all", "-o", copy, "--json", "--notify", method,
                                     "--machine", machine_});
        ASSERT_EQ(run.exitCode, 0) << run.err;
        const nlohmann::json result = run.Json();
        EXPECT_EQ(result["complete"], true);
        EXPECT_EQ(result["count"], 41);
        EXPECT_EQ(result["blocks_read"], 41);
        EXPECT_EQ(result["block_size"], CdBlock);
        EXPECT_EQ(result["status"]["name"], "SS_COMP");
        EXPECT_TRUE(ReadFile(copy) == image_) << "the copy differs from the image";
    }
}

TEST_F(MediumRead, RangeReadShowsTheBlocksAsHex) {
    const ToolRun run = RunTool({"--machine", machine_, "read", "0:2:0", "16", "1", "--json"});
    ASSERT_EQ(run.exitCode, 0) << run.err;
    const std::vector<uint8_t> want(image_.begin() + 16 * CdBlock, image_.begin() + 17 * CdBlock);
    EXPECT_TRUE(FromHex(run.Json()["data"].get<std::string>()) == want);

    const ToolRun text = RunTool({"--machine", machine_, "read", "0:2:0", "16", "1"});
    ASSERT_EQ(text.exitCode, 0) << text.err;
    EXPECT_NE(text.out.find("|.CD001."), std::string::npos) << text.out.substr(0, 400);
}

TEST_F(MediumRead, RangesBeyondTheEndAndUnwritableFilesAreErrors) {
    const std::string copy = folder_ + "/copy.bin";
    const struct {
        std::vector<std::string> args;
        const char* message;
    } cases[] = {
        {{"40", "2", "-o", copy}, "beyond the end of the medium"},
        {{"41", "1", "-o", copy}, "beyond the end of the medium"},
        {{"4294967295", "4294967295", "-o", copy}, "beyond the end of the medium"},
        {{"--all", "-o", folder_ + "/no/such/folder/copy.iso"}, "cannot write"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.args[0]);
        std::vector<std::string> line = {"--machine", machine_, "read", "0:2:0"};
        line.insert(line.end(), c.args.begin(), c.args.end());
        const ToolRun run = RunTool(line);
        EXPECT_EQ(run.exitCode, 1);
        EXPECT_NE(run.err.find(c.message), std::string::npos) << run.err;
    }
}

TEST(PartialRead, ReadStoppedHalfWayIsNeverReportedComplete) {
    const std::string copy = MakeTempFolder() + "/part.bin";
    const ToolRun run = RunTool({"read", "0:1:0", "0", "8", "-o", copy, "--json", "--machine",
                                 MachinePath("tool_partial_read.json")});
    EXPECT_EQ(run.exitCode, 1);
    const nlohmann::json result = run.Json();
    ASSERT_FALSE(result.is_discarded()) << run.out;
    EXPECT_EQ(result["complete"], false);
    EXPECT_EQ(result["blocks_read"], 4);
    EXPECT_EQ(result["count"], 8);
    EXPECT_EQ(result["status"]["name"], "SS_ERR");
    EXPECT_EQ(result["sense_decoded"]["key"]["name"], "MEDIUM ERROR");
    for (const char* text : {"4 of 8 blocks read", "incomplete", "unrecovered read error"}) {
        EXPECT_NE(run.err.find(text), std::string::npos) << run.err;
    }
    // Two transfers of 32 bytes arrived before the failure.
    EXPECT_EQ(ReadFile(copy).size(), 64u);
}

}  // namespace
}  // namespace tooltest

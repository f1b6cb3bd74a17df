// `aspitool write` and reading back: data written through the library
// lands in the disk's image file and comes back unchanged.
#include "test_machines.h"
#include "tool_runner.h"

#include <gtest/gtest.h>

namespace tooltest {
namespace {

const size_t DiskBlock = 512;
const size_t DiskBlocks = 256;

class WriteReadBack : public ::testing::Test {
protected:
    void SetUp() override {
        folder_ = MakeTempFolder();
        diskPath_ = folder_ + "/disk.img";
        disk_ = Pattern(DiskBlocks * DiskBlock, DiskBlock, 0x11);
        ASSERT_TRUE(WriteFile(diskPath_, disk_));
        machine_ = DiskMachine(folder_, diskPath_, DiskBlocks, DiskBlock, 8 * DiskBlock, 15);
        ASSERT_NE(machine_, "");
    }

    std::string folder_;
    std::string diskPath_;
    std::string machine_;
    std::vector<uint8_t> disk_;
};

TEST_F(WriteReadBack, WrittenBlocksReadBackAndLandInTheImage) {
    // With each notify method: 19 blocks (three transfers, the last one
    // short), then 3 blocks, then 1.
    const struct {
        const char* method;
        size_t lba, blocks;
    } cases[] = {{"event", 10, 19}, {"post", 40, 3}, {"poll", 255, 1}};
    std::vector<uint8_t> expected = disk_;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.method);
        const std::vector<uint8_t> data = Pattern(c.blocks * DiskBlock, DiskBlock, static_cast<uint8_t>(c.lba));
        const std::string input = folder_ + "/data-" + c.method + ".bin";
        ASSERT_TRUE(WriteFile(input, data));
        const ToolRun write = RunTool({"write", "0:0:0", std::to_string(c.lba), "-i", input, "--json",
                                       "--notify", c.method, "--machine", machine_});
        ASSERT_EQ(write.exitCode, 0) << write.err;
        EXPECT_EQ(write.Json()["complete"], true);
        EXPECT_EQ(write.Json()["blocks_written"], c.blocks);

        const std::string copy = folder_ + "/back-" + c.method + ".bin";
        const ToolRun read = RunTool({"read", "0:0:0", std::to_string(c.lba), std::to_string(c.blocks),
                                      "-o", copy, "--notify", c.method, "--machine", machine_});
        ASSERT_EQ(read.exitCode, 0) << read.err;
        EXPECT_TRUE(ReadFile(copy) == data);
        std::copy(data.begin(), data.end(), expected.begin() + c.lba * DiskBlock);
    }
    EXPECT_TRUE(ReadFile(diskPath_) == expected) << "blocks around the written ones changed";
}

TEST_F(WriteReadBack, FilesThatDoNotFitAreRefusedAndNothingIsWritten) {
    ASSERT_TRUE(WriteFile(folder_ + "/partial.bin", std::vector<uint8_t>(DiskBlock + 1, 0xEE)));
    ASSERT_TRUE(WriteFile(folder_ + "/two.bin", std::vector<uint8_t>(2 * DiskBlock, 0xEE)));
    const struct {
        std::string lba, file;
        const char* message;
    } cases[] = {
        {"0", "/partial.bin", "not a whole number of blocks"},
        {std::to_string(DiskBlocks - 1), "/two.bin", "beyond the end"},
        {"0", "/none.bin", "cannot read"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.message);
        const ToolRun run = RunTool({"write", "0:0:0", c.lba, "-i", folder_ + c.file, "--machine", machine_});
        EXPECT_EQ(run.exitCode, 1);
        EXPECT_NE(run.err.find(c.message), std::string::npos) << run.err;
    }
    EXPECT_TRUE(ReadFile(diskPath_) == disk_);
}

}  // namespace
}  // namespace tooltest

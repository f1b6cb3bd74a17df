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
        machinePath_ = folder_ + "/machine.json";
        ASSERT_TRUE(WriteMachine(machinePath_, DiskMachine(diskPath_, DiskBlocks, DiskBlock, 8 * DiskBlock, 15)));
    }

    std::string folder_;
    std::string diskPath_;
    std::string machinePath_;
    std::vector<uint8_t> disk_;
};

TEST_F(WriteReadBack, WrittenBlocksReadBackAndLandInTheImage) {
    // 19 blocks from LBA 10: three transfers, the last one short.
    const std::vector<uint8_t> data = Pattern(19 * DiskBlock, DiskBlock, 0xC3);
    const std::string input = folder_ + "/data.bin";
    ASSERT_TRUE(WriteFile(input, data));
    const ToolRun write = RunTool({"write", "0:0:0", "10", "-i", input, "--json", "--machine", machinePath_});
    ASSERT_EQ(write.exitCode, 0) << write.err;
    EXPECT_EQ(write.Json()["complete"], true);
    EXPECT_EQ(write.Json()["blocks_written"], 19);

    const std::string copy = folder_ + "/back.bin";
    const ToolRun read = RunTool({"read", "0:0:0", "10", "19", "-o", copy, "--machine", machinePath_});
    ASSERT_EQ(read.exitCode, 0) << read.err;
    EXPECT_TRUE(ReadFile(copy) == data);

    std::vector<uint8_t> expected = disk_;
    std::copy(data.begin(), data.end(), expected.begin() + 10 * DiskBlock);
    EXPECT_TRUE(ReadFile(diskPath_) == expected) << "blocks around the written ones changed";
}

TEST_F(WriteReadBack, EveryNotifyMethodWrites) {
    uint32_t lba = 0;
    for (const char* method : {"event", "post", "poll"}) {
        SCOPED_TRACE(method);
        const std::vector<uint8_t> data = Pattern(3 * DiskBlock, DiskBlock, static_cast<uint8_t>(lba + 1));
        const std::string input = folder_ + "/data-" + method + ".bin";
        ASSERT_TRUE(WriteFile(input, data));
        const ToolRun write = RunTool({"write", "0:0:0", std::to_string(lba), "-i", input,
                                       "--notify", method, "--machine", machinePath_});
        ASSERT_EQ(write.exitCode, 0) << write.err;
        const ToolRun read = RunTool({"read", "0:0:0", std::to_string(lba), "3", "--json",
                                      "--notify", method, "--machine", machinePath_});
        ASSERT_EQ(read.exitCode, 0) << read.err;
        EXPECT_TRUE(FromHex(read.Json()["data"].get<std::string>()) == data);
        lba += 3;
    }
}

TEST_F(WriteReadBack, FilesThatDoNotFitAreRefusedAndNothingIsWritten) {
    const std::string partial = folder_ + "/partial.bin";
    ASSERT_TRUE(WriteFile(partial, std::vector<uint8_t>(DiskBlock + 1, 0xEE)));
    const ToolRun uneven = RunTool({"write", "0:0:0", "0", "-i", partial, "--machine", machinePath_});
    EXPECT_EQ(uneven.exitCode, 1);
    EXPECT_NE(uneven.err.find("not a whole number of blocks"), std::string::npos) << uneven.err;

    const std::string two = folder_ + "/two.bin";
    ASSERT_TRUE(WriteFile(two, std::vector<uint8_t>(2 * DiskBlock, 0xEE)));
    const ToolRun beyond = RunTool({"write", "0:0:0", std::to_string(DiskBlocks - 1), "-i", two,
                                    "--machine", machinePath_});
    EXPECT_EQ(beyond.exitCode, 1);
    EXPECT_NE(beyond.err.find("beyond the end"), std::string::npos) << beyond.err;

    const ToolRun missing = RunTool({"write", "0:0:0", "0", "-i", folder_ + "/none.bin",
                                     "--machine", machinePath_});
    EXPECT_EQ(missing.exitCode, 1);
    EXPECT_NE(missing.err.find("cannot read"), std::string::npos) << missing.err;

    EXPECT_TRUE(ReadFile(diskPath_) == disk_);
}

}  // namespace
}  // namespace tooltest

// Burning an ISO image onto the emulated writer's blank DVD-R through the
// library: `aspitool burn` (the whole burn in one run), and `write` then
// `raw` and `read` across runs, each run a fresh machine whose disc the
// machine file describes by its state.
#include "tool_runner.h"

#include <gtest/gtest.h>

#include <fstream>

namespace tooltest {
namespace {

class Burn : public ::testing::Test {
protected:
    void SetUp() override {
        folder_ = MakeTempFolder();
        iso_ = folder_ + "/image.iso";
        disc_ = folder_ + "/disc.iso";
        image_ = Pattern(300 * 2048, 2048, 0x5A);
        ASSERT_TRUE(WriteFile(iso_, image_));
    }

    // Returns the path of a machine whose writer holds `media` in `state`.
    std::string Machine(const std::string& media, const std::string& state) {
        const std::string path = folder_ + "/" + media + "-" + state + ".json";
        std::ofstream(path) << R"({"ports": [{"buses": [{"units": [{"target": 4, "lun": 0,
            "class_device": "CdRom0", "drive": "E", "backend": {"type": "writer", "media": ")"
                            << media << R"(", "state": ")" << state << R"(", "image": ")" << disc_
                            << "\"}}]}]}]}";
        return path;
    }

    std::string folder_, iso_, disc_;
    std::vector<uint8_t> image_;
};

TEST_F(Burn, BurnWritesClosesAndVerifiesTheBlankDvd) {
    const ToolRun run = RunTool({"burn", "0:4:0", "-i", iso_, "--json", "--machine", Machine("dvd-r", "blank")});
    ASSERT_EQ(run.exitCode, 0) << run.err;
    EXPECT_EQ(run.Json()["verified"], true);
    EXPECT_EQ(run.Json()["blocks_written"], 300);
    EXPECT_TRUE(ReadFile(disc_) == image_) << "the disc image is the ISO";
    // The burned disc is closed: a second burn finds it not blank.
    const ToolRun again = RunTool({"burn", "0:4:0", "-i", iso_, "--machine", Machine("dvd-r", "closed")});
    EXPECT_EQ(again.exitCode, 1);
    EXPECT_NE(again.err.find("is not blank"), std::string::npos) << again.err;
}

TEST_F(Burn, WriteThenRawAndReadOfTheClosedDisc) {
    const std::string blank = Machine("dvd+r", "blank");
    // Writes go to the next writable address only.
    const ToolRun early = RunTool({"write", "0:4:0", "5", "-i", iso_, "--machine", blank});
    EXPECT_EQ(early.exitCode, 1);
    EXPECT_NE(early.err.find("ASC 0x21, ASCQ 0x02"), std::string::npos) << early.err;
    const ToolRun write = RunTool({"write", "0:4:0", "0", "-i", iso_, "--json", "--machine", blank});
    ASSERT_EQ(write.exitCode, 0) << write.err;
    EXPECT_TRUE(ReadFile(disc_) == image_);

    const std::string closed = Machine("dvd+r", "closed");
    const ToolRun info = RunTool({"raw", "0:4:0", "51 00 00 00 00 00 00 00 22 00", "--in", "34",
                                  "--json", "--machine", closed});
    ASSERT_EQ(info.exitCode, 0) << info.err;
    const std::vector<uint8_t> bytes = FromHex(info.Json()["data"].get<std::string>());
    ASSERT_EQ(bytes.size(), 34u);
    EXPECT_EQ(bytes[2] & 0x03, 2) << "a complete disc";
    const std::string back = folder_ + "/back.iso";
    const ToolRun read = RunTool({"read", "0:4:0", "--all", "-o", back, "--machine", closed});
    ASSERT_EQ(read.exitCode, 0) << read.err;
    EXPECT_TRUE(ReadFile(back) == image_);
    // Closing the closed disc's session is refused.
    const ToolRun close = RunTool({"raw", "0:4:0", "5B 00 02 00 00 00 00 00 00 00", "--machine", closed});
    EXPECT_EQ(close.exitCode, 1);
    EXPECT_NE(close.err.find("ASC 0x2C"), std::string::npos) << close.err;
}

TEST_F(Burn, RefusesWhatCannotBeBurned) {
    const ToolRun none = RunTool({"burn", "0:4:0", "-i", iso_, "--machine", Machine("none", "blank")});
    EXPECT_EQ(none.exitCode, 1);
    EXPECT_NE(none.err.find("no recordable disc"), std::string::npos) << none.err;
    const std::string odd = folder_ + "/odd.iso";
    ASSERT_TRUE(WriteFile(odd, std::vector<uint8_t>(3000, 1)));
    const ToolRun partial = RunTool({"burn", "0:4:0", "-i", odd, "--machine", Machine("cd-r", "blank")});
    EXPECT_EQ(partial.exitCode, 1);
    EXPECT_NE(partial.err.find("whole number of 2048-byte blocks"), std::string::npos) << partial.err;
    const ToolRun usage = RunTool({"burn", "0:4:0", "--machine", Machine("cd-r", "blank")});
    EXPECT_EQ(usage.exitCode, 2);
}

}  // namespace
}  // namespace tooltest

// What a user is told when something does not work: machines whose units
// the library cannot reach, platform failures, bad files and libraries, and
// the same as JSON for programs.
#include "test_machines.h"
#include "tool_runner.h"

#include <gtest/gtest.h>

namespace tooltest {
namespace {

bool Has(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

TEST(UserGuidance, UnreachableClaimedUnitsAreWarnedOnceEachAndExplainedInTheScan) {
    const ToolRun run = RunTool({"scan", "--machine", MachinePath("tool_unreachable_units.json")});
    EXPECT_EQ(run.exitCode, 1);
    for (const char* reason : {"target 1 lun 0 is claimed by a class driver through which the library "
                               "cannot reach it (it has neither a class_device nor a drive)",
                               "target 3 lun 0 is claimed by a class driver through which the library "
                               "cannot reach it (the library finds CD-ROM drives by their drive letter"}) {
        EXPECT_TRUE(Has(run.err, reason)) << reason << "\n" << run.err;
    }
    // Tape1 is reached although Tape0 does not exist: a gap in the numbers
    // does not hide the devices after it.
    EXPECT_FALSE(Has(run.err, "target 0 lun 0")) << run.err;
    EXPECT_FALSE(Has(run.err, "target 2 lun 0")) << run.err;
    size_t lines = 0;
    for (size_t at = 0; (at = run.out.find("found no class device to reach it through", at)) != std::string::npos; ++at) {
        ++lines;
    }
    EXPECT_EQ(lines, 2u) << run.out;
    // Only the Linux client knows the simulated machine, and so the reason.
    if (!RunsWindowsProgram()) {
        EXPECT_TRUE(Has(run.out, "to reach it through (the library finds CD-ROM drives by their drive letter"))
            << run.out;
    }
}

TEST(UserGuidance, ReadAndWriteOnATapeNameWhatReachesItInstead) {
    // The default machine's tape, 0:5:0.
    const ToolRun read = RunTool({"read", "0:5:0", "0", "1"});
    EXPECT_EQ(read.exitCode, 1);
    EXPECT_TRUE(Has(read.err, "read is for block devices: 0:5:0 is a tape")) << read.err;
    EXPECT_TRUE(Has(read.err, "aspitool raw 0:5:0 08000000ff00 --in 65280")) << read.err;
    EXPECT_FALSE(Has(read.err, "READ CAPACITY")) << read.err;
    const ToolRun write = RunTool({"write", "0:5:0", "0", "-i", "nothing"});
    EXPECT_TRUE(Has(write.err, "write is for block devices: 0:5:0 is a tape")) << write.err;
}

TEST(UserGuidance, PlatformFailuresAreExplainedAndShownUnderVerbose) {
    const std::string machine = std::string(PTASPI_SOURCE_DIR) + "/machines/scanner_station.json";
    const ToolRun run = RunTool({"tur", "0:2:0", "--verbose", "--machine", machine});
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_TRUE(Has(run.err, "warning: the user is limited")) << run.err;
    EXPECT_TRUE(Has(run.err, "the port driver refused or failed the request")) << run.err;
    // The platform's record is the simulator's, which only the Linux client reads.
    if (!RunsWindowsProgram()) {
        EXPECT_TRUE(Has(run.err, "< platform: IOCTL_SCSI_PASS_THROUGH_DIRECT on \\\\.\\Scanner0, platform error 5"))
            << run.err;
    }
}

TEST(UserGuidance, MachineAndLibraryFailuresNameTheirReasonInTextAndJson) {
    const std::string folder = MakeTempFolder();
    ASSERT_TRUE(WriteFile(folder + "/text.json", {'n', 'o'}));
    const struct {
        std::vector<std::string> line;
        const char* kind;
        const char* message;
    } cases[] = {
        {{"--machine", folder}, "machine", "is a folder, not a machine file"},
        {{"--machine", folder + "/none.json"}, "machine", "does not exist"},
        {{"--machine", folder + "/text.json"}, "machine", "malformed JSON"},
        {{"--library", folder + "/none.so"}, "library", "file not found"},
        {{"--library", folder + "/text.json"}, "library", "not a library for this build"},
        {{"tur", "0:0:0", "--all"}, "usage", "--all does not apply"},
        {{"readcap", "0:1:0"}, "usage", "no unit at 0:1:0"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.message);
        std::vector<std::string> line = c.line;
        const ToolRun text = RunTool(line);
        EXPECT_TRUE(Has(text.err, c.message)) << text.err;
        // For the Windows program the machine is ntrun's, which answers in text.
        if (RunsWindowsProgram() && std::string(c.kind) == "machine") continue;
        line.push_back("--json");
        const ToolRun json = RunTool(line);
        EXPECT_EQ(json.exitCode, text.exitCode);
        EXPECT_EQ(json.Json()["error_kind"], c.kind) << json.out;
        EXPECT_TRUE(Has(json.Json().value("error", ""), c.message)) << json.out;
    }
}

TEST(UserGuidance, BlocksAndFilesAreCountedExactly) {
    const std::string folder = MakeTempFolder();
    const std::string disk = folder + "/disk.img";
    ASSERT_TRUE(WriteFile(disk, Pattern(16 * 512, 512, 0x21)));
    ASSERT_TRUE(WriteFile(folder + "/empty.bin", {}));
    const std::string machine = DiskMachine(folder, disk, 16, 512, 65536, 1);

    const ToolRun beyond = RunTool({"read", "0:0:0", "15", "2", "--machine", machine});
    EXPECT_TRUE(Has(beyond.err, "block 16 lies beyond the end of the medium of 0:0:0 (16 blocks, 0 to 15)"))
        << beyond.err;
    const ToolRun hex = RunTool({"read", "0:0:0", "0xF", "0x1", "--json", "--machine", machine});
    EXPECT_EQ(hex.Json()["lba"], 15);
    const std::vector<uint8_t> image = Pattern(16 * 512, 512, 0x21);
    EXPECT_EQ(FromHex(hex.Json()["data"]), std::vector<uint8_t>(image.end() - 512, image.end()));
    const ToolRun empty = RunTool({"write", "0:0:0", "0", "-i", folder + "/empty.bin", "--machine", machine});
    EXPECT_TRUE(Has(empty.err, "is empty")) << empty.err;
    const ToolRun one = RunTool({"read", "0:0:0", "3", "1", "-o", folder + "/one.bin", "--machine", machine});
    EXPECT_TRUE(Has(one.out, "read 1 block of 512")) << one.out;

    const ToolRun raw = RunTool({"raw", "0:0:0", "28 00 00 00 00 02 00 00 01 00", "--in", "512", "-o",
                                 folder + "/raw.bin", "--machine", machine});
    EXPECT_EQ(raw.exitCode, 0) << raw.err;
    EXPECT_EQ(ReadFile(folder + "/raw.bin"), std::vector<uint8_t>(image.begin() + 1024, image.begin() + 1536));
    EXPECT_TRUE(Has(raw.out, "the 512 bytes requested")) << raw.out;
}

TEST(UserGuidance, DiskFileOfAnotherSizeThanTheDiskIsWarned) {
    const std::string folder = MakeTempFolder();
    const std::string disk = folder + "/disk.img";
    ASSERT_TRUE(WriteFile(disk, std::vector<uint8_t>(4096)));
    const ToolRun run = RunTool({"readcap", "0:0:0", "--machine", DiskMachine(folder, disk, 2048, 512, 65536, 1)});
    EXPECT_EQ(run.exitCode, 0) << run.err;
    EXPECT_TRUE(Has(run.err, "holds 4096 bytes: blocks past its end read as zeros")) << run.err;
    EXPECT_TRUE(Has(run.err, "\"blocks\": 8 makes the disk the size of the file")) << run.err;
}

}  // namespace
}  // namespace tooltest

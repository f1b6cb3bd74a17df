// `aspitool raw`, `tur`, `inquiry` and `readcap`: statuses by name and
// value, sense decoded in fixed and descriptor format, data in and out, and
// a non-zero exit for anything but SS_COMP.
#include "test_machines.h"
#include "tool_runner.h"

#include <gtest/gtest.h>

namespace tooltest {
namespace {

// Returns the run of `args` on the machine whose unit 0:1:0 answers with
// CHECK CONDITION; every such run must fail.
ToolRun OnCheckCondition(std::vector<std::string> args) {
    args.insert(args.end(), {"--machine", MachinePath("tool_check_condition.json")});
    ToolRun run = RunTool(args);
    EXPECT_EQ(run.exitCode, 1) << run.err;
    return run;
}

TEST(RawCommand, CheckConditionWithFixedSenseIsDecodedAndFails) {
    const ToolRun run = OnCheckCondition({"raw", "0:1:0", "000000000000", "--json"});
    const nlohmann::json result = run.Json();
    ASSERT_FALSE(result.is_discarded()) << run.out;
    EXPECT_EQ(result["status"]["name"], "SS_ERR");
    EXPECT_EQ(result["status"]["value"], 4);
    EXPECT_EQ(result["ha_stat"]["name"], "HASTAT_OK");
    EXPECT_EQ(result["targ_stat"]["name"], "CHECK CONDITION");
    EXPECT_EQ(result["targ_stat"]["value"], 2);
    EXPECT_EQ(result["sense"], "70000200000000" "0a000000003a0000000000");
    EXPECT_EQ(result["sense_decoded"]["format"], "fixed");
    EXPECT_EQ(result["sense_decoded"]["key"]["name"], "NOT READY");
    EXPECT_EQ(result["sense_decoded"]["asc"], 0x3A);
    EXPECT_EQ(result["sense_decoded"]["description"], "medium not present");
    EXPECT_NE(run.err.find("SS_ERR (0x04)"), std::string::npos) << run.err;

    const ToolRun text = OnCheckCondition({"raw", "0:1:0", "00 00 00 00 00 00"});
    EXPECT_NE(text.out.find("CHECK CONDITION (0x02)"), std::string::npos) << text.out;
    EXPECT_NE(text.out.find("NOT READY: medium not present (ASC 0x3A, ASCQ 0x00)"), std::string::npos)
        << text.out;

    const ToolRun tur = OnCheckCondition({"tur", "0:1:0"});
    EXPECT_NE(tur.err.find("not ready"), std::string::npos) << tur.err;
    EXPECT_NE(tur.err.find("medium not present"), std::string::npos) << tur.err;
}

TEST(RawCommand, DescriptorSenseUnknownCodesAndSenseLength) {
    const nlohmann::json descriptor = OnCheckCondition({"raw", "0:1:0", "1b", "00", "00", "00", "01", "00",
                                                        "--json"}).Json();
    EXPECT_EQ(descriptor["sense_decoded"]["format"], "descriptor");
    EXPECT_EQ(descriptor["sense_decoded"]["key"]["name"], "ILLEGAL REQUEST");
    EXPECT_EQ(descriptor["sense_decoded"]["description"], "invalid field in cdb");

    const nlohmann::json unknown = OnCheckCondition({"raw", "0:1:0", "5a00000000000000fc00", "--json"}).Json();
    EXPECT_EQ(unknown["sense_decoded"]["description"], "ASC 0x99 ASCQ 0x42");

    const nlohmann::json four = OnCheckCondition({"raw", "0:1:0", "000000000000", "--sense", "4", "--json"}).Json();
    EXPECT_EQ(four["sense"], "70000200");
    EXPECT_EQ(four["sense_decoded"]["key"]["name"], "NOT READY");

    const nlohmann::json none = OnCheckCondition({"raw", "0:1:0", "000000000000", "--sense", "0", "--json"}).Json();
    EXPECT_EQ(none["sense"], "");
    EXPECT_TRUE(none["sense_decoded"].is_null());
}

TEST(RawCommand, ReadyUnitAndDataInAsHex) {
    const ToolRun ready = RunTool({"tur", "0:0:0", "--json"});
    EXPECT_EQ(ready.exitCode, 0) << ready.err;
    EXPECT_EQ(ready.Json()["ready"], true);
    EXPECT_EQ(ready.Json()["status"]["name"], "SS_COMP");

    const ToolRun run = RunTool({"raw", "0:3:0", "12 00 00 00 24 00", "--in", "36", "--json"});
    ASSERT_EQ(run.exitCode, 0) << run.err;
    const std::vector<uint8_t> data = FromHex(run.Json()["data"].get<std::string>());
    ASSERT_EQ(data.size(), 36u);
    EXPECT_EQ(data[0] & 0x1F, 5);
    EXPECT_EQ(std::string(data.begin() + 8, data.begin() + 16), "LUMOPTIC");

    const ToolRun inquiry = RunTool({"inquiry", "0:3:0", "--json"});
    ASSERT_EQ(inquiry.exitCode, 0) << inquiry.err;
    EXPECT_EQ(inquiry.Json()["data"], run.Json()["data"]);
    EXPECT_EQ(inquiry.Json()["vendor"], "LUMOPTIC");
    EXPECT_EQ(inquiry.Json()["type_name"], "cdrom");
    EXPECT_EQ(inquiry.Json()["removable"], true);
}

TEST(RawCommand, DataOutFromFileReachesTheMedium) {
    const std::string folder = MakeTempFolder();
    const std::string disk = folder + "/disk.img";
    ASSERT_TRUE(WriteFile(disk, std::vector<uint8_t>(64 * 512, 0)));
    const std::string machine = DiskMachine(folder, disk, 64, 512, 65536, 3);
    const std::vector<uint8_t> block = Pattern(512, 512, 0x77);
    ASSERT_TRUE(WriteFile(folder + "/block.bin", block));

    // WRITE(10) then READ(10) of one block at LBA 5.
    const ToolRun write = RunTool({"raw", "0:0:0", "2a 00 00 00 00 05 00 00 01 00", "--out",
                                   folder + "/block.bin", "--json", "--machine", machine});
    ASSERT_EQ(write.exitCode, 0) << write.err;
    EXPECT_EQ(write.Json()["direction"], "out");
    EXPECT_EQ(write.Json()["length"], 512);
    const ToolRun read = RunTool({"raw", "0:0:0", "28000000000500000100", "--in", "512", "--json",
                                  "--machine", machine});
    ASSERT_EQ(read.exitCode, 0) << read.err;
    EXPECT_TRUE(FromHex(read.Json()["data"].get<std::string>()) == block);
    std::vector<uint8_t> image(64 * 512, 0);
    std::copy(block.begin(), block.end(), image.begin() + 5 * 512);
    EXPECT_TRUE(ReadFile(disk) == image);

    const ToolRun readcap = RunTool({"readcap", "0:0:0", "--json", "--machine", machine});
    ASSERT_EQ(readcap.exitCode, 0) << readcap.err;
    EXPECT_EQ(readcap.Json()["blocks"], 64);
    EXPECT_EQ(readcap.Json()["last_lba"], 63);
    EXPECT_EQ(readcap.Json()["block_size"], 512);
}

TEST(RawCommand, AbsentUnitGivesNoDeviceAndSelectionTimeout) {
    const ToolRun run = RunTool({"raw", "0:4:0", "000000000000", "--json"});
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_EQ(run.Json()["status"]["name"], "SS_NO_DEVICE");
    EXPECT_EQ(run.Json()["status"]["value"], 0x82);
    EXPECT_EQ(run.Json()["ha_stat"]["name"], "HASTAT_SEL_TO");
    EXPECT_EQ(run.Json()["ha_stat"]["value"], 0x11);
}

}  // namespace
}  // namespace tooltest

// The real CD-ROM that the class driver claims is reached through drive E:
// (the unclaimed one of the same target through the port device), and
// aspitool copies its whole medium into a file that is the ISO image the
// target serves, byte for byte.
#include "iscsi/iscsi_fixture.h"

#include <filesystem>

namespace iscsitest {
namespace {

class CdImage : public IscsiTest {};

std::string Sha256(const std::string& path) {
    int exitCode = -1;
    const std::string line = RunCommand("sha256sum '" + path + "'", &exitCode);
    return exitCode == 0 ? line.substr(0, 64) : "sha256sum failed on " + path;
}

TEST_P(CdImage, WholeMediumReadHasTheIsosSha256) {
    const std::string copy = Folder() + "/copy-" + BuildName({GetParam(), 0}) + ".iso";
    std::remove(copy.c_str());
    int exitCode = -1;
    const std::string out = RunCommand(std::string(PTASPI_BINARY_DIR) + "/tools/aspitool --library '" +
                                           LibraryPath(GetParam()) + "' --machine '" + machinePath_ +
                                           "' read 0:1:0 --all -o '" + copy + "' 2>&1",
                                       &exitCode);
    ASSERT_EQ(exitCode, 0) << out;
    EXPECT_EQ(Sha256(copy), Sha256(Folder() + "/cd.iso"));
    std::remove(copy.c_str());
}

TEST_P(CdImage, ClaimedThroughItsDriveLetterUnclaimedThroughThePort) {
    InstallTarget(0);
    const uint64_t isoBlocks = std::filesystem::file_size(Folder() + "/cd.iso") / 2048;
    for (const auto& unit : {std::make_pair(CdTarget, "\\\\.\\E:"), std::make_pair(SecondCdTarget, "\\\\.\\scsi0:")}) {
        SCOPED_TRACE(unit.second);
        sim::ClearPassThroughLog();
        SRB_GDEVBlock type = {SC_GET_DEV_TYPE, 0, 0, 0, 0, unit.first, 0, 0, 0};
        EXPECT_EQ(Send(&type) << 8 | type.SRB_DeviceType, SS_COMP << 8 | 5u);
        BYTE inquiry[36] = {}, capacity[8] = {};
        ExecRequest first, second;
        Execute(first, unit.first, SRB_DIR_IN, {0x12, 0, 0, 0, 36, 0}, inquiry, sizeof inquiry);
        Execute(second, unit.first, SRB_DIR_IN, {0x25, 0, 0, 0, 0, 0, 0, 0, 0, 0}, capacity, sizeof capacity);
        EXPECT_EQ(first.Srb.SRB_Status << 8 | inquiry[0], SS_COMP << 8 | 5);
        EXPECT_EQ(second.Srb.SRB_Status, SS_COMP);
        EXPECT_EQ((capacity[0] << 24 | capacity[1] << 16 | capacity[2] << 8 | capacity[3]) + 1u, isoBlocks);
        const std::vector<sim::PassThroughRecord> sent = sim::PassThroughLog();
        EXPECT_EQ(sent.size(), 2u);
        for (const sim::PassThroughRecord& record : sent) EXPECT_EQ(record.device, unit.second);
    }
}

LIBRARY_TEST_SUITE(CdImage);

}  // namespace
}  // namespace iscsitest

// The real CD-ROM that the class driver claims is reached through its drive
// letter, the unclaimed one of the same target through the port device,
// each with its own answers.
#include "iscsi/iscsi_fixture.h"

namespace iscsitest {
namespace {

class CdDrive : public IscsiTest {};

TEST_P(CdDrive, ClaimedThroughItsDriveLetterUnclaimedThroughThePort) {
    InstallTarget(0);
    int exitCode = -1;
    const uint64_t isoBlocks =
        std::stoull(RunCommand("stat -c %s '" + Folder() + "/cd.iso'", &exitCode)) / 2048;
    for (const auto& unit : {std::make_pair(CdTarget, "\\\\.\\E:"), std::make_pair(SecondCdTarget, "\\\\.\\scsi0:")}) {
        SCOPED_TRACE(unit.second);
        sim::ClearPassThroughLog();
        SRB_GDEVBlock type = {};
        type.SRB_Cmd = SC_GET_DEV_TYPE;
        type.SRB_Target = unit.first;
        EXPECT_EQ(Send(&type), SS_COMP);
        EXPECT_EQ(type.SRB_DeviceType, 5);
        BYTE inquiry[36] = {}, capacity[8] = {};
        ExecRequest first, second;
        Execute(first, unit.first, SRB_DIR_IN, {0x12, 0, 0, 0, 36, 0}, inquiry, sizeof inquiry);
        Execute(second, unit.first, SRB_DIR_IN, {0x25, 0, 0, 0, 0, 0, 0, 0, 0, 0}, capacity, sizeof capacity);
        EXPECT_EQ(first.Srb.SRB_Status << 8 | inquiry[0], SS_COMP << 8 | 5);
        EXPECT_EQ(second.Srb.SRB_Status, SS_COMP);
        EXPECT_EQ((uint64_t(capacity[0]) << 24 | capacity[1] << 16 | capacity[2] << 8 | capacity[3]) + 1, isoBlocks);
        const std::vector<sim::PassThroughRecord> sent = sim::PassThroughLog();
        EXPECT_EQ(sent.size(), 2u);
        for (const sim::PassThroughRecord& record : sent) EXPECT_EQ(record.device, unit.second);
    }
}

LIBRARY_TEST_SUITE(CdDrive);

}  // namespace
}  // namespace iscsitest

// What the port driver reports of the real disk's commands: the bytes that
// moved, the sense bytes returned, and the sense the unit keeps for a
// REQUEST SENSE only when the command took none; a reservation that
// another initiator holds.
#include "iscsi/iscsi_fixture.h"
#include "iscsi/libiscsi_unit.h"
#include "sim/devices_test_support.h"

#include <iscsi/iscsi.h>
#include <iscsi/scsi-lowlevel.h>

namespace iscsitest {
namespace {

class RealPassThrough : public IscsiTest {};

TEST_P(RealPassThrough, BytesAndSenseAsTheTargetMovedThem) {
    InstallTarget(0);
    int exitCode = -1;
    const uint32_t end = uint32_t(std::stoull(RunCommand("stat -c %s '" + Folder() + "/disk.img'", &exitCode)) / 512);
    const std::vector<BYTE> pastEnd = {0x28, 0, BYTE(end >> 24), BYTE(end >> 16), BYTE(end >> 8), BYTE(end), 0, 0, 1, 0};
    const std::vector<BYTE> requestSense = {0x03, 0, 0, 0, 18, 0}, twoBlocks = {0x28, 0, 0, 0, 0, 0, 0, 0, 2, 0};
    const DWORD inquiryLength = ~0u;  // what the INQUIRY data's additional length says
    const struct {
        std::vector<BYTE> cdb;
        DWORD length;
        BYTE senseLength, status;
        DWORD moved;
        BYTE senseMoved;
        uint32_t sense;  // key, ASC, ASCQ of the sense bytes, or of REQUEST SENSE's data
    } steps[] = {
        {pastEnd, 512, 32, 2, 0, 18, 0x052100},
        {requestSense, 18, 0, 0, 18, 0, 0},  // delivered with the status: not kept
        {pastEnd, 512, 0, 2, 0, 0, 0},
        {requestSense, 18, 0, 0, 18, 0, 0x052100},  // kept for the caller that took none
        {pastEnd, 512, 0, 2, 0, 0, 0},
        {{0, 0, 0, 0, 0, 0}, 0, 0, 0, 0, 0, 0},
        {requestSense, 18, 0, 0, 18, 0, 0},  // ended by the command between
        {twoBlocks, 512, 32, 0, 512, 0, 0},
        {{0x12, 0, 0, 0, 255, 0}, 255, 32, 0, inquiryLength, 0, 0},
    };
    HANDLE disk = devices_test::DevicesTest::Open("PhysicalDrive0");
    for (const auto& s : steps) {
        SCOPED_TRACE("opcode " + std::to_string(s.cdb[0]) + ", buffer " + std::to_string(s.length));
        std::vector<BYTE> data(s.length);
        devices_test::DirectRequest request =
            devices_test::MakeDirect(s.cdb, SCSI_IOCTL_DATA_IN, data.data(), s.length, s.senseLength);
        ASSERT_EQ(devices_test::SendDirect(disk, request), 0u);
        const SCSI_PASS_THROUGH_DIRECT& answer = request.Header();
        EXPECT_EQ(answer.ScsiStatus, s.status);
        EXPECT_EQ(answer.DataTransferLength, s.moved == inquiryLength ? data[4] + 5u : s.moved);
        EXPECT_EQ(answer.SenseInfoLength, s.senseMoved);
        const BYTE* sense = s.cdb[0] == 0x03 ? data.data() : s.senseLength != 0 ? request.Sense() : nullptr;
        EXPECT_EQ(sense != nullptr ? SenseCode(sense) : s.sense, s.sense);
    }
    CloseHandle(disk);
}

TEST_P(RealPassThrough, AnotherInitiatorsReservationConflicts) {
    InstallTarget(0);
    LibiscsiUnit holder;
    std::string error;
    ASSERT_TRUE(OpenLibiscsiUnit(Url(DiskTarget), holder, error)) << error;
    std::shared_ptr<void> release(nullptr, [&](void*) {
        scsi_free_scsi_task(iscsi_release6_sync(holder.context, holder.lun));
        CloseLibiscsiUnit(holder);
    });
    scsi_task* reserve = iscsi_reserve6_sync(holder.context, holder.lun);
    ASSERT_TRUE(reserve != nullptr && reserve->status == SCSI_STATUS_GOOD) << iscsi_get_error(holder.context);
    scsi_free_scsi_task(reserve);
    BYTE block[512];
    ExecRequest request;
    Execute(request, DiskTarget, SRB_DIR_IN, {0x28, 0, 0, 0, 0, 0, 0, 0, 1, 0}, block, sizeof block);
    EXPECT_EQ(request.Srb.SRB_Status, SS_ERR);
    EXPECT_EQ(request.Srb.SRB_TargStat, 0x18);
}

INSTANTIATE_TEST_SUITE_P(Builds, RealPassThrough, ::testing::Values(Build::SharedObject), BuildName);

}  // namespace
}  // namespace iscsitest

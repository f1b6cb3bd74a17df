// The mapping of a pass-through's outcome to ASPI status, row by row.
#include "execution/execute_srb.h"
#include "execution/status_mapping.h"
#include "ptaspi32.h"

#include <gtest/gtest.h>

namespace {

TEST(StatusMappingTest, TargetStatusRows) {
    struct Row {
        BYTE rawStatus, senseLength, firstSenseByte, status, targetStatus;
        bool requestSense;
    } const rows[] = {
        // GOOD: sense bytes turn it into CHECK CONDITION, but only when the
        // caller has a sense area at all.
        {0x00, 18, 0x70, SS_ERR, 0x02, false},
        {0x00, 18, 0x00, SS_COMP, 0x00, false},
        {0x00, 0, 0x70, SS_COMP, 0x00, false},
        {0x00, 1, 0xF0, SS_ERR, 0x02, false},
        // CHECK CONDITION: the library fetches sense only when the caller
        // wants it and autosense left none.
        {0x02, 18, 0x00, SS_ERR, 0x02, true},
        {0x02, 18, 0x70, SS_ERR, 0x02, false},
        {0x02, 0, 0x00, SS_ERR, 0x02, false},
        {0x02, 255, 0x00, SS_ERR, 0x02, true},
        // CONDITION MET completes whatever the sense area holds.
        {0x04, 18, 0x70, SS_COMP, 0x04, false},
        {0x04, 0, 0x00, SS_COMP, 0x04, false},
        // Every other status is an error with the status kept as it is.
        {0x08, 18, 0x00, SS_ERR, 0x08, false},
        {0x10, 18, 0x00, SS_ERR, 0x10, false},
        {0x14, 0, 0x00, SS_ERR, 0x14, false},
        {0x18, 18, 0x70, SS_ERR, 0x18, false},
        {0x1E, 0, 0x00, SS_ERR, 0x1E, false},
        // The later statuses: COMMAND TERMINATED ends like CHECK CONDITION;
        // TASK SET FULL, ACA ACTIVE and TASK ABORTED left the command
        // unexecuted, as BUSY does. None of them completes.
        {0x22, 18, 0x00, SS_ERR, 0x02, true},
        {0x28, 18, 0x00, SS_ERR, 0x08, false},
        {0x30, 18, 0x00, SS_ERR, 0x08, false},
        {0x40, 18, 0x00, SS_ERR, 0x08, false},
        {0x40, 0, 0x00, SS_ERR, 0x08, false},
        // SCSI-1's vendor-unique bits (0 and 5-7) are masked off.
        {0x41, 18, 0x00, SS_COMP, 0x00, false},
        {0x01, 18, 0x00, SS_COMP, 0x00, false},
        {0xFF, 0, 0x00, SS_ERR, 0x1E, false},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(testing::Message() << "status " << int(row.rawStatus) << " senseLength "
                                        << int(row.senseLength) << " first "
                                        << int(row.firstSenseByte));
        const TargetStatusMapping mapping = MapTargetStatus(
            MaskTargetStatus(row.rawStatus), row.senseLength, row.firstSenseByte);
        EXPECT_EQ(mapping.Status, row.status);
        EXPECT_EQ(mapping.TargetStatus, row.targetStatus);
        EXPECT_EQ(mapping.RequestSense, row.requestSense);
    }
}

TEST(StatusMappingTest, PlatformErrorRows) {
    struct Row {
        DWORD error;
        DWORD length;
        BYTE expected;
    } const rows[] = {
        {ERROR_INVALID_PARAMETER, 0xF000, SS_ERR},
        {ERROR_INVALID_PARAMETER, 0xF001, SS_BUFFER_TO_BIG},
        {ERROR_INVALID_PARAMETER, 0, SS_ERR},
        {ERROR_INVALID_PARAMETER, 0xFFFFFFFFUL, SS_BUFFER_TO_BIG},
        {ERROR_IO_DEVICE, 0, SS_ILLEGAL_MODE},
        {ERROR_IO_DEVICE, 0x100000, SS_ILLEGAL_MODE},
        {ERROR_ACCESS_DENIED, 0x100000, SS_ERR},
        {ERROR_INVALID_FUNCTION, 512, SS_ERR},
        {0, 0x100000, SS_ERR},
        {ERROR_NOACCESS, 512, SS_ERR},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(testing::Message() << "error " << row.error << " length " << row.length);
        EXPECT_EQ(MapPlatformError(row.error, row.length), row.expected);
    }
}

}  // namespace

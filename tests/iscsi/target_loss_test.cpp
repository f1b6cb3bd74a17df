// A target that stops answering, dies under a running command or restarts
// between commands: the command ends in error within the unit's time-out
// (at once for a lost connection), never hangs, and once tgtd is back on
// the same port the next commands succeed.
#include "iscsi/iscsi_fixture.h"

#include <chrono>

namespace iscsitest {
namespace {

const unsigned timeoutSeconds = 6;

class TargetLoss : public IscsiTest {
protected:
    void SetUp() override {
        IscsiTest::SetUp();
        if (IsSkipped() || HasFatalFailure()) return;
        InstallTarget(timeoutSeconds);
    }

    // Whatever happened, the daemon runs again for the tests that follow.
    void TearDown() override {
        if (disturbed_) {
            EXPECT_EQ(TargetScript("restart"), 0);
        }
        IscsiTest::TearDown();
    }

    bool disturbed_ = false;
};

TEST_P(TargetLoss, CommandsFailWithinTheTimeOutAndSucceedAfterRestart) {
    const struct {
        const char* step;
        const char* before;  // iscsi-target.sh action before the command, or ""
        const char* during;  // action 300 ms after it started, or ""
        BYTE status;
        uint32_t sense;  // key, ASC, ASCQ of a CHECK CONDITION; 0: none
        double atMostSeconds;
    } steps[] = {
        {"answering", "", "", SS_COMP, 0, 2},
        {"frozen: the command times out", "pause", "", SS_ERR, 0, timeoutSeconds + 2.0},
        // A new session meets the target's reset (POWER ON, RESET, OR BUS
        // DEVICE RESET OCCURRED) at its first command, as a real one does.
        {"running again: a new login", "resume", "", SS_ERR, 0x062900, 2},
        {"answering on the new session", "", "", SS_COMP, 0, 2},
        {"frozen, then killed while the command is in it", "pause", "kill", SS_ERR, 0, timeoutSeconds - 1.5},
        {"gone: the login is refused", "", "", SS_ERR, 0, 2},
        {"restarted on the same port", "restart", "", SS_ERR, 0x062900, timeoutSeconds + 2.0},
        {"then answering again", "", "", SS_COMP, 0, 2},
        {"restarted between commands: found before sending", "restart", "", SS_ERR, 0x062900, 2},
        {"answering after it", "", "", SS_COMP, 0, 2},
    };
    const std::vector<uint8_t> expected = FileBytes(Folder() + "/disk.img", 0, 4096);
    ASSERT_EQ(expected.size(), 4096u);
    for (const auto& s : steps) {
        SCOPED_TRACE(s.step);
        if (*s.before != '\0') {
            disturbed_ = true;
            ASSERT_EQ(TargetScript(s.before), 0);
        }
        std::vector<BYTE> buffer(4096, 0xEE);
        HANDLE event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
        ExecRequest request;
        const BYTE read10[10] = {0x28, 0, 0, 0, 0, 0, 0, 0, 8, 0};
        PrepareExec(request, 0, DiskTarget, 0, SRB_DIR_IN | SRB_EVENT_NOTIFY, read10, 10,
                    buffer.data(), static_cast<DWORD>(buffer.size()));
        request.Srb.SRB_PostProc = event;
        const auto start = std::chrono::steady_clock::now();
        Send(&request.Srb);
        if (*s.during != '\0') {
            Sleep(300);
            EXPECT_EQ(request.Srb.SRB_Status, SS_PENDING) << "ended before tgtd was " << s.during;
            ASSERT_EQ(TargetScript(s.during), 0);
        }
        const DWORD waited = WaitForSingleObject(event, DWORD(s.atMostSeconds * 1000));
        const double seconds =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        CloseHandle(event);
        ASSERT_EQ(waited, WAIT_OBJECT_0) << "still pending after " << seconds << " s";
        EXPECT_EQ(request.Srb.SRB_Status, s.status) << "after " << seconds << " s";
        EXPECT_EQ(request.Srb.SRB_TargStat, s.sense != 0 ? 0x02 : 0)
            << "sense " << std::hex << SenseCode(request.Sense);
        if (s.sense != 0) {
            EXPECT_EQ(SenseCode(request.Sense), s.sense) << std::hex << SenseCode(request.Sense);
        }
        if (s.status == SS_COMP) {
            EXPECT_TRUE(buffer == expected) << "the data read differs";
        }
    }
}

LIBRARY_TEST_SUITE(TargetLoss);

}  // namespace
}  // namespace iscsitest

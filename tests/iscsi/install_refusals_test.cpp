// Installs that fail, each naming the unit's place in the file: a LUN the
// target does not have, a drive letter on a unit that is no CD-ROM, and a
// target frozen at the login, whose wait ends within the unit's timeout_s.
#include "iscsi/iscsi_fixture.h"

#include <chrono>

namespace iscsitest {
namespace {

class InstallRefusal : public IscsiTest {
protected:
    void TearDown() override {
        EXPECT_EQ(paused_ ? TargetScript("resume") : 0, 0);
        IscsiTest::TearDown();
    }
    bool paused_ = false;
};

TEST_P(InstallRefusal, NamesTheUnit) {
    const struct {
        const char *lun, *members, *action, *message;
    } cases[] = {
        {"9", "", "", ": the target has no logical unit 9"},
        {"1", R"("drive": "F", )", "", ": drive F: the unit is no CD-ROM (it reports peripheral device type 0)"},
        {"1", "", "pause", ": login did not finish in time (2 s allowed)"},
    };
    const std::string disk = Url(DiskTarget), target = disk.substr(0, disk.rfind('/') + 1);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.message);
        paused_ = paused_ || *c.action != '\0';
        ASSERT_EQ(*c.action != '\0' ? TargetScript(c.action) : 0, 0);
        sim::Machine machine;
        std::string error;
        ASSERT_TRUE(sim::ParseMachine(std::string(R"({"ports": [{"buses": [{"units": [{"target": 0, "lun": 0, )") +
                                          c.members + R"("backend": {"type": "iscsi", "timeout_s": 2, "url": ")" +
                                          target + c.lun + "\"}}]}]}]}",
                                      machine, error)) << error;
        const auto start = std::chrono::steady_clock::now();
        EXPECT_FALSE(sim::InstallMachine(machine, error));
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
        EXPECT_EQ(error.rfind("ports[0].buses[0].units[0]: ", 0), 0u) << error;
        EXPECT_NE(error.find(c.message), std::string::npos) << error;
    }
}

INSTANTIATE_TEST_SUITE_P(Builds, InstallRefusal, ::testing::Values(Build::SharedObject), BuildName);

}  // namespace
}  // namespace iscsitest

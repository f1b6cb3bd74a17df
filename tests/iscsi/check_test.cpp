// aspitool check on the real iSCSI units: every check passes, on both
// builds of the library.
#include "iscsi/iscsi_fixture.h"

namespace iscsitest {
namespace {

class ToolCheck : public IscsiTest {};

TEST_P(ToolCheck, EveryCheckPasses) {
    int exitCode = -1;
    const std::string out = RunCommand(std::string(PTASPI_BINARY_DIR) + "/tools/aspitool --library '" +
                                           LibraryPath(GetParam()) + "' --machine '" + machinePath_ +
                                           "' check 2>&1",
                                       &exitCode);
    EXPECT_EQ(exitCode, 0) << out;
    EXPECT_NE(out.find(" 0 failed, "), std::string::npos) << out;
    EXPECT_NE(out.find("PASS  unit 0:0:0  read the maximum transfer"), std::string::npos) << out;
}

LIBRARY_TEST_SUITE(ToolCheck);

}  // namespace
}  // namespace iscsitest

// aspitool copies the real CD-ROM unit's whole medium into a file that is
// the ISO image the target serves, byte for byte.
#include "iscsi/iscsi_fixture.h"

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

LIBRARY_TEST_SUITE(CdImage);

}  // namespace
}  // namespace iscsitest

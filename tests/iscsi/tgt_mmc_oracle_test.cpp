// The emulated CD/DVD reader against tgt's CD/DVD unit on a copy of the
// same ISO image: every MMC command the reader answers, and commands it
// must refuse, sent to both in the same order.
#include "iscsi/tgt_oracle.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>

namespace iscsitest {
namespace {

std::vector<uint8_t> Cdb10(uint8_t opcode, uint32_t lba, uint16_t count) {
    return {opcode, 0, uint8_t(lba >> 24), uint8_t(lba >> 16), uint8_t(lba >> 8), uint8_t(lba),
            0, uint8_t(count >> 8), uint8_t(count), 0};
}

std::vector<OracleCommand> MmcCommands() {
    return {
        NoData("TEST UNIT READY", {0x00, 0, 0, 0, 0, 0}),
        DataIn("INQUIRY", {0x12, 0, 0, 0, 36, 0}, 36),
        // Not compared: tgt's READ CAPACITY and MECHANISM STATUS answers vary
        // between runs against one tgtd (a last LBA one past the image's end;
        // stale bytes left with its refusal); the unit tests pin the
        // emulated answers.
        DataIn("READ(10)", Cdb10(0x28, 16, 2), 4096),
        DataIn("READ(12)", {0xA8, 0, 0, 0, 0, 16, 0, 0, 0, 1, 0, 0}, 2048),
        // Not sent: READ(10) past the end. tgt's CD unit answers it with a
        // MEDIUM ERROR and from then on reports one block more than its
        // image holds, which breaks every later test on the same target;
        // the unit tests pin the emulated LOGICAL BLOCK ADDRESS OUT OF RANGE.
        DataIn("READ TOC format 0", {0x43, 0, 0, 0, 0, 0, 0, 0, 100, 0}, 100),
        DataIn("READ TOC format 0 MSF", {0x43, 2, 0, 0, 0, 0, 0, 0, 100, 0}, 100),
        DataIn("READ TOC format 1", {0x43, 0, 1, 0, 0, 0, 0, 0, 100, 0}, 100),
        DataIn("GET CONFIGURATION header", {0x46, 0, 0, 0, 0, 0, 0, 0, 8, 0}, 8),
        DataIn("GET CONFIGURATION core feature", {0x46, 2, 0, 1, 0, 0, 0, 0, 16, 0}, 16),
        DataIn("GET EVENT STATUS media", {0x4A, 1, 0, 0, 0x10, 0, 0, 0, 8, 0}, 8),
        DataIn("READ DISC INFORMATION", {0x51, 0, 0, 0, 0, 0, 0, 0, 34, 0}, 34),
        DataIn("READ TRACK INFORMATION track 1", {0x52, 1, 0, 0, 0, 1, 0, 0, 36, 0}, 36),
        DataIn("MODE SENSE(10) capabilities", {0x5A, 8, 0x2A, 0, 0, 0, 0, 0, 255, 0}, 255),
        NoData("SET CD SPEED", {0xBB, 0, 0xFF, 0xFF, 0xFF, 0xFF, 0, 0, 0, 0, 0, 0}),
        DataIn("READ SUB-CHANNEL header", {0x42, 0, 0, 0, 0, 0, 0, 0, 4, 0}, 4),
        DataIn("READ CD user data", {0xBE, 0, 0, 0, 0, 16, 0, 0, 1, 0x10, 0, 0}, 2048),
        NoData("PREVENT MEDIUM REMOVAL", {0x1E, 0, 0, 0, 1, 0}),
        NoData("ALLOW MEDIUM REMOVAL", {0x1E, 0, 0, 0, 0, 0}),
        NoData("START STOP UNIT start", {0x1B, 0, 0, 0, 1, 0}),
        NoData("refused: opcode 0xFF", {0xFF, 0, 0, 0, 0, 0}),
        DataOut("refused: WRITE(10) on a read-only disc", Cdb10(0x2A, 16, 1), std::vector<uint8_t>(2048, 0)),
        DataIn("REQUEST SENSE after a refusal", {0x03, 0, 0, 0, 18, 0}, 18),
        DataIn("READ(10) after the refusals", Cdb10(0x28, 17, 1), 2048),
    };
}

// Where the two drives may differ: what MMC leaves to the drive.
std::vector<AllowedDifference> MmcDifferences() {
    const char* tocLength = "MMC-5 READ TOC/PMA/ATIP response: the TOC data length counts the bytes after "
                            "itself; tgt sends two bytes fewer than its length field gives";
    const char* notOffered = "MMC-5 features: the command belongs to a feature the drive may leave out (CD "
                             "Read, CD audio, changer and event status); tgt's drive has none";
    return {
        {"INQUIRY", OracleField::Data, 3, 8, false,
         "SPC-3 6.4.2: HiSup, CmdQue, the additional length and the version descriptors are the device's"},
        {"READ TOC format 0", OracleField::Data, 16, 20, true, tocLength},
        {"READ TOC format 0 MSF", OracleField::Data, 16, 20, true, tocLength},
        {"READ TOC format 1", OracleField::Data, 10, 12, true, tocLength},
        {"GET CONFIGURATION header", OracleField::Data, 0, 8, false,
         "MMC-5 GET CONFIGURATION: the current profile is the medium's; an image that fits a CD is a CD-ROM "
         "here and a DVD-ROM in tgt, whose feature lists differ in length"},
        {"GET CONFIGURATION core feature", OracleField::Data, 0, 16, false,
         "MMC-5 Core feature: version 2 with 8 bytes (DBE, INQ2) against MMC-3's version 0; the physical "
         "interface standard is the device's own"},
        {"GET EVENT STATUS media", OracleField::Sense, 0, 0, false, notOffered},
        {"GET EVENT STATUS media", OracleField::Data, 0, 8, true, notOffered},
        {"READ DISC INFORMATION", OracleField::Data, 16, 24, false,
         "MMC-5 disc information: the last session's lead-in start and the last possible lead-out start "
         "are FFFFFFFFh on a complete disc; tgt gives 0"},
        {"READ TRACK INFORMATION track 1", OracleField::Data, 1, 36, false,
         "MMC-5 track information: MMC-5's 48-byte block against MMC-3's 36; LRA_V and the fixed packet "
         "size (a DVD's blocking factor 16, a CD's 0) follow the medium"},
        {"MODE SENSE(10) capabilities", OracleField::Data, 0, 72, true,
         "MMC-5 capabilities page 2Ah: the drive's own capabilities, speeds and write speed descriptors"},
        {"READ SUB-CHANNEL header", OracleField::Sense, 0, 0, false, notOffered},
        {"READ SUB-CHANNEL header", OracleField::Data, 0, 4, true, notOffered},
        {"READ CD user data", OracleField::Sense, 0, 0, false, notOffered},
        {"READ CD user data", OracleField::Data, 0, 2048, true, notOffered},
        {"refused: WRITE(10) on a read-only disc", OracleField::Sense, 0, 0, false,
         "MMC-5 writing features: a drive without one does not implement WRITE (INVALID COMMAND OPERATION "
         "CODE); tgt's drive writes DVD+R and refuses this medium (CANNOT WRITE MEDIUM)"},
    };
}

TEST(TgtOracle, CdRomAgreesWithTgtsCdRom) {
    std::string folder;
    const std::string url = TgtUnitUrl(1, folder);
    if (url.empty()) GTEST_SKIP() << "no iSCSI target: run through ctest with tgt installed";
    const std::string copy = folder + "/oracle-cd.iso";
    ASSERT_EQ(std::system(("cp '" + folder + "/cd.iso' '" + copy + "'").c_str()), 0);
    std::string error;
    auto emulated = OracleBackend(R"({"inquiry": {"vendor": "IET", "product": "VIRTUAL-CDROM", "revision": "0001"},
        "backend": {"type": "cdrom", "image": ")" + copy + R"("}})", error);
    ASSERT_TRUE(emulated) << error;
    auto reference = OracleBackend(R"({"backend": {"type": "iscsi", "url": ")" + url + R"("}})", error);
    ASSERT_TRUE(reference) << error;

    const OracleReport report = CompareUnits(*emulated, *reference, MmcCommands(), MmcDifferences());
    std::string text;
    for (const std::string& line : report.allowed) text += "  allowed: " + line + "\n";
    for (const std::string& line : report.failures) text += "  differs: " + line + "\n";
    for (const std::string& line : report.unused) text += "  listed but not met: " + line + "\n";
    std::printf("cdrom: %zu commands compared, %zu agreed\n%s", report.compared, report.agreed, text.c_str());
    EXPECT_TRUE(report.failures.empty() && report.unused.empty()) << text;
    std::remove(copy.c_str());
}

}  // namespace
}  // namespace iscsitest

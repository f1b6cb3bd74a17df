// The emulated disk against tgt's disk on a copy of the same image: every
// command the emulated disk answers, and commands it must refuse, sent to
// both in the same order.
#include "iscsi/tgt_oracle.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>

namespace iscsitest {
namespace {

constexpr uint32_t Blocks = 64 * 2048;  // the target's 64 MiB disk.img in 512-byte blocks

std::vector<uint8_t> Cdb10(uint8_t opcode, uint32_t lba, uint16_t count, uint8_t byte1 = 0) {
    return {opcode, byte1, uint8_t(lba >> 24), uint8_t(lba >> 16), uint8_t(lba >> 8), uint8_t(lba),
            0, uint8_t(count >> 8), uint8_t(count), 0};
}
std::vector<uint8_t> Cdb12(uint8_t opcode, uint32_t lba, uint32_t count) {
    return {opcode, 0, uint8_t(lba >> 24), uint8_t(lba >> 16), uint8_t(lba >> 8), uint8_t(lba),
            uint8_t(count >> 24), uint8_t(count >> 16), uint8_t(count >> 8), uint8_t(count), 0, 0};
}
std::vector<uint8_t> Cdb16(uint8_t opcode, uint64_t lba, uint32_t count) {
    std::vector<uint8_t> cdb(16, 0);
    cdb[0] = opcode;
    for (int i = 0; i < 8; ++i) cdb[2 + i] = uint8_t(lba >> (56 - 8 * i));
    for (int i = 0; i < 4; ++i) cdb[10 + i] = uint8_t(count >> (24 - 8 * i));
    return cdb;
}
std::vector<uint8_t> Bytes(size_t count, uint8_t seed) {
    std::vector<uint8_t> bytes(count);
    for (size_t i = 0; i < count; ++i) bytes[i] = uint8_t(seed + i * 7 + (i >> 9));
    return bytes;
}

std::vector<OracleCommand> DiskCommands() {
    return {
        NoData("TEST UNIT READY", {0x00, 0, 0, 0, 0, 0}),
        DataIn("INQUIRY", {0x12, 0, 0, 0, 96, 0}, 96),
        DataIn("INQUIRY VPD supported pages", {0x12, 1, 0x00, 0, 255, 0}, 255),
        DataIn("INQUIRY VPD block limits", {0x12, 1, 0xB0, 0, 255, 0}, 255),
        DataIn("INQUIRY VPD page not kept", {0x12, 1, 0xC7, 0, 255, 0}, 255),
        DataIn("INQUIRY page code without EVPD", {0x12, 0, 0x80, 0, 255, 0}, 255),
        DataIn("READ CAPACITY(10)", {0x25, 0, 0, 0, 0, 0, 0, 0, 0, 0}, 8),
        DataIn("READ CAPACITY(16)", {0x9E, 0x10, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 32, 0, 0}, 32),
        DataIn("READ CAPACITY(10) PMI without LBA", {0x25, 0, 0, 0, 0, 1, 0, 0, 1, 0}, 8),
        DataIn("MODE SENSE(6) caching", {0x1A, 0, 0x08, 0, 255, 0}, 255),
        DataIn("MODE SENSE(6) control", {0x1A, 0, 0x0A, 0, 255, 0}, 255),
        DataIn("MODE SENSE(6) read-write error recovery", {0x1A, 0, 0x01, 0, 255, 0}, 255),
        DataIn("MODE SENSE(6) changeable caching", {0x1A, 0, 0x48, 0, 255, 0}, 255),
        DataIn("MODE SENSE(6) default caching", {0x1A, 0, 0x88, 0, 255, 0}, 255),
        DataIn("MODE SENSE(10) caching", {0x5A, 0, 0x08, 0, 0, 0, 0, 1, 0, 0}, 256),
        DataIn("MODE SENSE(10) control without block descriptors", {0x5A, 8, 0x0A, 0, 0, 0, 0, 1, 0, 0}, 256),
        DataIn("MODE SENSE(6) page not kept", {0x1A, 0, 0x2B, 0, 255, 0}, 255),
        DataIn("MODE SENSE(10) page not kept", {0x5A, 0, 0x2B, 0, 0, 0, 0, 1, 0, 0}, 256),
        DataOut("WRITE(10)", Cdb10(0x2A, 100, 4), Bytes(2048, 1)),
        DataIn("READ(10)", Cdb10(0x28, 100, 4), 2048),
        DataOut("WRITE(6)", {0x0A, 0, 0, 200, 2, 0}, Bytes(1024, 2)),
        DataIn("READ(6)", {0x08, 0, 0, 200, 2, 0}, 1024),
        DataOut("WRITE(12)", Cdb12(0xAA, 300, 3), Bytes(1536, 3)),
        DataIn("READ(12)", Cdb12(0xA8, 300, 3), 1536),
        DataOut("WRITE(16)", Cdb16(0x8A, Blocks - 2, 2), Bytes(1024, 4)),
        DataIn("READ(16)", Cdb16(0x88, Blocks - 2, 2), 1024),
        DataIn("READ(10) no blocks", Cdb10(0x28, 100, 0), 0),
        DataIn("READ(10) past the end", Cdb10(0x28, Blocks - 1, 2), 1024),
        DataIn("READ(10) at the end", Cdb10(0x28, Blocks, 1), 512),
        DataIn("READ(16) LBA wrapping", Cdb16(0x88, ~0ull, 2), 1024),
        DataIn("READ(12) count wrapping", Cdb12(0xA8, 2, 0xFFFFFFFF), 512),
        DataIn("REQUEST SENSE after a refusal", {0x03, 0, 0, 0, 18, 0}, 18),
        DataIn("REQUEST SENSE with nothing pending", {0x03, 0, 0, 0, 18, 0}, 18),
        DataOut("WRITE(10) past the end", Cdb10(0x2A, Blocks - 1, 2), Bytes(1024, 5)),
        NoData("VERIFY(10)", Cdb10(0x2F, 100, 4)),
        NoData("VERIFY(10) past the end", Cdb10(0x2F, Blocks - 1, 2)),
        NoData("SYNCHRONIZE CACHE(10)", Cdb10(0x35, 0, 0)),
        NoData("SYNCHRONIZE CACHE(10) past the end", Cdb10(0x35, Blocks, 1)),
        NoData("START STOP UNIT start", {0x1B, 0, 0, 0, 1, 0}),
        NoData("PREVENT MEDIUM REMOVAL", {0x1E, 0, 0, 0, 1, 0}),
        NoData("ALLOW MEDIUM REMOVAL", {0x1E, 0, 0, 0, 0, 0}),
        NoData("refused: opcode 0xFF", {0xFF, 0, 0, 0, 0, 0}),
        NoData("refused: opcode 0x02", {0x02, 0, 0, 0, 0, 0}),
        DataIn("refused: READ LONG(10)", {0x3E, 0, 0, 0, 0, 0, 0, 0, 0, 0}, 0),
        NoData("refused: SERVICE ACTION IN unknown action", {0x9E, 0x1F, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}),
        DataIn("READ(10) after the refusals", Cdb10(0x28, 100, 1), 512),
    };
}

// Where the two disks may differ: what each leaves open to the device.
std::vector<AllowedDifference> DiskDifferences() {
    const char* modePages = "SPC-3 and SBC-2 mode parameters: the pages' values are the device's own; PS set "
                            "since the emulated disk saves its pages";
    const char* descriptor = "SBC-2 short LBA block descriptor: the block count of the short LBA descriptor (tgt gives 0)";
    return {
        {"INQUIRY", OracleField::Data, 3, 8, true,
         "SPC-3 6.4.2: HiSup, CmdQue, the additional length and the version descriptors are the device's"},
        {"INQUIRY VPD supported pages", OracleField::Data, 3, 10, true,
         "SPC-3 supported VPD pages page: tgt also lists SBC-3's pages B1h and B2h"},
        {"INQUIRY VPD block limits", OracleField::Data, 3, 64, true,
         "SBC-2 block limits VPD page: of 12 bytes against SBC-3's 60; tgt sets no transfer limit"},
        {"READ CAPACITY(16)", OracleField::Data, 13, 14, false,
         "SBC-3 READ CAPACITY(16): LOGICAL BLOCKS PER PHYSICAL BLOCK EXPONENT, reserved in SBC-2"},
        {"MODE SENSE(6) caching", OracleField::Data, 4, 8, false, descriptor},
        {"MODE SENSE(6) caching", OracleField::Data, 12, 32, false, modePages},
        {"MODE SENSE(6) control", OracleField::Data, 4, 8, false, descriptor},
        {"MODE SENSE(6) control", OracleField::Data, 12, 24, false, modePages},
        {"MODE SENSE(6) changeable caching", OracleField::Data, 4, 8, false, descriptor},
        {"MODE SENSE(6) changeable caching", OracleField::Data, 12, 32, false,
         "SBC-2 caching page: RCD changeable besides WCE"},
        {"MODE SENSE(6) default caching", OracleField::Data, 4, 8, false, descriptor},
        {"MODE SENSE(6) default caching", OracleField::Data, 12, 32, false, modePages},
        {"MODE SENSE(10) caching", OracleField::Data, 8, 12, false, descriptor},
        {"MODE SENSE(10) caching", OracleField::Data, 16, 36, false, modePages},
        {"MODE SENSE(10) control without block descriptors", OracleField::Data, 8, 20, false, modePages},
        {"MODE SENSE(6) read-write error recovery", OracleField::Sense, 0, 0, false,
         "SBC-2 read-write error recovery page: the read-write error recovery page is optional; tgt keeps none"},
        {"MODE SENSE(6) read-write error recovery", OracleField::Data, 0, 24, true,
         "SBC-2 read-write error recovery page: the read-write error recovery page is optional; tgt keeps none"},
        {"VERIFY(10) past the end", OracleField::Sense, 0, 0, false,
         "SBC-2 VERIFY(10): a range past the capacity is LOGICAL BLOCK ADDRESS OUT OF RANGE; tgt does not check"},
        {"SYNCHRONIZE CACHE(10) past the end", OracleField::Sense, 0, 0, false,
         "SBC-2 SYNCHRONIZE CACHE(10): a range past the capacity is LOGICAL BLOCK ADDRESS OUT OF RANGE; tgt does not check"},
    };
}

TEST(TgtOracle, DiskAgreesWithTgtsDisk) {
    std::string folder;
    const std::string url = TgtUnitUrl(0, folder);
    if (url.empty()) GTEST_SKIP() << "no iSCSI target: run through ctest with tgt installed";
    // A copy of the image the target serves, so that the emulated disk and
    // tgt's start from the same blocks and write their own.
    const std::string copy = folder + "/oracle-disk.img";
    ASSERT_EQ(std::system(("cp '" + folder + "/disk.img' '" + copy + "'").c_str()), 0);
    std::string error;
    auto emulated = OracleBackend(R"({"inquiry": {"vendor": "IET", "product": "VIRTUAL-DISK", "revision": "0001"},
        "backend": {"type": "disk", "blocks": )" + std::to_string(Blocks) + R"(, "file": ")" + copy + R"("}})",
                                  error);
    ASSERT_TRUE(emulated) << error;
    auto reference = OracleBackend(R"({"backend": {"type": "iscsi", "url": ")" + url + R"("}})", error);
    ASSERT_TRUE(reference) << error;

    const OracleReport report = CompareUnits(*emulated, *reference, DiskCommands(), DiskDifferences());
    std::string text;
    for (const std::string& line : report.allowed) text += "  allowed: " + line + "\n";
    for (const std::string& line : report.failures) text += "  differs: " + line + "\n";
    for (const std::string& line : report.unused) text += "  listed but not met: " + line + "\n";
    std::printf("disk: %zu commands compared, %zu agreed\n%s", report.compared, report.agreed, text.c_str());
    EXPECT_TRUE(report.failures.empty() && report.unused.empty()) << text;
    std::remove(copy.c_str());
}

}  // namespace
}  // namespace iscsitest

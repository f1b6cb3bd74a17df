// The emulated tape against tgt's tape: a backup-like sequence of records
// and filemarks written from the beginning, then read, spaced and located
// back, with the sense at filemarks, end of data and blocks of another
// length, and the commands a tape must refuse.
#include "iscsi/tgt_oracle.h"

#include <gtest/gtest.h>

namespace iscsitest {
namespace {

std::vector<uint8_t> Six(uint8_t opcode, uint8_t byte1, uint32_t length) {
    return {opcode, byte1, uint8_t(length >> 16), uint8_t(length >> 8), uint8_t(length), 0};
}
std::vector<uint8_t> Record(size_t count, uint8_t seed) {
    std::vector<uint8_t> bytes(count);
    for (size_t i = 0; i < count; ++i) bytes[i] = uint8_t(seed * 31 + i);
    return bytes;
}
std::vector<uint8_t> Locate(uint32_t address) {
    return {0x2B, 0, 0, uint8_t(address >> 24), uint8_t(address >> 16), uint8_t(address >> 8), uint8_t(address), 0, 0, 0};
}

std::vector<OracleCommand> TapeCommands() {
    const std::vector<uint8_t> rewind = {0x01, 0, 0, 0, 0, 0};
    const std::vector<uint8_t> position = {0x34, 0, 0, 0, 0, 0, 0, 0, 0, 0};
    return {
        NoData("TEST UNIT READY", {0x00, 0, 0, 0, 0, 0}),
        NoData("REWIND", rewind),
        DataIn("READ BLOCK LIMITS", {0x05, 0, 0, 0, 0, 0}, 6),
        DataIn("READ POSITION at the beginning", position, 20),
        DataOut("WRITE variable 1000", Six(0x0A, 0, 1000), Record(1000, 1)),
        DataOut("WRITE variable 10", Six(0x0A, 0, 10), Record(10, 2)),
        NoData("WRITE FILEMARKS 1", Six(0x10, 0, 1)),
        DataOut("WRITE variable 4096", Six(0x0A, 0, 4096), Record(4096, 3)),
        DataOut("WRITE variable 512", Six(0x0A, 0, 512), Record(512, 4)),
        NoData("WRITE FILEMARKS 2", Six(0x10, 0, 2)),
        DataOut("WRITE variable 300", Six(0x0A, 0, 300), Record(300, 5)),
        DataIn("READ POSITION after writing", position, 20),
        NoData("REWIND again", rewind),
        DataIn("READ the first record", Six(0x08, 0, 1000), 1000),
        DataIn("READ shorter than the record", Six(0x08, 0, 4), 4),
        DataIn("READ at the filemark", Six(0x08, 0, 100), 100),
        DataIn("READ longer than the record", Six(0x08, 0, 5000), 5000),
        DataIn("READ with SILI shorter than the record", Six(0x08, 2, 100), 100),
        DataIn("READ at the second filemark", Six(0x08, 0, 100), 100),
        NoData("SPACE back one filemark", Six(0x11, 1, 0xFFFFFF)),
        DataIn("READ POSITION after spacing back", position, 20),
        NoData("SPACE forward two filemarks", Six(0x11, 1, 2)),
        DataIn("READ the last record", Six(0x08, 0, 300), 300),
        DataIn("READ at the end of data", Six(0x08, 0, 300), 300),
        NoData("REWIND a third time", rewind),
        NoData("SPACE three blocks into the filemark", Six(0x11, 0, 3)),
        NoData("SPACE back two blocks into the filemark", Six(0x11, 0, 0xFFFFFE)),
        NoData("SPACE to the end of data", Six(0x11, 3, 0)),
        DataIn("READ POSITION at the end of data", position, 20),
        NoData("SPACE forward at the end of data", Six(0x11, 0, 1)),
        NoData("LOCATE the fourth object", Locate(3)),
        DataIn("READ after LOCATE", Six(0x08, 0, 4096), 4096),
        NoData("LOCATE past the end of data", Locate(50)),
        NoData("LOCATE back to the start", Locate(0)),
        DataIn("READ fixed in variable mode", Six(0x08, 1, 1), 512),
        DataIn("MODE SENSE(6) block descriptor", {0x1A, 0, 0x3F, 0, 255, 0}, 255),
        DataIn("MODE SENSE(6) device configuration", {0x1A, 0, 0x10, 0, 255, 0}, 255),
        DataOut("MODE SELECT(6) fixed 512-byte blocks", {0x15, 0x10, 0, 0, 12, 0},
                {0, 0, 0x10, 8, 0, 0, 0, 0, 0, 0, 2, 0}),
        DataIn("MODE SENSE(6) after selecting fixed blocks", {0x1A, 8, 0x10, 0, 255, 0}, 255),
        NoData("REWIND in fixed mode", rewind),
        DataOut("WRITE fixed 3 blocks", Six(0x0A, 1, 3), Record(1536, 6)),
        NoData("WRITE FILEMARKS after fixed blocks", Six(0x10, 0, 1)),
        NoData("REWIND before reading fixed blocks", rewind),
        DataIn("READ fixed 2 blocks", Six(0x08, 1, 2), 1024),
        DataIn("READ fixed 3 blocks meeting the filemark", Six(0x08, 1, 3), 1536),
        DataIn("READ fixed with SILI", Six(0x08, 3, 1), 512),
        DataIn("REQUEST SENSE", {0x03, 0, 0, 0, 18, 0}, 18),
        NoData("ERASE from the beginning", {0x19, 1, 0, 0, 0, 0}),
        DataIn("READ after ERASE", Six(0x08, 0, 100), 100),
        NoData("SPACE with setmarks", Six(0x11, 4, 1)),
        NoData("refused: opcode 0xFF", {0xFF, 0, 0, 0, 0, 0}),
        DataIn("refused: READ CAPACITY(10)", {0x25, 0, 0, 0, 0, 0, 0, 0, 0, 0}, 8),
        DataIn("refused: READ(10)", {0x28, 0, 0, 0, 0, 0, 0, 0, 1, 0}, 512),
        NoData("LOAD UNLOAD unload", {0x1B, 0, 0, 0, 0, 0}),
        NoData("TEST UNIT READY unloaded", {0x00, 0, 0, 0, 0, 0}),
        NoData("LOAD UNLOAD load", {0x1B, 0, 0, 0, 1, 0}),
        NoData("TEST UNIT READY loaded", {0x00, 0, 0, 0, 0, 0}),
    };
}

std::vector<AllowedDifference> TapeDifferences() {
    const char* unpositioned = "SSC-3 READ POSITION: BPU set, tgt reports no block position";
    const char* noLocate = "SSC-3 LOCATE(10) is mandatory; tgt refuses it";
    const char* noErase = "SSC-3 ERASE(6) is mandatory; tgt refuses it";
    const char* endOfData = "SSC-3 READ(6): reading at end of data is BLANK CHECK, END-OF-DATA DETECTED; "
                            "tgt reports EOM without the code";
    const char* pages = "SSC-3 mode parameters: the pages kept and their values are the device's; PS set since "
                        "the emulated tape saves its pages";
    return {
        {"READ BLOCK LIMITS", OracleField::Data, 0, 6, false,
         "SSC-3 READ BLOCK LIMITS: the granularity and block length limits are the device's"},
        {"READ POSITION at the beginning", OracleField::Data, 0, 1, false, unpositioned},
        {"READ POSITION after writing", OracleField::Data, 0, 12, false, unpositioned},
        {"READ POSITION after spacing back", OracleField::Data, 0, 12, false, unpositioned},
        {"READ POSITION at the end of data", OracleField::Data, 0, 12, false, unpositioned},
        {"READ with SILI shorter than the record", OracleField::Sense, 0, 0, false,
         "SSC-3 READ(6): with SILI and variable blocks no incorrect length is reported; tgt reports it"},
        {"READ with SILI shorter than the record", OracleField::Data, 0, 100, true,
         "SSC-3 READ(6): the record's first bytes move with GOOD status"},
        {"READ at the end of data", OracleField::Sense, 0, 0, false, endOfData},
        {"SPACE three blocks into the filemark", OracleField::Sense, 0, 0, false,
         "SSC-3 SPACE(6): a filemark met while spacing blocks ends the command with FILEMARK; "
         "tgt spaces over it"},
        {"SPACE back two blocks into the filemark", OracleField::Sense, 0, 0, false,
         "SSC-3 SPACE(6): a filemark met while spacing blocks ends the command with FILEMARK; "
         "tgt spaces over it"},
        {"SPACE forward at the end of data", OracleField::Sense, 0, 0, false,
         "SSC-3 SPACE(6): end of data is BLANK CHECK with the residue; tgt gives NO SENSE"},
        {"LOCATE the fourth object", OracleField::Sense, 0, 0, false, noLocate},
        {"READ after LOCATE", OracleField::Sense, 0, 0, false, noLocate},
        {"READ after LOCATE", OracleField::Data, 0, 4096, true, noLocate},
        {"LOCATE past the end of data", OracleField::Sense, 0, 0, false, noLocate},
        {"LOCATE back to the start", OracleField::Sense, 0, 0, false, noLocate},
        {"READ fixed in variable mode", OracleField::Sense, 0, 0, false,
         "SSC-3 READ(6): FIXED with a block length of 0 is INVALID FIELD IN CDB; tgt reads zeros"},
        {"READ fixed in variable mode", OracleField::Data, 0, 512, true,
         "SSC-3 READ(6): FIXED with a block length of 0 is INVALID FIELD IN CDB; tgt reads zeros"},
        {"MODE SENSE(6) block descriptor", OracleField::Data, 0, 1, true, pages},
        {"MODE SENSE(6) block descriptor", OracleField::Data, 12, 255, true, pages},
        {"MODE SENSE(6) device configuration", OracleField::Data, 12, 28, false, pages},
        {"MODE SENSE(6) after selecting fixed blocks", OracleField::Data, 4, 20, false, pages},
        {"ERASE from the beginning", OracleField::Sense, 0, 0, false, noErase},
        {"READ after ERASE", OracleField::Sense, 0, 0, false, endOfData},
        {"TEST UNIT READY unloaded", OracleField::Sense, 0, 0, false,
         "SSC-3 LOAD UNLOAD: after an unload the unit is not ready until loaded; tgt stays ready"},
    };
}

TEST(TgtOracle, TapeAgreesWithTgtsTape) {
    std::string folder;
    const std::string url = TgtUnitUrl(2, folder);
    if (url.empty()) GTEST_SKIP() << "no iSCSI target: run through ctest with tgt installed";
    std::string error;
    auto emulated = OracleBackend(R"({"backend": {"type": "tape", "capacity_bytes": 67108864}})", error);
    ASSERT_TRUE(emulated) << error;
    auto reference = OracleBackend(R"({"backend": {"type": "iscsi", "url": ")" + url + R"("}})", error);
    ASSERT_TRUE(reference) << error;
    // tgt's tape keeps the block size an earlier test may have chosen:
    // both start in variable mode.
    const OracleCommand variable = DataOut("MODE SELECT(6) variable blocks", {0x15, 0x10, 0, 0, 12, 0},
                                           {0, 0, 0x10, 8, 0, 0, 0, 0, 0, 0, 0, 0});
    Ask(*reference, variable);

    const OracleReport report = CompareUnits(*emulated, *reference, TapeCommands(), TapeDifferences());
    std::string text;
    for (const std::string& line : report.allowed) text += "  allowed: " + line + "\n";
    for (const std::string& line : report.failures) text += "  differs: " + line + "\n";
    for (const std::string& line : report.unused) text += "  listed but not met: " + line + "\n";
    std::printf("tape: %zu commands compared, %zu agreed\n%s", report.compared, report.agreed, text.c_str());
    EXPECT_TRUE(report.failures.empty() && report.unused.empty()) << text;
}

}  // namespace
}  // namespace iscsitest

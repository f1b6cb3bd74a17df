// The text handling of the host adapter scan on its own: the driver name
// taken from an "ImagePath" text, and the id read after a subkey name's
// "Initiator Id" or "Target Id" prefix.
#include "discovery/host_adapters.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace {

TEST(DriverNameTest, NameIsThePartAfterTheLastBackslashUpToTheFirstDotCutToFit) {
    struct Row {
        const char* imagePath;
        size_t size;
        const char* name;
    } const rows[] = {
        {"System32\\DRIVERS\\atapi.sys", IdentifierLength, "atapi"},
        {"\\SystemRoot\\System32\\drivers\\hba.sys", IdentifierLength, "hba"},
        {"System32\\drivers\\hba.new.sys", IdentifierLength, "hba"},
        {"aic78xx.sys", IdentifierLength, "aic78xx"},  // no backslash: taken whole
        {"ncr53c9x", IdentifierLength, "ncr53c9x"},
        {"sys32/drv/hba.sys", IdentifierLength, "sys32/drv/hba"},  // only '\' separates
        {"a\\b/c.sys", IdentifierLength, "b/c"},
        {"System32\\drivers\\", IdentifierLength, ""},
        {"System32\\drivers\\.sys", IdentifierLength, ""},
        {"", IdentifierLength, ""},
        {"C:\\win.nt\\system32\\hba", IdentifierLength, "hba"},  // earlier dots don't cut
        {"x\\abcdefghijklmnopqrstuvwxyz.sys", IdentifierLength, "abcdefghijklmno"},
        {"x\\abcdefghijklmno.sys", IdentifierLength, "abcdefghijklmno"},
        {"x\\abcdefghijklmn.sys", IdentifierLength, "abcdefghijklmn"},
        {"x\\abcdef.sys", 4, "abc"},
        {"x\\abcdef.sys", 1, ""},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(testing::Message() << row.imagePath << " " << row.size);
        char name[64];
        memset(name, 'x', sizeof name);
        DriverNameFromImagePath(row.imagePath, name, row.size);
        ASSERT_LT(strlen(name), row.size);
        EXPECT_STREQ(name, row.name);
    }
}

TEST(SubkeyIdTest, ReadsTheNumberOneSeparatorAfterThePrefixKeepingEightBits) {
    // The bytes after each NUL are garbage: a read past the name's end
    // would see "99".
    const char initiator[] = "Initiator Id\0" "99";
    const char target[] = "Target Id\0" "99";
    struct Row {
        const char* name;
        size_t length, prefix;
        int id;
    } const rows[] = {
        {"Initiator Id 7", 14, 12, 7},   {"Target Id 15", 12, 9, 15},
        {"Target Id  3", 12, 9, 3},      {"Target Id +4", 12, 9, 4},
        {"Target Id 12abc", 15, 9, 12},  {"Initiator Id -1", 15, 12, 255},
        {"Initiator Id 263", 16, 12, 7}, {initiator, 12, 12, 0},
        {target, 9, 9, 0},               {"Target Id ", 10, 9, 0},
        {"Target Idx", 10, 9, 0},        {"Target IdX9", 11, 9, 9},  // any byte separates
        {"Target Id x", 11, 9, 0},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        EXPECT_EQ(IdAfterPrefix(row.name, row.length, row.prefix), row.id);
    }
}

}  // namespace

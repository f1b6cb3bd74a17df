// The text handling of the host adapter scan on its own: the driver name
// taken from an "ImagePath" text, and the id read after a subkey name's
// "Initiator Id" or "Target Id" prefix.
#include "discovery/host_adapters.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace {

std::string NameOf(const char* imagePath, size_t size = IdentifierLength) {
    char name[64];
    memset(name, 'x', sizeof(name));
    DriverNameFromImagePath(imagePath, name, size);
    EXPECT_LT(strlen(name), size) << imagePath;
    return name;
}

TEST(DriverNameTest, TakesThePartAfterTheLastBackslashUpToTheFirstDot) {
    EXPECT_EQ(NameOf("System32\\DRIVERS\\atapi.sys"), "atapi");
    EXPECT_EQ(NameOf("\\SystemRoot\\System32\\drivers\\hba.sys"), "hba");
    EXPECT_EQ(NameOf("System32\\drivers\\hba.new.sys"), "hba");
}

TEST(DriverNameTest, TextWithoutBackslashIsTakenWhole) {
    EXPECT_EQ(NameOf("aic78xx.sys"), "aic78xx");
    EXPECT_EQ(NameOf("ncr53c9x"), "ncr53c9x");
}

TEST(DriverNameTest, OnlyTheBackslashSeparates) {
    EXPECT_EQ(NameOf("sys32/drv/hba.sys"), "sys32/drv/hba");
    EXPECT_EQ(NameOf("a\\b/c.sys"), "b/c");
}

TEST(DriverNameTest, TrailingBackslashOrLeadingDotGivesAnEmptyName) {
    EXPECT_EQ(NameOf("System32\\drivers\\"), "");
    EXPECT_EQ(NameOf("System32\\drivers\\.sys"), "");
    EXPECT_EQ(NameOf(""), "");
}

TEST(DriverNameTest, DotsBeforeTheLastBackslashDoNotCut) {
    EXPECT_EQ(NameOf("C:\\win.nt\\system32\\hba"), "hba");
}

TEST(DriverNameTest, LongNamesAreCutToFitTheField) {
    EXPECT_EQ(NameOf("x\\abcdefghijklmnopqrstuvwxyz.sys"), "abcdefghijklmno");
    EXPECT_EQ(NameOf("x\\abcdefghijklmno.sys"), "abcdefghijklmno");
    EXPECT_EQ(NameOf("x\\abcdefghijklmn.sys"), "abcdefghijklmn");
    EXPECT_EQ(NameOf("x\\abcdef.sys", 4), "abc");
    EXPECT_EQ(NameOf("x\\abcdef.sys", 1), "");
}

TEST(SubkeyIdTest, ReadsTheNumberOneSeparatorAfterThePrefix) {
    EXPECT_EQ(IdAfterPrefix("Initiator Id 7", 14, 12), 7);
    EXPECT_EQ(IdAfterPrefix("Target Id 15", 12, 9), 15);
    EXPECT_EQ(IdAfterPrefix("Target Id  3", 12, 9), 3);     // white space skipped
    EXPECT_EQ(IdAfterPrefix("Target Id +4", 12, 9), 4);
    EXPECT_EQ(IdAfterPrefix("Target Id 12abc", 15, 9), 12);
}

TEST(SubkeyIdTest, KeepsTheLowEightBits) {
    EXPECT_EQ(IdAfterPrefix("Initiator Id -1", 15, 12), 255);
    EXPECT_EQ(IdAfterPrefix("Initiator Id 263", 16, 12), 7);
}

TEST(SubkeyIdTest, NothingAfterThePrefixReadsAsZero) {
    // The bytes after the NUL are garbage here: a read past the name's end
    // would see "99".
    const char initiator[] = "Initiator Id\0" "99";
    EXPECT_EQ(IdAfterPrefix(initiator, 12, 12), 0);
    const char target[] = "Target Id\0" "99";
    EXPECT_EQ(IdAfterPrefix(target, 9, 9), 0);
    EXPECT_EQ(IdAfterPrefix("Target Id ", 10, 9), 0);
    EXPECT_EQ(IdAfterPrefix("Target Idx", 10, 9), 0);
    EXPECT_EQ(IdAfterPrefix("Target IdX9", 11, 9), 9);  // any byte separates
    EXPECT_EQ(IdAfterPrefix("Target Id x", 11, 9), 0);
}

}  // namespace

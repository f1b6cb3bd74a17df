// wsprintfA's format language and limit, and _strnicmp in the default
// locale, as the library's path formatting and name matching use them.
#include <gtest/gtest.h>
#include <windows.h>

#include <cstring>
#include <string>

namespace {

TEST(Wsprintf, FormatsThePathsTheLibraryBuilds) {
    char out[1100];
    EXPECT_EQ(wsprintfA(out, "\\\\.\\scsi%d:", 3), 10);
    EXPECT_STREQ(out, "\\\\.\\scsi3:");
    EXPECT_EQ(wsprintfA(out, "HARDWARE\\DEVICEMAP\\Scsi\\Scsi Port %d", 12), 36);
    EXPECT_STREQ(out, "HARDWARE\\DEVICEMAP\\Scsi\\Scsi Port 12");
    wsprintfA(out, "SYSTEM\\CurrentControlSet\\Services\\%s", "atapi");
    EXPECT_STREQ(out, "SYSTEM\\CurrentControlSet\\Services\\atapi");
    wsprintfA(out, "%s%d", "PhysicalDrive", 0);
    EXPECT_STREQ(out, "PhysicalDrive0");
    EXPECT_EQ(wsprintfA(out, "Scsi Bus %d", 0), 10);
    EXPECT_STREQ(out, "Scsi Bus 0");
    EXPECT_EQ(wsprintfA(out, ""), 0);
    EXPECT_STREQ(out, "");
}

TEST(Wsprintf, IntegerConversions) {
    struct Case {
        std::string got;
        const char* expected;
    };
    char out[64];
    auto f = [&out](const char* format, auto... args) {
        const int count = wsprintfA(out, format, args...);
        EXPECT_EQ(static_cast<size_t>(count), std::strlen(out)) << format;
        return std::string(out);
    };
    const Case cases[] = {
        {f("%d", -42), "-42"},
        {f("%i", 2147483647), "2147483647"},
        {f("%d", static_cast<int>(0x80000000u)), "-2147483648"},
        {f("%ld", -7L), "-7"},
        {f("%u", -1), "4294967295"},
        {f("%lu", 4000000000UL), "4000000000"},
        {f("%x", 0xBEEFu), "beef"},
        {f("%X", 0xBEEFu), "BEEF"},
        {f("%lx", 0xFFFFFFFFUL), "ffffffff"},
        {f("%#x", 26), "0x1a"},
        {f("%#X", 26), "0X1A"},
        {f("%#x", 0), "0"},
        {f("%5d|", 42), "   42|"},
        {f("%-5d|", 42), "42   |"},
        {f("%05d", -42), "-0042"},
        {f("%-05d|", 42), "42   |"},
        {f("%08X", 0x4D014), "0004D014"},
        {f("%.3d", 7), "007"},
        {f("%6.3d|", -7), "  -007|"},
        {f("%06.3d|", 7), "   007|"},
        {f("%.0d|", 0), "|"},
        {f("%hd", 70000), "4464"},
        {f("%hd", 0xFFFF), "-1"},
        {f("%hu", 0x12345), "9029"},
        {f("%hx", 0xABCDEF), "cdef"},
        {f("%d%%", 50), "50%"},
        {f("%1d", 123), "123"},
    };
    for (const Case& c : cases) EXPECT_EQ(c.got, c.expected);
}

TEST(Wsprintf, TextAndCharacterConversions) {
    char out[64];
    EXPECT_EQ(wsprintfA(out, "[%s]", "abc"), 5);
    EXPECT_STREQ(out, "[abc]");
    wsprintfA(out, "[%6s]", "abc");
    EXPECT_STREQ(out, "[   abc]");
    wsprintfA(out, "[%-6s]", "abc");
    EXPECT_STREQ(out, "[abc   ]");
    wsprintfA(out, "[%.2s]", "abc");
    EXPECT_STREQ(out, "[ab]");
    wsprintfA(out, "[%5.2s]", "abc");
    EXPECT_STREQ(out, "[   ab]");
    // Precision bounds what is read: the text need not end within it.
    const char unterminated[3] = {'x', 'y', 'z'};
    wsprintfA(out, "[%.3s]", unterminated);
    EXPECT_STREQ(out, "[xyz]");
    wsprintfA(out, "[%s]", static_cast<const char*>(nullptr));
    EXPECT_STREQ(out, "[(null)]");
    wsprintfA(out, "%c%c%c", 'a', 'B', '7');
    EXPECT_STREQ(out, "aB7");
    wsprintfA(out, "[%3c][%-3c]", 'a', 'b');
    EXPECT_STREQ(out, "[  a][b  ]");
    // An unknown conversion character stands for itself; a lone % at the end is dropped.
    EXPECT_EQ(wsprintfA(out, "%y%q|%"), 3);
    EXPECT_STREQ(out, "yq|");
}

TEST(Wsprintf, OutputStopsAt1024CharactersWithTheNul) {
    std::string text(2000, 'a');
    std::vector<char> out(2100, 'x');
    EXPECT_EQ(wsprintfA(out.data(), "%s", text.c_str()), 1023);
    EXPECT_EQ(std::strlen(out.data()), 1023u);
    EXPECT_EQ(out[1024], 'x');

    std::string format(1022, 'b');
    format += "%d";
    EXPECT_EQ(wsprintfA(out.data(), format.c_str(), 456), 1023);
    EXPECT_EQ(out[1022], '4');
    EXPECT_EQ(out[1023], '\0');
    EXPECT_EQ(out[1024], 'x');

    std::fill(out.begin(), out.end(), 'x');
    std::string exact(1023, 'c');
    EXPECT_EQ(wsprintfA(out.data(), "%s", exact.c_str()), 1023);
    EXPECT_EQ(out[1023], '\0');
    EXPECT_EQ(out[1024], 'x');

    std::fill(out.begin(), out.end(), 'x');
    EXPECT_EQ(wsprintfA(out.data(), "%99999d", 1), 1023);
    EXPECT_EQ(out[1022], ' ');
    EXPECT_EQ(out[1023], '\0');
    EXPECT_EQ(out[1024], 'x');
}

TEST(Strnicmp, FoldsOnlyLettersAndStopsAtCountOrNul) {
    EXPECT_EQ(_strnicmp("Initiator Id 7", "INITIATOR ID", 12), 0);
    EXPECT_EQ(_strnicmp("target id 12", "Target Id", 9), 0);
    EXPECT_EQ(_strnicmp("ATAPI2", "atapi", 5), 0);
    EXPECT_NE(_strnicmp("ATAP", "atapi", 5), 0);
    // A name shorter than the count does not match.
    EXPECT_LT(_strnicmp("Target", "Target Id", 9), 0);
    EXPECT_GT(_strnicmp("Target Id", "Target", 9), 0);
    EXPECT_EQ(_strnicmp("abc", "ABC", 10), 0);
    EXPECT_EQ(_strnicmp("abcX", "ABCY", 3), 0);
    EXPECT_EQ(_strnicmp("x", "y", 0), 0);
    EXPECT_LT(_strnicmp("abc", "abd", 3), 0);
    EXPECT_GT(_strnicmp("abd", "ABC", 3), 0);
    // Letters fold to lower case, so '_' sorts before them and '[' too.
    EXPECT_LT(_strnicmp("_", "A", 1), 0);
    EXPECT_LT(_strnicmp("[", "a", 1), 0);
    // Bytes other than A-Z and a-z equal only themselves, compared unsigned.
    EXPECT_NE(_strnicmp("@", "`", 1), 0);
    EXPECT_NE(_strnicmp("\xC4", "\xE4", 1), 0);
    EXPECT_GT(_strnicmp("\xE4", "a", 1), 0);
    EXPECT_EQ(_strnicmp("", "", 5), 0);
}

}  // namespace

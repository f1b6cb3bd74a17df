// wsprintfA's format language and 1024-character limit, and _strnicmp in
// the default locale, as the library's path formatting and name matching
// use them.
#include <gtest/gtest.h>
#include <windows.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

TEST(Wsprintf, Conversions) {
    char out[64];
    // Returns what wsprintfA wrote, checking that its count matches.
    auto f = [&out](const char* format, auto... args) {
        const int count = wsprintfA(out, format, args...);
        EXPECT_EQ(static_cast<size_t>(count), std::strlen(out)) << format;
        return std::string(out);
    };
    const char unterminated[3] = {'x', 'y', 'z'};
    const struct {
        std::string got;
        const char* expected;
    } cases[] = {
        // The paths the library builds.
        {f("\\\\.\\scsi%d:", 3), "\\\\.\\scsi3:"},
        {f("Scsi Port %d", 12), "Scsi Port 12"},
        {f("%s%d", "PhysicalDrive", 0), "PhysicalDrive0"},
        {f(""), ""},
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
        {f("[%6s]", "abc"), "[   abc]"},
        {f("[%-6s]", "abc"), "[abc   ]"},
        {f("[%5.2s]", "abc"), "[   ab]"},
        // Precision bounds what is read: the text need not end within it.
        {f("[%.3s]", unterminated), "[xyz]"},
        {f("[%s]", static_cast<const char*>(nullptr)), "[(null)]"},
        {f("%c%c%c", 'a', 'B', '7'), "aB7"},
        {f("[%3c][%-3c]", 'a', 'b'), "[  a][b  ]"},
        // An unknown conversion stands for itself; a lone % at the end is dropped.
        {f("%y%q|%"), "yq|"},
    };
    for (const auto& c : cases) EXPECT_EQ(c.got, c.expected);
}

TEST(Wsprintf, OutputStopsAt1024CharactersWithTheNul) {
    const std::string longText(2000, 'a'), exact(1023, 'c');
    const std::string format = std::string(1022, 'b') + "%d";
    std::vector<char> out(2100);
    // Returns nothing; checks one capped call and the last character kept.
    auto check = [&out](int written, char last) {
        EXPECT_EQ(written, 1023);
        EXPECT_EQ(out[1022], last);
        EXPECT_EQ(out[1023], '\0');
        EXPECT_EQ(out[1024], 'x');
        std::fill(out.begin(), out.end(), 'x');
    };
    std::fill(out.begin(), out.end(), 'x');
    check(wsprintfA(out.data(), "%s", longText.c_str()), 'a');
    check(wsprintfA(out.data(), format.c_str(), 456), '4');
    check(wsprintfA(out.data(), "%s", exact.c_str()), 'c');
    check(wsprintfA(out.data(), "%99999d", 1), ' ');
}

TEST(Strnicmp, FoldsOnlyLettersAndStopsAtCountOrNul) {
    const struct {
        const char* a;
        const char* b;
        size_t count;
        int sign;
    } cases[] = {
        {"Initiator Id 7", "INITIATOR ID", 12, 0},
        {"ATAPI2", "atapi", 5, 0},
        {"ATAP", "atapi", 5, -1},
        // A name shorter than the count does not match.
        {"Target", "Target Id", 9, -1},
        {"Target Id", "Target", 9, 1},
        {"abc", "ABC", 10, 0},
        {"abcX", "ABCY", 3, 0},
        {"x", "y", 0, 0},
        {"abd", "ABC", 3, 1},
        // Letters fold to lower case, so '_' and '[' sort before them.
        {"_", "A", 1, -1},
        {"[", "a", 1, -1},
        // Other bytes equal only themselves, compared unsigned.
        {"@", "`", 1, -1},
        {"\xC4", "\xE4", 1, -1},
        {"\xE4", "a", 1, 1},
        {"", "", 5, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.a) + " / " + c.b);
        const int result = _strnicmp(c.a, c.b, c.count);
        EXPECT_EQ((result > 0) - (result < 0), c.sign);
    }
}

}  // namespace

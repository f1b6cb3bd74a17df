// The runtime families and KERNEL32 calls added for programs built by
// others, reached through their export tables as a program reaches them:
// classification in the "C" locale, strto*'s limits, strtok, the
// environment without case, qsort, low-level files, FormatMessageA.
#include "sim/kernel/system_info.h"
#include "sim/loader/pe/system_dlls.h"
#include "sim/runtime/msvcrt.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>

#define CDECL __attribute__((cdecl))

namespace {

// Returns the runtime's export `name` as type F.
template <typename F>
F Export(const char* name) {
    size_t count = 0;
    const sim::NamedExport* exports = sim::RuntimeExports(&count);
    const void* address = sim::FindSystemExport(exports, count, name);
    if (address == nullptr) ADD_FAILURE() << "no export " << name;
    return reinterpret_cast<F>(const_cast<void*>(address));
}

typedef int(CDECL* Classify)(int);

// Returns the order of two ints, as a program's qsort comparison.
int CDECL CompareInts(const void* a, const void* b) {
    return *static_cast<const int*>(a) - *static_cast<const int*>(b);
}

TEST(RuntimeFamiliesTest, ClassificationIsTheCLocales) {
    const auto isxdigit = Export<Classify>("isxdigit");
    const auto isspace = Export<Classify>("isspace");
    const auto isprint = Export<Classify>("isprint");
    const auto isalpha = Export<Classify>("isalpha");
    const auto isctype = Export<int(CDECL*)(int, int)>("_isctype");
    EXPECT_NE(isxdigit('f'), 0);
    EXPECT_EQ(isxdigit('g'), 0);
    EXPECT_NE(isspace('\v'), 0);
    EXPECT_EQ(isspace(0xA0), 0);  // no class above 0x7F in the "C" locale
    EXPECT_NE(isprint(' '), 0);
    EXPECT_EQ(isprint('\t'), 0);
    EXPECT_EQ(isalpha(-1), 0);
    EXPECT_NE(isctype('\t', 0x40), 0);  // _BLANK
    EXPECT_EQ(Export<Classify>("tolower")('Q'), 'q');
}

TEST(RuntimeFamiliesTest, ConversionsStopAtTheirLimitsWithWindowsErrno) {
    const auto strtol = Export<long(CDECL*)(const char*, char**, int)>("strtol");
    const auto strtoul = Export<unsigned long(CDECL*)(const char*, char**, int)>("strtoul");
    int* errnoAddress = Export<int*(CDECL*)(void)>("_errno")();
    char* end = nullptr;
    *errnoAddress = 0;
    EXPECT_EQ(strtol(" 0x7fffffff0", &end, 0), LONG_MAX);
    EXPECT_EQ(*errnoAddress, 34);
    EXPECT_EQ(*end, '\0');
    EXPECT_EQ(strtoul("0x1fZ", &end, 16), 0x1fUL);
    EXPECT_EQ(*end, 'Z');
    *errnoAddress = 0;
    EXPECT_EQ(strtol("12", &end, 1), 0);
    EXPECT_EQ(*errnoAddress, 22);
}

TEST(RuntimeFamiliesTest, StrtokAndQsort) {
    const auto strtok = Export<char*(CDECL*)(char*, const char*)>("strtok");
    char text[] = ",,a,bc,,d";
    std::string tokens;
    for (char* token = strtok(text, ","); token != nullptr; token = strtok(nullptr, ",")) {
        tokens += std::string(token) + "|";
    }
    EXPECT_EQ(tokens, "a|bc|d|");

    const auto qsort =
        Export<void(CDECL*)(void*, size_t, size_t, int(CDECL*)(const void*, const void*))>("qsort");
    int values[] = {5, -3, 9, 0, 5, 1, -8, 2};
    qsort(values, 8, sizeof(int), CompareInts);
    EXPECT_TRUE(std::is_sorted(values, values + 8));
}

TEST(RuntimeFamiliesTest, EnvironmentNamesIgnoreCase) {
    const auto getenv = Export<char*(CDECL*)(const char*)>("getenv");
    const auto putenv = Export<int(CDECL*)(const char*)>("_putenv");
    ASSERT_EQ(putenv("Sg3_Family_Test=on"), 0);
    ASSERT_NE(getenv("SG3_FAMILY_TEST"), nullptr);
    EXPECT_STREQ(getenv("sg3_family_test"), "on");
    char buffer[3];
    EXPECT_EQ(GetEnvironmentVariableA("SG3_FAMILY_TEST", buffer, 2), 3u);  // size with the NUL
    EXPECT_EQ(GetEnvironmentVariableA("SG3_FAMILY_TEST", buffer, 3), 2u);
    EXPECT_STREQ(buffer, "on");
    ASSERT_EQ(putenv("SG3_FAMILY_TEST="), 0);
    EXPECT_EQ(getenv("Sg3_Family_Test"), nullptr);
    EXPECT_EQ(GetEnvironmentVariableA("SG3_FAMILY_TEST", buffer, 3), 0u);
    EXPECT_EQ(GetLastError(), 203u);
}

TEST(RuntimeFamiliesTest, LowLevelWritesTranslateInTextModeOnly) {
    const auto open = Export<int(CDECL*)(const char*, int, ...)>("_open");
    const auto write = Export<int(CDECL*)(int, const void*, unsigned)>("_write");
    const auto setmode = Export<int(CDECL*)(int, int)>("_setmode");
    const auto close = Export<int(CDECL*)(int)>("_close");
    const std::string path = testing::TempDir() + "/families-" + std::to_string(getpid());
    const int d = open(path.c_str(), 0x0100 | 0x0200 | 0x0001, 0x0180);  // CREAT|TRUNC|WRONLY
    ASSERT_GE(d, 3);
    EXPECT_EQ(write(d, "a\nb", 3), 3);
    EXPECT_EQ(setmode(d, 0x8000), 0x4000);  // was text
    EXPECT_EQ(write(d, "\n", 1), 1);
    EXPECT_EQ(setmode(d, 0x1234), -1);
    EXPECT_EQ(close(d), 0);
    std::ifstream file(path, std::ios::binary);
    const std::string bytes((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    EXPECT_EQ(bytes, "a\r\nb\n");

    // A stream over a descriptor follows the descriptor's new mode.
    const auto fopen = Export<void*(CDECL*)(const char*, const char*)>("fopen");
    const auto fileno = Export<int(CDECL*)(void*)>("_fileno");
    const auto fputs = Export<int(CDECL*)(const char*, void*)>("fputs");
    const auto fclose = Export<int(CDECL*)(void*)>("fclose");
    void* stream = fopen(path.c_str(), "w");
    ASSERT_NE(stream, nullptr);
    EXPECT_EQ(setmode(fileno(stream), 0x8000), 0x4000);
    fputs("c\n", stream);
    EXPECT_EQ(fclose(stream), 0);
    std::ifstream again(path, std::ios::binary);
    EXPECT_EQ(std::string((std::istreambuf_iterator<char>(again)), std::istreambuf_iterator<char>()),
              "c\n");
    unlink(path.c_str());
}

TEST(RuntimeFamiliesTest, FormatMessageGivesSystemTextsAndRefusesOthers) {
    char text[128];
    ASSERT_EQ(FormatMessageA(0x1000, nullptr, 5, 0, text, sizeof text, nullptr), 19u);
    EXPECT_STREQ(text, "Access is denied.\r\n");
    // The width mask turns the message's own line break into a space.
    ASSERT_NE(FormatMessageA(0x1000 | 0x200 | 0xFF, nullptr, 5, 0, text, sizeof text, nullptr), 0u);
    EXPECT_STREQ(text, "Access is denied. ");
    // The error a port reports when its inquiry data cannot be read.
    ASSERT_NE(FormatMessageA(0x1000, nullptr, 31, 0, text, sizeof text, nullptr), 0u);
    EXPECT_STREQ(text, "A device attached to the system is not functioning.\r\n");
    EXPECT_EQ(FormatMessageA(0x1000, nullptr, 0x7777, 0, text, sizeof text, nullptr), 0u);
    EXPECT_EQ(GetLastError(), 317u);
    EXPECT_EQ(FormatMessageA(0x1000, nullptr, 5, 0, text, 5, nullptr), 0u);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
}

}  // namespace

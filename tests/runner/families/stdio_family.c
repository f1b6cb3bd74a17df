/* The C runtime's stdio, wide-character and setjmp families: printing
   into memory with msvcrt's limits, streams over descriptors, positions,
   buffering, wide characters on text and binary streams, wide strings and
   their conversions, and longjmp back to _setjmp3. */
#include "families.h"

enum { OpenWrite = 1, OpenCreate = 0x100, OpenTruncate = 0x200, OpenBinary = 0x8000 };

static int jumpBuffer[16];
static int depth;

static void JumpsBack(int value) {
    ++depth;
    longjmp(jumpBuffer, value);
}

int main(void) {
    char text[32];
    wchar_t wide[32];
    CHECK_EQ(sprintf(text, "%d-%s-%S", 42, "a", L"b"), 6);
    CHECK_TEXT(text, "42-a-b");
    /* _snprintf: -1 and no NUL when the text does not fit. */
    memset(text, 'x', sizeof text);
    CHECK_EQ(_snprintf(text, 4, "%s", "abcdef"), -1);
    CHECK(memcmp(text, "abcdx", 5) == 0);
    CHECK_EQ(_snprintf(text, 4, "%s", "abcd"), 4);
    CHECK_EQ(_snprintf(text, 8, "%s", "abc"), 3);
    CHECK_TEXT(text, "abc");
    /* In a wide format %s is wide and %S narrow. */
    CHECK_EQ(swprintf(wide, L"%s/%S/%d", L"wide", "narrow", 7), 13);
    CHECK(wcscmp(wide, L"wide/narrow/7") == 0);
    CHECK_EQ(wcslen(wide), 13);
    CHECK(wcsstr(wide, L"narrow") == wide + 5);
    CHECK_EQ(_wcsicmp(L"ABC", L"abc"), 0);
    CHECK(wcscmp(L"abc", L"abd") < 0);
    CHECK_EQ(towupper(L'q'), L'Q');
    CHECK(iswalpha(0xE9));
    CHECK(!iswalpha(L'1'));
    {
        wchar_t* end = 0;
        CHECK_EQ(wcstol(L"  -0x1F!", &end, 16), -31);
        CHECK(*end == L'!');
    }
    CHECK_EQ(wcstombs(text, L"abc", sizeof text), 3);
    CHECK_TEXT(text, "abc");
    CHECK_EQ(wcstombs(text, L"a\x263A", sizeof text), (size_t)-1);
    CHECK_TEXT(_itoa(-255, text, 16), "ffffff01");
    CHECK_TEXT(_itoa(-255, text, 10), "-255");
    CHECK_TEXT(_ultoa(4294967295UL, text, 36), "1z141z3");

    /* A stream over a descriptor of _open; fclose closes both. */
    {
        int d = _open("family_stdio.tmp", OpenWrite | OpenCreate | OpenTruncate | OpenBinary, 0x180);
        CHECK(d >= 3);
        void* stream = _fdopen(d, "wb");
        CHECK(stream != 0);
        CHECK_EQ(setvbuf(stream, 0, 0, 1), -1);
        CHECK_EQ(setvbuf(stream, 0, 0, 512), 0);
        CHECK_EQ(putc('A', stream), 'A');
        CHECK_EQ(fputwc(0x263A, stream), 0x263A); /* binary: two bytes */
        long long position = 0;
        CHECK_EQ(fgetpos(stream, &position), 0);
        CHECK_EQ(position, 3);
        CHECK_EQ(fclose(stream), 0);
    }
    {
        void* stream = _wfopen(L"family_stdio.tmp", L"rb");
        CHECK(stream != 0);
        CHECK_EQ(fgetc(stream), 'A');
        long long position = 0;
        CHECK_EQ(fgetpos(stream, &position), 0);
        CHECK_EQ(fgetwc(stream), 0x263A);
        CHECK_EQ(fgetwc(stream), 0xFFFF);
        CHECK_EQ(fsetpos(stream, &position), 0);
        CHECK_EQ(ftell(stream), 1);
        CHECK_EQ(fgetc(stream), 0x3A);
        fclose(stream);
        /* In text mode a wide character is its one byte of the "C" locale;
           one without a byte fails. */
        stream = fopen("family_stdio.tmp", "w");
        CHECK_EQ(fputwc(L'z', stream), L'z');
        CHECK_EQ(fputwc(0x263A, stream), 0xFFFF);
        CHECK_EQ(*_errno(), 42);
        CHECK_EQ(ftell(stream), 1);
        fclose(stream);
        CHECK_EQ(remove("family_stdio.tmp"), 0);
    }

    /* setjmp returns 0, then what longjmp passes (1 for 0). */
    {
        volatile int round = 0;
        int value = _setjmp3(jumpBuffer, 0);
        ++round;
        if (round == 1) {
            CHECK_EQ(value, 0);
            JumpsBack(5);
        } else if (round == 2) {
            CHECK_EQ(value, 5);
            JumpsBack(0);
        } else {
            CHECK_EQ(value, 1);
        }
        CHECK_EQ(round, 3);
        CHECK_EQ(depth, 2);
    }
    return Finish("stdio");
}

// The simulated msvcrt as a Windows program reaches it: through its export
// table, called as cdecl functions. Text and binary streams, fopen's modes,
// errno's Windows numbers, command-line splitting and the exit sequence.
#include "sim/process/process.h"
#include "sim/runtime/command_line.h"
#include "sim/runtime/errno_values.h"
#include "sim/runtime/msvcrt.h"
#include "sim/runtime/streams.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#define CDECL __attribute__((cdecl))

namespace {

// Returns the runtime's export `name` as a function of type F.
template <typename F>
F Export(const char* name) {
    size_t count = 0;
    const sim::NamedExport* exports = sim::RuntimeExports(&count);
    for (size_t i = 0; i < count; ++i) {
        if (std::strcmp(exports[i].Name, name) == 0) {
            return reinterpret_cast<F>(const_cast<void*>(exports[i].Address));
        }
    }
    ADD_FAILURE() << "no export " << name;
    return nullptr;
}

typedef void*(CDECL* Fopen)(const char*, const char*);
typedef int(CDECL* OfStream)(void*);
typedef size_t(CDECL* Transfer)(void*, size_t, size_t, void*);
typedef size_t(CDECL* Write)(const void*, size_t, size_t, void*);
typedef int(CDECL* Fputs)(const char*, void*);
typedef int(CDECL* Fputc)(int, void*);
typedef int(CDECL* Fprintf)(void*, const char*, ...);
typedef int(CDECL* Fseek)(void*, long, int);
typedef int(CDECL* Read)(int, void*, unsigned);
typedef int(CDECL* OfDescriptor)(int);
typedef int*(CDECL* ErrnoAddress)(void);
typedef char*(CDECL* Strerror)(int);
typedef void*(CDECL* Onexit)(void*);
typedef void(CDECL* Exit)(int);
typedef void(CDECL* Abort)(void);

struct Runtime {
    Fopen fopen = Export<Fopen>("fopen");
    OfStream fclose = Export<OfStream>("fclose");
    OfStream ferror = Export<OfStream>("ferror");
    Transfer fread = Export<Transfer>("fread");
    Write fwrite = Export<Write>("fwrite");
    Fputs fputs = Export<Fputs>("fputs");
    Fputc fputc = Export<Fputc>("fputc");
    Fprintf fprintf = Export<Fprintf>("fprintf");
    Fseek fseek = Export<Fseek>("fseek");
    Read read = Export<Read>("_read");
    OfDescriptor close = Export<OfDescriptor>("_close");
    ErrnoAddress errnoAddress = Export<ErrnoAddress>("_errno");
    int Errno() { return *errnoAddress(); }
};

class RuntimeTest : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/runtime_test_XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        folder_ = pattern;
    }
    void TearDown() override { EXPECT_EQ(std::system(("rm -rf " + folder_).c_str()), 0); }
    std::string Path(const char* name) const { return folder_ + "/" + name; }
    static std::string Contents(const std::string& path) {
        std::ifstream file(path, std::ios::binary);
        std::ostringstream text;
        text << file.rdbuf();
        return text.str();
    }
    static void Store(const std::string& path, const std::string& bytes) {
        std::ofstream(path, std::ios::binary) << bytes;
    }
    // Returns the file's bytes after the runtime wrote through every output
    // call to a stream opened with `mode`.
    std::string Written(const char* mode) {
        void* stream = rt.fopen(Path("out").c_str(), mode);
        EXPECT_NE(stream, nullptr) << mode;
        if (stream == nullptr) return "";
        rt.fwrite("a\nb\n", 1, 4, stream);
        rt.fputc('\n', stream);
        rt.fputs("c\n", stream);
        rt.fprintf(stream, "%d\n", 7);
        EXPECT_EQ(rt.fclose(stream), 0);
        return Contents(Path("out"));
    }

    Runtime rt;
    std::string folder_;
};

TEST_F(RuntimeTest, TextModeTranslatesLineEndsBinaryModeKeepsBytes) {
    int* fileMode = sim::ProgramFileMode();
    EXPECT_EQ(Written("w"), "a\r\nb\r\n\r\nc\r\n7\r\n");  // _fmode 0: text
    EXPECT_EQ(Written("wb"), "a\nb\n\nc\n7\n");
    *fileMode = sim::FileModeBinary;
    EXPECT_EQ(Written("w"), "a\nb\n\nc\n7\n");
    EXPECT_EQ(Written("wt"), "a\r\nb\r\n\r\nc\r\n7\r\n");
    *fileMode = 0;

    // Reading: "\r\n" becomes "\n", a lone "\r" stays, Ctrl-Z ends the file.
    Store(Path("in"), "x\r\ny\rz\r\n\x1A" "after");
    char buffer[32] = {};
    void* text = rt.fopen(Path("in").c_str(), "r");
    ASSERT_NE(text, nullptr);
    EXPECT_EQ(rt.fread(buffer, 1, sizeof buffer, text), 6u);
    EXPECT_EQ(std::string(buffer, 6), "x\ny\rz\n");
    EXPECT_EQ(rt.fread(buffer, 1, sizeof buffer, text), 0u);
    EXPECT_EQ(rt.ferror(text), 0);
    // One byte at a time, a "\r\n" split across reads still reads as "\n".
    ASSERT_EQ(rt.fseek(text, 0, SEEK_SET), 0);
    std::string single;
    while (rt.fread(buffer, 1, 1, text) == 1) single += buffer[0];
    EXPECT_EQ(single, "x\ny\rz\n");
    rt.fclose(text);
    void* binary = rt.fopen(Path("in").c_str(), "rb");
    ASSERT_NE(binary, nullptr);
    EXPECT_EQ(rt.fread(buffer, 1, sizeof buffer, binary), 14u);
    EXPECT_EQ(std::string(buffer, 14), "x\r\ny\rz\r\n\x1A" "after");
    rt.fclose(binary);

    // The descriptor underneath reads in the stream's mode; a "\r" at the
    // end of one read waits for the next byte.
    Store(Path("in"), "p\r\nq\rr\r");
    void* stream = rt.fopen(Path("in").c_str(), "rt");
    ASSERT_NE(stream, nullptr);
    const int descriptor = static_cast<sim::WindowsFile*>(stream)->File;
    EXPECT_GE(descriptor, 3);
    EXPECT_EQ(rt.read(descriptor, buffer, 2), 2);
    EXPECT_EQ(std::string(buffer, 2), "p\n");
    EXPECT_EQ(rt.read(descriptor, buffer, 3), 3);
    EXPECT_EQ(std::string(buffer, 3), "q\rr");
    EXPECT_EQ(rt.read(descriptor, buffer, 8), 1);
    EXPECT_EQ(buffer[0], '\r');
    EXPECT_EQ(rt.read(descriptor, buffer, 8), 0);
    rt.fclose(stream);
}

TEST_F(RuntimeTest, OpenModesAndTheirFailures) {
    for (const char* bad : {"", "x", "rw", "rbt", "r++", "wbx", "ab,ccs=UTF-8"}) {
        *rt.errnoAddress() = 0;
        EXPECT_EQ(rt.fopen(Path("f").c_str(), bad), nullptr) << bad;
        EXPECT_EQ(rt.Errno(), 22) << bad;
    }
    Store(Path("f"), "1");
    void* append = rt.fopen(Path("f").c_str(), " a b ");
    ASSERT_NE(append, nullptr);
    rt.fputs("2", append);
    rt.fclose(append);
    EXPECT_EQ(Contents(Path("f")), "12");

    // Read and write, with a seek between, through drive Z:'s path.
    const std::string windowsPath = "Z:" + Path("f");
    void* both = rt.fopen(windowsPath.c_str(), "r+b");
    ASSERT_NE(both, nullptr);
    char buffer[4] = {};
    EXPECT_EQ(rt.fread(buffer, 1, 4, both), 2u);
    EXPECT_EQ(rt.fseek(both, 0, SEEK_SET), 0);
    EXPECT_EQ(rt.fwrite("9", 1, 1, both), 1u);
    EXPECT_EQ(rt.fseek(both, 0, 7), -1);
    EXPECT_EQ(rt.Errno(), 22);
    rt.fclose(both);
    EXPECT_EQ(Contents(Path("f")), "92");

    // Writing to a stream open for reading fails the stream with EBADF.
    void* reading = rt.fopen(Path("f").c_str(), "r");
    ASSERT_NE(reading, nullptr);
    EXPECT_EQ(rt.fwrite("x", 1, 1, reading), 0u);
    EXPECT_NE(rt.ferror(reading), 0);
    EXPECT_EQ(rt.Errno(), 9);
    // Once its descriptor is closed, the stream fails too.
    EXPECT_EQ(rt.close(static_cast<sim::WindowsFile*>(reading)->File), 0);
    EXPECT_EQ(rt.fread(buffer, 1, 1, reading), 0u);
    EXPECT_EQ(rt.Errno(), 9);
    rt.fclose(reading);
    EXPECT_EQ(Contents(Path("f")), "92");
    EXPECT_EQ(rt.fclose(buffer), EOF);
    EXPECT_EQ(rt.Errno(), 22);
}

TEST_F(RuntimeTest, ErrnoHasWindowsNumbersAndTexts) {
    EXPECT_EQ(sim::WindowsErrnoOf(ENOENT), 2);
    EXPECT_EQ(sim::WindowsErrnoOf(ERANGE), 34);
    EXPECT_EQ(sim::WindowsErrnoOf(EDEADLK), 36);
    EXPECT_EQ(sim::WindowsErrnoOf(ENAMETOOLONG), 38);
    EXPECT_EQ(sim::WindowsErrnoOf(ENOLCK), 39);
    EXPECT_EQ(sim::WindowsErrnoOf(ENOSYS), 40);
    EXPECT_EQ(sim::WindowsErrnoOf(ENOTEMPTY), 41);
    EXPECT_EQ(sim::WindowsErrnoOf(EILSEQ), 42);
    EXPECT_EQ(sim::WindowsErrnoOf(ETXTBSY), 13);
    EXPECT_EQ(sim::WindowsErrnoOf(ECONNRESET), 22);

    // What Windows reports where Linux differs: a folder opened as a file
    // is denied, a path through a file is not found.
    EXPECT_EQ(rt.fopen(folder_.c_str(), "r"), nullptr);
    EXPECT_EQ(rt.Errno(), 13);
    Store(Path("file"), "");
    EXPECT_EQ(rt.fopen(Path("file/below").c_str(), "r"), nullptr);
    EXPECT_EQ(rt.Errno(), 2);
    EXPECT_EQ(rt.read(-1, nullptr, 1), -1);
    EXPECT_EQ(rt.Errno(), 9);
    EXPECT_EQ(rt.close(2047), -1);
    EXPECT_EQ(rt.Errno(), 9);

    auto strerror = Export<Strerror>("strerror");
    EXPECT_STREQ(strerror(2), "No such file or directory");
    EXPECT_STREQ(strerror(16), "Resource device");
    EXPECT_STREQ(strerror(38), "Filename too long");
    EXPECT_STREQ(strerror(42), "Illegal byte sequence");
    EXPECT_STREQ(strerror(43), "Unknown error");
    EXPECT_STREQ(strerror(-1), "Unknown error");
}

TEST_F(RuntimeTest, PrintfFollowsTheWindowsRuntime) {
    void* stream = rt.fopen(Path("p").c_str(), "wb");
    ASSERT_NE(stream, nullptr);
    const uint16_t wide[] = {'w', 'i', 0x263A, 0};
    int count = 0;
    const int written = rt.fprintf(stream, "%p|%I64d|%lld|%e|%G|%zu|%05s|%S|%-3c|%#x|%f%n",
                                   reinterpret_cast<void*>(0x12AB), -(1LL << 40), 5LL, 1.5, 1e-10,
                                   "ab", wide, 'q', 255, 1.0 / 0.0, &count);
    rt.fclose(stream);
    const std::string expected =
        "000012AB|-1099511627776|5|1.500000e+000|1E-010|zu|000ab|wi?|q  |0xff|1.#INF00";
    EXPECT_EQ(Contents(Path("p")), expected);
    EXPECT_EQ(written, static_cast<int>(expected.size()));
    EXPECT_EQ(count, written);
}

// The processor's NaN of an invalid operation is "-1.#IND"; other NaNs
// are quiet ones, with their sign.
TEST_F(RuntimeTest, PrintfNamesEachKindOfNan) {
    void* stream = rt.fopen(Path("nan").c_str(), "wb");
    ASSERT_NE(stream, nullptr);
    const uint64_t bits[] = {0xFFF8000000000000ull, 0x7FF8000000000000ull, 0xFFF8000000000001ull};
    double values[3];
    std::memcpy(values, bits, sizeof values);
    rt.fprintf(stream, "%f|%f|%e", values[0], values[1], values[2]);
    rt.fclose(stream);
    EXPECT_EQ(Contents(Path("nan")), "-1.#IND00|1.#QNAN0|-1.#QNAN0e+000");
}

TEST(RuntimeCommandLine, QuotingAndSplittingRoundTrip) {
    const std::vector<std::vector<std::string>> cases = {
        {"Z:\\a b\\prog.exe", "plain", "with space", "tab\there", "quote\"in", "back\\slash",
         "trailing\\", "two\\\\", "slash and quote\\\"", "", "\"", "\\", "", "last"},
        {"C:\\dir with space\\", ""},
        {"", "\\\\server\\share\\ x"},
    };
    for (const auto& words : cases) {
        const std::string line = sim::QuoteCommandLine(words);
        EXPECT_EQ(sim::SplitCommandLine(line.c_str()), words) << line;
    }
    // msvcrt's own rules: the program name takes no escapes; two quotes in
    // a quoted section give a quote and end that section.
    using Words = std::vector<std::string>;
    EXPECT_EQ(sim::SplitCommandLine("\"C:\\x\\\" a\"b\"\" c d"), (Words{"C:\\x\\", "ab\"", "c", "d"}));
    EXPECT_EQ(sim::SplitCommandLine("p a\\\\\\b d\"e f\"g h"), (Words{"p", "a\\\\\\b", "de fg", "h"}));
    EXPECT_EQ(sim::SplitCommandLine("p a\\\\\\\"b c"), (Words{"p", "a\\\"b", "c"}));
    EXPECT_EQ(sim::SplitCommandLine("p a\\\\\\\\\"b c\" d  "), (Words{"p", "a\\\\b c", "d"}));
    EXPECT_EQ(sim::SplitCommandLine("p\t\"\"\t\"x"), (Words{"p", "", "x"}));

    typedef int(CDECL * GetMainArgs)(int*, char***, char***, int, void*);
    sim::SetProcessCommandLine("prog.exe one \"two three\" \"\"");
    int argc = 0;
    char** argv = nullptr;
    char** env = nullptr;
    int startInfo = 0;
    ASSERT_EQ(Export<GetMainArgs>("__getmainargs")(&argc, &argv, &env, 0, &startInfo), 0);
    ASSERT_EQ(argc, 4);
    EXPECT_STREQ(argv[2], "two three");
    EXPECT_STREQ(argv[3], "");
    EXPECT_EQ(argv[4], nullptr);
    ASSERT_NE(env, nullptr);
}

// The exit functions of the death tests, and the stream they write to.
void* exitStream = nullptr;
int CDECL FirstRegistered() { return Export<Fputs>("fputs")("first;", exitStream); }
int CDECL SecondRegistered() { return Export<Fputs>("fputs")("second;", exitStream); }

TEST_F(RuntimeTest, ExitRunsExitFunctionsLastFirstThenFlushes) {
    const std::string path = Path("exit");
    auto onexit = Export<Onexit>("_onexit");
    auto start = [&](const char* mode) {
        exitStream = rt.fopen(path.c_str(), mode);
        rt.fputs("main;", exitStream);  // still in the stream's buffer
        onexit(reinterpret_cast<void*>(&FirstRegistered));
        onexit(reinterpret_cast<void*>(&SecondRegistered));
    };
    EXPECT_EXIT((start("wb"), Export<Exit>("exit")(7)), ::testing::ExitedWithCode(7), "");
    EXPECT_EQ(Contents(path), "main;second;first;");
    // _exit runs nothing and loses what the streams hold.
    EXPECT_EXIT((start("wb"), Export<Exit>("_exit")(5)), ::testing::ExitedWithCode(5), "");
    EXPECT_EQ(Contents(path), "");
    EXPECT_EXIT((start("wb"), Export<Abort>("abort")()), ::testing::ExitedWithCode(3),
                "\r\nThis application has requested the Runtime to terminate it");
    EXPECT_EQ(Contents(path), "");
}

}  // namespace

// Exceptions in programs under ntrun: frames of the program's fs:[0]
// chain (fixtures/seh_program.c), the codes and addresses NT gives, stack
// overflows on any thread and the EXE's stack reserve, and programs built
// the MSVC way (fixtures/msvc/) whose start-up and __try blocks rest on
// the runtime's frame handlers.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <iterator>
#include <regex>
#include <string>
#include <vector>

namespace {

const std::string fixtures = PTASPI_RUNNER_FIXTURES;
const std::string sehProgram = fixtures + "/seh_program.exe";
const std::string msvcProgram = fixtures + "/msvc_program.exe";

struct Outcome {
    int Code = -1;
    std::string Out, Err;
};

// Returns the text of the file at `path`.
std::string Contents(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// Returns how `ntrun program argument` ended.
Outcome RunProgram(const std::string& program, const std::string& argument) {
    const std::string out = testing::TempDir() + "/ntrun-exceptions-" + std::to_string(getpid());
    const std::string err = out + "-err";
    const pid_t child = fork();
    if (child == 0) {
        const int outFile = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        const int errFile = open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        if (outFile < 0 || errFile < 0 || dup2(outFile, 1) < 0 || dup2(errFile, 2) < 0) _exit(99);
        execl(PTASPI_NTRUN, PTASPI_NTRUN, program.c_str(), argument.c_str(), nullptr);
        _exit(98);
    }
    int status = 0;
    waitpid(child, &status, 0);
    Outcome run;
    run.Code = WIFEXITED(status) ? WEXITSTATUS(status) : 1000 + WTERMSIG(status);
    run.Out = Contents(out);
    run.Err = Contents(err);
    return run;
}

// Returns `text` with each line ended as the runtime's text mode ends it.
std::string TextMode(const std::string& text) {
    return std::regex_replace(text, std::regex("\n"), "\r\n");
}

#define REQUIRE(program) \
    if (access(program.c_str(), R_OK) != 0) GTEST_SKIP() << program << " not built"

TEST(Exceptions, FramesOfTheChainContinueSearchAndUnwind) {
    REQUIRE(sehProgram);
    const struct {
        const char* Argument;
        const char* Out;
    } cases[] = {
        {"continue", "continue: resumed with the handler's registers\n"},
        {"search",
         "inner declines\nouter takes division by zero\ninner unwinding\n"
         "unwound to the outer frame\nrecovered\n"},
        {"raise", "raise: returned with its record\nraise: 15 arguments at most\n"},
        {"int3", "int3: at the instruction\n"},
    };
    for (const auto& c : cases) {
        const Outcome run = RunProgram(sehProgram, c.Argument);
        EXPECT_EQ(run.Out, c.Out) << c.Argument;
        EXPECT_EQ(run.Err, "") << c.Argument;
        EXPECT_EQ(run.Code, 0) << c.Argument;
    }
}

// Nothing a program does ends ntrun without its report: what no frame
// takes ends the run with NT's exception, where it happened, and code 3.
TEST(Exceptions, WhatNobodyTakesIsReportedWithNtsCode) {
    REQUIRE(sehProgram);
    const std::string inProgram = " at 0x004[0-9a-f]{5} \\(seh_program.exe\\+0x[0-9a-f]+\\)\n";
    const struct {
        const char* Argument;
        std::string Err;
    } cases[] = {
        {"priv", "privileged instruction \\(0xC0000096\\)" + inProgram},
        {"overflow", "integer overflow \\(0xC0000095\\)" + inProgram},
        {"divide", "integer division by zero \\(0xC0000094\\)" + inProgram},
        {"float", "floating-point division by zero \\(0xC000008E\\)" + inProgram},
        {"noncontinuable", "noncontinuable exception \\(0xC0000025\\) at 0x[0-9a-f]{8} .*\n"},
        {"selector", "access violation \\(0xC0000005\\)" + inProgram},
        {"gs", "access violation \\(0xC0000005\\) at 0x[0-9a-f]{8} \\(.*\\)\n"},
        {"section",
         "EnterCriticalSection\\(0x[0-9a-f]+\\): a section never initialised, called from "
         "0x004[0-9a-f]{5} \\(seh_program.exe\\+0x[0-9a-f]+\\)\n"},
    };
    for (const auto& c : cases) {
        const Outcome run = RunProgram(sehProgram, c.Argument);
        EXPECT_EQ(run.Code, 3) << c.Argument;
        EXPECT_TRUE(std::regex_match(run.Err, std::regex("ntrun: " + c.Err))) << run.Err;
    }
    EXPECT_NE(RunProgram(sehProgram, "noncontinuable").Out.find("noncontinuable: raised again\n"),
              std::string::npos);
}

// The program is linked for 32 MB of stack: its main thread and the
// threads it starts have that much, and its end is an exception that
// the program's frame takes, on either.
TEST(Exceptions, StacksAreAsLargeAsReservedAndOverflowIsAnException) {
    REQUIRE(sehProgram);
    const Outcome main = RunProgram(sehProgram, "stack");
    EXPECT_EQ(main.Out, "stack: overflow caught\n");
    EXPECT_EQ(main.Code, 0) << main.Err;
    const Outcome thread = RunProgram(sehProgram, "threadstack");
    EXPECT_EQ(thread.Out, "threadstack: overflow caught\n");
    EXPECT_EQ(thread.Code, 0) << thread.Err;
    const Outcome deep = RunProgram(sehProgram, "deep");
    EXPECT_EQ(deep.Out, "deep: 20 MB on the main thread\ndeep: 20 MB on a thread\n");
    EXPECT_EQ(deep.Code, 0) << deep.Err;
}

// Built with clang for i686-pc-windows-msvc and lld-link against import
// libraries of this project's .def files, with start-up code in the
// shape of Microsoft's.
TEST(Exceptions, ProgramsBuiltTheMsvcWayRunTheirTryBlocks) {
    REQUIRE(msvcProgram);
    const struct {
        const char* Argument;
        const char* Out;
    } cases[] = {
        {"startup", "initialized 1, control 9001f, fdiv 0\n"},
        {"nested",
         "inner filter declines\nouter filter takes c0000005\nfinally during the unwind\n"
         "outer handler: c0000005\n"},
        {"continue", "filter continues e0000042 with 42\nwent on after RaiseException\n"},
        {"eh4", "eh4: 0 then 1\n"},
        {"finally",
         "body\nfinally after the body, abnormal 0\nfinally in the unwind, abnormal 1\n"
         "handled e0000010\n"},
    };
    for (const auto& c : cases) {
        const Outcome run = RunProgram(msvcProgram, c.Argument);
        EXPECT_EQ(run.Out, TextMode(c.Out)) << c.Argument;
        EXPECT_EQ(run.Err, "") << c.Argument;
        EXPECT_EQ(run.Code, 0) << c.Argument;
    }
    const std::regex report(
        "ntrun: access violation \\(0xC0000005\\) at 0x004[0-9a-f]{5} "
        "\\(msvc_program.exe\\+0x[0-9a-f]+\\), writing 0x00000000\n");
    const Outcome unhandled = RunProgram(msvcProgram, "unhandled");
    EXPECT_EQ(unhandled.Code, 3);
    EXPECT_TRUE(std::regex_match(unhandled.Err, report)) << unhandled.Err;
    // _XcptFilter runs the program's SIGSEGV handler once, reset to the
    // default for the second fault.
    const Outcome signal = RunProgram(msvcProgram, "signal");
    EXPECT_EQ(signal.Out, TextMode("signal 11 handler\n"));
    EXPECT_TRUE(std::regex_match(signal.Err, report)) << signal.Err;
    // A filter that takes the fault ends the process through the start-up
    // code's __except with the exception's code.
    const Outcome filter = RunProgram(msvcProgram, "filter");
    EXPECT_EQ(filter.Out, TextMode("unhandled filter: c0000005\n"));
    EXPECT_NE(filter.Code, 0);
    EXPECT_NE(filter.Code, 3);
}

}  // namespace

// A program's process under ntrun as NT runs it (fixtures/process_program.c):
// its end with other threads running or blocked, its exit codes against
// ntrun's own, its standard handles over pipes and files, the runtime's
// stdio, and Ctrl-C. The test talks to the program through pipes; where
// it must act while the program runs, it waits for the program's "ready".
#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace {

const std::string fixtures = PTASPI_RUNNER_FIXTURES;
const std::string program = fixtures + "/process_program.exe";

#define REQUIRE_PROGRAM() \
    if (access(program.c_str(), R_OK) != 0) GTEST_SKIP() << program << " not built (no mingw-w64)"

// A running ntrun: its pid and the test's ends of its standard handles.
struct Child {
    pid_t Pid = -1;
    int In = -1;   // written by the test
    int Out = -1;  // read by the test
    int Err = -1;
};

// Returns ntrun started on the program with `arguments`; its standard
// input and output are `input` and `output` when given (file
// descriptors), pipes otherwise.
Child Start(const std::vector<std::string>& arguments, int input = -1, int output = -1) {
    int in[2], out[2], err[2];
    if (pipe(in) != 0 || pipe(out) != 0 || pipe(err) != 0) return Child();
    const pid_t child = fork();
    if (child == 0) {
        std::vector<char*> argv{const_cast<char*>(PTASPI_NTRUN), const_cast<char*>(program.c_str())};
        for (const std::string& argument : arguments) argv.push_back(const_cast<char*>(argument.c_str()));
        argv.push_back(nullptr);
        if (dup2(input >= 0 ? input : in[0], 0) < 0 || dup2(output >= 0 ? output : out[1], 1) < 0 || dup2(err[1], 2) < 0) {
            _exit(99);
        }
        for (int fd : {in[0], in[1], out[0], out[1], err[0], err[1]}) close(fd);
        execv(argv[0], argv.data());
        _exit(98);
    }
    close(in[0]);
    close(out[1]);
    close(err[1]);
    Child run;
    run.Pid = child;
    run.In = in[1];
    run.Out = out[0];
    run.Err = err[0];
    return run;
}

// Returns true once the program has written the line `wanted` on `fd`
// (with "\r\n" or "\n"), with what came before it in *before unless null;
// false when its output ended without it.
bool WaitForLine(int fd, const std::string& wanted, std::string* before = nullptr) {
    std::string line;
    char c;
    while (read(fd, &c, 1) == 1) {
        if (before != nullptr) *before += c;
        if (c != '\n') {
            line += c;
        } else if (line == wanted || line == wanted + "\r") {
            return true;
        } else {
            line.clear();
        }
    }
    return false;
}

// Returns true once the program has said it is ready.
bool WaitForReady(int fd) { return WaitForLine(fd, "ready"); }

// Returns the rest of what was written on `fd`, and closes it.
std::string ReadAll(int fd) {
    std::string text;
    char buffer[4096];
    ssize_t got;
    while ((got = read(fd, buffer, sizeof buffer)) > 0) text.append(buffer, static_cast<size_t>(got));
    close(fd);
    return text;
}

struct Outcome {
    int Status = -1;
    std::string Out, Err;
};

// Returns how the run ended, once all its output is read.
Outcome Finish(Child& run) {
    if (run.In >= 0) close(run.In);
    Outcome outcome;
    outcome.Out = ReadAll(run.Out);
    outcome.Err = ReadAll(run.Err);
    int status = 0;
    waitpid(run.Pid, &status, 0);
    outcome.Status = WIFEXITED(status) ? WEXITSTATUS(status) : 1000 + WTERMSIG(status);
    return outcome;
}

// Returns how ntrun on the program with `arguments` ended, its input
// `input` (written, then closed).
Outcome RunWith(const std::vector<std::string>& arguments, const std::string& input = "") {
    Child run = Start(arguments);
    if (!input.empty() && write(run.In, input.data(), input.size()) != static_cast<ssize_t>(input.size())) {
        ADD_FAILURE() << "input not written";
    }
    return Finish(run);
}

// Returns the number of times `part` occurs in `text`.
size_t Count(const std::string& text, const std::string& part) {
    size_t count = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++count;
    return count;
}

// Returns a file name of this test run's own.
std::string TempName(const std::string& name) {
    return testing::TempDir() + "/process-" + std::to_string(getpid()) + "-" + name;
}

TEST(RunnerProcess, ExitEndsEveryOtherThreadFirstThenDetachesOnce) {
    REQUIRE_PROGRAM();
    // A thread spinning in the program's code, and one blocked reading a
    // pipe that stays open (ReadFile, fread), by a return from main and by
    // ExitProcess.
    const std::vector<std::vector<std::string>> cases = {
        {"spin"}, {"spin", "ExitProcess"}, {"blocked"}, {"blocked", "ExitProcess"}, {"fread"}};
    // Once the detach has begun, the reader gets a byte to read.
    for (const auto& arguments : cases) {
        Child run = Start(arguments);
        std::string before;
        ASSERT_TRUE(WaitForLine(run.Out, "detaching", &before));
        EXPECT_EQ(write(run.In, "x", 1), 1);
        const int keepOpen = dup(run.In);
        Outcome outcome = Finish(run);
        close(keepOpen);
        outcome.Out = before + outcome.Out;
        EXPECT_EQ(outcome.Status, 5) << arguments[0] << outcome.Err;
        EXPECT_EQ(outcome.Err, "");
        EXPECT_EQ(Count(outcome.Out, "dll detach at exit\n"), 1u) << outcome.Out;
        EXPECT_EQ(outcome.Out.find("ran during the detach"), std::string::npos) << outcome.Out;
        EXPECT_EQ(outcome.Out.find("the reader read"), std::string::npos);
    }
}

TEST(RunnerProcess, CodesThatDoNotFitOrAreNtrunsOwnAreReportedInFull) {
    REQUIRE_PROGRAM();
    const struct {
        const char* Code;
        int Status;
        std::string Line;
    } cases[] = {
        {"0", 0, ""},
        {"200", 200, ""},
        {"256", 255, "ntrun: process_program.exe ended with exit code 256 (0x00000100)\n"},
        {"-1", 255, "ntrun: process_program.exe ended with exit code 4294967295 (0xFFFFFFFF)\n"},
        {"3", 3, "ntrun: process_program.exe ended with exit code 3 (0x00000003)\n"},
        {"126", 126, "ntrun: process_program.exe ended with exit code 126 (0x0000007E)\n"},
    };
    for (const auto& c : cases) {
        const Outcome outcome = RunWith({"exit", c.Code});
        EXPECT_EQ(outcome.Status, c.Status) << c.Code;
        EXPECT_EQ(outcome.Err, c.Line);
        EXPECT_NE(outcome.Out.find("dll detach at exit\n"), std::string::npos);
    }
}

TEST(RunnerProcess, StandardHandlesAreFilesOrPipesAsOnWindows) {
    REQUIRE_PROGRAM();
    // Standard error is written at each call, and so is standard output
    // on a console (a terminal here), while to a pipe it is buffered:
    // what _exit finds buffered is lost.
    const Outcome piped = RunWith({"stderr"});
    EXPECT_EQ(piped.Err, "written at once");
    EXPECT_EQ(piped.Out.find("partial"), std::string::npos);
    const int terminal = posix_openpt(O_RDWR | O_NOCTTY);
    ASSERT_GE(terminal, 0);
    ASSERT_EQ(grantpt(terminal), 0);
    ASSERT_EQ(unlockpt(terminal), 0);
    const int console = open(ptsname(terminal), O_RDWR | O_NOCTTY);
    ASSERT_GE(console, 0);
    Child onConsole = Start({"stderr"}, -1, console);
    close(console);
    Finish(onConsole);
    // The terminal passes what the program wrote on to its master side
    // some time after the write, in as many pieces as it likes: read
    // until the text is there or nothing more comes.
    std::string shown;
    while (shown.find("partial") == std::string::npos) {
        pollfd ready = {terminal, POLLIN, 0};
        if (poll(&ready, 1, 10000) <= 0) break;
        char piece[64];
        const ssize_t got = read(terminal, piece, sizeof piece);
        if (got <= 0) break;
        shown.append(piece, static_cast<size_t>(got));
    }
    EXPECT_NE(shown.find("partial"), std::string::npos) << shown;
    close(terminal);
    // GetFileType: 3 for a pipe, 1 for a disk file.
    const std::string inputFile = TempName("input");
    std::ofstream(inputFile, std::ios::binary) << "ab\ncd\n";
    EXPECT_NE(RunWith({"types"}).Out.find("types: 3 3\r\n"), std::string::npos);
    int input = open(inputFile.c_str(), O_RDONLY);
    Child run = Start({"types"}, input);
    close(input);
    EXPECT_NE(Finish(run).Out.find("types: 1 3\r\n"), std::string::npos);
    // fflush(stdin) drops what the stream had read ahead of the program.
    input = open(inputFile.c_str(), O_RDONLY);
    run = Start({"fflush"}, input);
    close(input);
    EXPECT_NE(Finish(run).Out.find("fflush: a, then 0 more\r\n"), std::string::npos);
    // _read in text mode: "\r\n" is "\n", Ctrl-Z ends the input.
    EXPECT_NE(RunWith({"read"}, "ab\r\ncd\x1a" "ef").Out.find("read: [ab\r\ncd]\r\n"), std::string::npos);
    // ReadFile at the end of a pipe fails with ERROR_BROKEN_PIPE.
    EXPECT_NE(RunWith({"eof"}, "12345").Out.find("eof: 5 bytes, FALSE, error 109\r\n"), std::string::npos);
    // fopen "a+" removes the Ctrl-Z that ends a file before it appends.
    const std::string appended = TempName("append");
    EXPECT_NE(RunWith({"append", appended}).Out.find("append: 4 bytes\r\n"), std::string::npos);
    unlink(appended.c_str());
    unlink(inputFile.c_str());
}

TEST(RunnerProcess, WritingToAPipeWithoutReaderFailsAndTheProgramGoesOn) {
    REQUIRE_PROGRAM();
    Child run = Start({"pipe"});
    ASSERT_TRUE(WaitForReady(run.Out));
    close(run.Out);
    run.Out = open("/dev/null", O_RDONLY);
    ASSERT_EQ(write(run.In, "g", 1), 1);
    const Outcome outcome = Finish(run);
    EXPECT_EQ(outcome.Status, 8);
    // ERROR_NO_DATA, and the runtime's EINVAL for it.
    EXPECT_EQ(outcome.Err, "pipe: WriteFile 0 error 232, fflush -1 errno 22\r\n");
}

TEST(RunnerProcess, CtrlCReachesTheHandlersOnANewThreadOrEndsTheProcess) {
    REQUIRE_PROGRAM();
    // Handlers, the last registered first: the console handler declines,
    // the runtime's passes SIGINT to the program's handler, reset to
    // SIG_DFL as it runs.
    Child run = Start({"ctrlc", "handlers"});
    ASSERT_TRUE(WaitForReady(run.Out));
    ASSERT_EQ(kill(run.Pid, SIGINT), 0);
    Outcome outcome = Finish(run);
    EXPECT_EQ(outcome.Status, 10);
    EXPECT_NE(outcome.Out.find("console handler: 0\r\nSIGINT handler: 2, then SIG_DFL\r\n"
                               "handled on another thread\r\n"),
              std::string::npos)
        << outcome.Out;
    // Without a handler that takes it (none at all; for Ctrl-Break, SIGQUIT
    // here, only handlers that decline) the process ends with
    // STATUS_CONTROL_C_EXIT, its DLL detached.
    const struct {
        std::vector<std::string> Arguments;
        int Signal;
        std::string Said;
    } untaken[] = {{{"ctrlc"}, SIGINT, ""}, {{"ctrlc", "handlers"}, SIGQUIT, "console handler: 1\r\n"}};
    for (const auto& c : untaken) {
        run = Start(c.Arguments);
        ASSERT_TRUE(WaitForReady(run.Out));
        ASSERT_EQ(kill(run.Pid, c.Signal), 0);
        outcome = Finish(run);
        EXPECT_EQ(outcome.Status, 255);
        EXPECT_EQ(outcome.Err, "ntrun: process_program.exe ended with exit code 3221225786 (0xC000013A)\n");
        EXPECT_NE(outcome.Out.find(c.Said), std::string::npos) << outcome.Out;
        EXPECT_NE(outcome.Out.find("dll detach at exit\n"), std::string::npos);
    }
}

}  // namespace

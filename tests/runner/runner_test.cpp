// ntrun on small Windows programs (fixtures/): a console program with the
// DLL it imports, in NT's order of attach and detach, with the exit code
// of its return or of ExitProcess; the one-line reports and exit codes of
// programs that fault, call what the simulator lacks, or cannot start;
// where DLLs are found; the list of imports.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <limits.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <iterator>
#include <regex>
#include <string>
#include <vector>

namespace {

const std::string fixtures = PTASPI_RUNNER_FIXTURES;
const std::string program = fixtures + "/runner_program.exe";

#define REQUIRE_FIXTURES() \
    if (access(program.c_str(), R_OK) != 0) GTEST_SKIP() << program << " not built (no mingw-w64)"

struct Outcome {
    int Code = -1;
    std::string Out, Err;
};

// Returns the text of the file at `path`.
std::string ReadText(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// Returns how ntrun with `arguments` ended, run in the folder `folder`.
Outcome Ntrun(const std::vector<std::string>& arguments, const std::string& folder = ".") {
    const std::string out = testing::TempDir() + "/ntrun-out-" + std::to_string(getpid());
    const std::string err = out + "-err";
    const pid_t child = fork();
    if (child == 0) {
        std::vector<char*> argv{const_cast<char*>(PTASPI_NTRUN)};
        for (const std::string& argument : arguments) argv.push_back(const_cast<char*>(argument.c_str()));
        argv.push_back(nullptr);
        const int outFile = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        const int errFile = open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        if (outFile < 0 || errFile < 0 || dup2(outFile, 1) < 0 || dup2(errFile, 2) < 0 ||
            chdir(folder.c_str()) != 0) {
            _exit(99);
        }
        execv(argv[0], argv.data());
        _exit(98);
    }
    int status = 0;
    waitpid(child, &status, 0);
    Outcome outcome;
    outcome.Code = WIFEXITED(status) ? WEXITSTATUS(status) : 1000 + WTERMSIG(status);
    outcome.Out = ReadText(out);
    outcome.Err = ReadText(err);
    return outcome;
}

// Returns the program's Windows path, as the program sees it.
std::string WindowsPath(std::string path) {
    char real[PATH_MAX];
    path = realpath(path.c_str(), real) != nullptr ? real : path;
    for (char& c : path) c = c == '/' ? '\\' : c;
    return "Z:" + path;
}

// Returns a copy of the file at `from` in a new folder `folder`, as `name`.
std::string CopyInto(const std::string& from, const std::string& folder, const std::string& name) {
    mkdir(folder.c_str(), 0700);
    const std::string to = folder + "/" + name;
    std::ofstream(to, std::ios::binary) << ReadText(from);
    return to;
}

TEST(Runner, ProgramRunsWithItsDllInNtOrderAndEndsWithItsCode) {
    REQUIRE_FIXTURES();
    const std::string path = WindowsPath(program);
    const Outcome returned = Ntrun({program, "a", "b c", "d\"e", "f\\", "g h\\"});
    EXPECT_EQ(returned.Code, 7);
    EXPECT_EQ(returned.Err, "");
    EXPECT_EQ(returned.Out, "dll attach\nprogram tls attach\ncommand line: " + path +
                                " a \"b c\" \"d\\\"e\" f\\ \"g h\\\\\"\nmodule: " + path +
                                "\nvalue: 42\nprogram tls detach\ndll detach at exit\n");
    // ExitProcess detaches as the return from the entry point does.
    const Outcome exited = Ntrun({program, "exit"});
    EXPECT_EQ(exited.Code, 9);
    EXPECT_NE(exited.Out.find("value: 42\nprogram tls detach\ndll detach at exit\n"),
              std::string::npos);
}

TEST(Runner, FaultsAndMissingImportsEndTheRunWithOneLineAndCode3) {
    REQUIRE_FIXTURES();
    const Outcome fault = Ntrun({program, "fault"});
    EXPECT_EQ(fault.Code, 3);
    EXPECT_TRUE(std::regex_match(fault.Err, std::regex("ntrun: access violation \\(0xC0000005\\) at "
                                                       "0x004[0-9a-f]{5} \\(runner_program.exe\\+0x[0-9a-f]+\\), "
                                                       "writing 0x00000000\n")))
        << fault.Err;
    EXPECT_EQ(fault.Out.find("detach"), std::string::npos);  // no detach after a fault
    // A filter that takes the fault: NT ends the process with its code,
    // which does not fit a Linux exit status.
    const Outcome filtered = Ntrun({program, "filter"});
    EXPECT_EQ(filtered.Code, 255);
    EXPECT_EQ(filtered.Err, "ntrun: runner_program.exe ended with exit code 3221225477 (0xC0000005)\n");
    EXPECT_NE(filtered.Out.find("filter: access violation writing 0\nprogram tls detach\n"),
              std::string::npos) << filtered.Out;
    const Outcome missing = Ntrun({program, "missing"});
    EXPECT_EQ(missing.Code, 3);
    EXPECT_TRUE(std::regex_match(missing.Err,
                                 std::regex("ntrun: runner_program.exe called KERNEL32.dll!Beep, which the "
                                            "simulator does not provide, from 0x004[0-9a-f]{5} "
                                            "\\(runner_program.exe\\+0x[0-9a-f]+\\)\n")))
        << missing.Err;
}

TEST(Runner, ImagesThatAreNoConsoleProgramsAreRefusedWithOneLine) {
    REQUIRE_FIXTURES();
    std::string wide = ReadText(program);
    const uint32_t header = *reinterpret_cast<const uint32_t*>(&wide[0x3C]);
    wide[header + 4] = '\x64';  // machine 0x8664
    wide[header + 5] = '\x86';
    const std::string folder = testing::TempDir() + "/runner-" + std::to_string(getpid());
    const std::string wideFile = folder + "/wide.exe";
    CopyInto(program, folder, "wide.exe");
    std::ofstream(wideFile, std::ios::binary) << wide;
    const std::string text = folder + "/notes.txt";
    std::ofstream(text) << "MZ is not enough\n";
    const struct {
        std::vector<std::string> Arguments;
        int Code;
        std::string Line;
    } cases[] = {
        {{fixtures + "/runner_dll.dll"}, 126, "a DLL, not a program"},
        {{fixtures + "/runner_gui.exe"}, 126, "a GUI program; only console programs run"},
        {{wideFile}, 126, "a 64-bit image; only 32-bit (PE32, i386) programs run"},
        {{text}, 126, "not a Windows program (an MS-DOS header without a PE image)"},
        {{folder + "/none.exe"}, 127, "no such file"},
        {{"--strict", program}, 126,
         "imports that the simulator does not provide (1): KERNEL32.dll!Beep"},
    };
    for (const auto& c : cases) {
        const Outcome outcome = Ntrun(c.Arguments);
        EXPECT_EQ(outcome.Code, c.Code) << c.Line;
        EXPECT_EQ(outcome.Err, "ntrun: " + c.Arguments.back() + ": " + c.Line + "\n");
        EXPECT_EQ(outcome.Out, "");
    }
}

TEST(Runner, DllsAreFoundBesideTheProgramThenInTheCurrentFolder) {
    REQUIRE_FIXTURES();
    const std::string folder = testing::TempDir() + "/runner-alone-" + std::to_string(getpid());
    const std::string alone = CopyInto(program, folder, "runner_program.exe");
    // Found in neither place, the program does not start, and the DLL and
    // the folders searched, in NT's order, are named.
    const Outcome lost = Ntrun({alone}, folder);
    EXPECT_EQ(lost.Code, 126);
    EXPECT_EQ(lost.Err, "ntrun: " + alone + ": the DLL runner_dll.dll that runner_program.exe "
                        "imports was found nowhere (searched, in order: " + WindowsPath(folder) +
                        ", " + WindowsPath(folder) +
                        ", C:\\WINNT\\system32, C:\\WINNT\\system, C:\\WINNT)\n");
    EXPECT_EQ(lost.Out, "");
    EXPECT_EQ(Ntrun({alone}, fixtures).Code, 7);
    // LoadLibraryA of a plain name, without its extension and in another
    // case, finds the DLL loaded beside the program, whatever the folder.
    const Outcome loaded = Ntrun({program, "load"}, "/");
    EXPECT_NE(loaded.Out.find("load: same\n"), std::string::npos) << loaded.Out;
}

TEST(Runner, ListsEveryImportOfTheProgramAndItsDlls) {
    REQUIRE_FIXTURES();
    const Outcome listed = Ntrun({"--list-imports", program});
    EXPECT_EQ(listed.Code, 0);
    EXPECT_EQ(listed.Out,
              "runner_program.exe: KERNEL32.dll!Beep missing\n"
              "runner_program.exe: KERNEL32.dll!ExitProcess provided\n"
              "runner_program.exe: KERNEL32.dll!GetCommandLineA provided\n"
              "runner_program.exe: KERNEL32.dll!GetModuleFileNameA provided\n"
              "runner_program.exe: KERNEL32.dll!GetModuleHandleA provided\n"
              "runner_program.exe: KERNEL32.dll!GetStdHandle provided\n"
              "runner_program.exe: KERNEL32.dll!LoadLibraryA provided\n"
              "runner_program.exe: KERNEL32.dll!SetUnhandledExceptionFilter provided\n"
              "runner_program.exe: KERNEL32.dll!WriteFile provided\n"
              "runner_dll.dll: KERNEL32.dll!GetStdHandle provided\n"
              "runner_dll.dll: KERNEL32.dll!WriteFile provided\n"
              "runner_program.exe: runner_dll.dll!RunnerDllValue provided\n" +
                  program + ": 12 imports, 1 missing\n");
}

// The C runtime's own start-up splits the command line back into argv:
// runs once the simulator provides every import the program needs.
TEST(Runner, ArgumentsRoundTripThroughTheRuntimesSplitting) {
    REQUIRE_FIXTURES();
    const std::string argv = fixtures + "/argv_program.exe";
    const Outcome strict = Ntrun({"--strict", argv});
    if (strict.Code == 126) GTEST_SKIP() << strict.Err;
    const Outcome split = Ntrun({argv, "a b", "", "c\"d", "e\\", "f\\\\\"g", "h\\ i\\\\"});
    EXPECT_EQ(split.Code, 7);
    EXPECT_EQ(split.Out, "[a b]\r\n[]\r\n[c\"d]\r\n[e\\]\r\n[f\\\\\"g]\r\n[h\\ i\\\\]\r\n");
}

}  // namespace

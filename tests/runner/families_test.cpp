// The family programs (families/) under ntrun --strict: each checks the
// documented results of one family of Win32 and C runtime functions and
// ends with "<family>: N checks, M failed"; built with mingw-w64 and the
// MSVC way, they must start with every import provided and end with no
// check failed.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <iterator>
#include <regex>
#include <string>
#include <vector>

namespace {

const std::string families = std::string(PTASPI_RUNNER_FIXTURES) + "/families/";

struct Run {
    int Code = -1;
    std::string Out;
};

// Returns how `ntrun --strict program arguments...` ended, with its
// standard output and error together, run in a scratch folder.
Run Strict(const std::string& program, const std::vector<std::string>& arguments = {}) {
    const std::string folder = testing::TempDir() + "/families-" + std::to_string(getpid());
    mkdir(folder.c_str(), 0700);
    const std::string out = folder + "/out";
    const pid_t child = fork();
    if (child == 0) {
        std::vector<std::string> words{PTASPI_NTRUN, "--strict", families + program};
        words.insert(words.end(), arguments.begin(), arguments.end());
        std::vector<char*> argv;
        for (std::string& word : words) argv.push_back(&word[0]);
        argv.push_back(nullptr);
        const int file = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        if (file < 0 || dup2(file, 1) < 0 || dup2(file, 2) < 0 || chdir(folder.c_str()) != 0) {
            _exit(99);
        }
        execv(argv[0], argv.data());
        _exit(98);
    }
    int status = 0;
    waitpid(child, &status, 0);
    std::ifstream in(out);
    Run run;
    run.Code = WIFEXITED(status) ? WEXITSTATUS(status) : 1000 + WTERMSIG(status);
    run.Out.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    return run;
}

// Expects the program to have run every check of `family` and failed none.
void ExpectAllPassed(const std::string& program, const std::string& family,
                     const std::vector<std::string>& arguments = {}) {
    if (access((families + program).c_str(), R_OK) != 0) {
        GTEST_SKIP() << program << " not built (no mingw-w64 or no clang and lld)";
    }
    const Run run = Strict(program, arguments);
    EXPECT_EQ(run.Code, 0) << run.Out;
    EXPECT_TRUE(std::regex_search(run.Out, std::regex(family + ": [1-9][0-9]* checks, 0 failed\r?\n")))
        << run.Out;
}

}  // namespace

TEST(RunnerFamilies, ThreadsMingw) { ExpectAllPassed("threads_family.exe", "threads"); }
TEST(RunnerFamilies, ThreadsMsvc) { ExpectAllPassed("threads_msvc.exe", "threads"); }
TEST(RunnerFamilies, SynchronizationMingw) { ExpectAllPassed("sync_family.exe", "sync"); }
TEST(RunnerFamilies, SynchronizationMsvc) { ExpectAllPassed("sync_msvc.exe", "sync"); }
TEST(RunnerFamilies, TimeMingw) { ExpectAllPassed("time_family.exe", "time"); }
TEST(RunnerFamilies, TimeMsvc) { ExpectAllPassed("time_msvc.exe", "time"); }
TEST(RunnerFamilies, StdioWideAndSetjmpMingw) { ExpectAllPassed("stdio_family.exe", "stdio"); }
TEST(RunnerFamilies, StdioWideAndSetjmpMsvc) { ExpectAllPassed("stdio_msvc.exe", "stdio"); }
TEST(RunnerFamilies, HeapsMingw) { ExpectAllPassed("heap_family.exe", "heaps"); }
TEST(RunnerFamilies, HeapsMsvc) { ExpectAllPassed("heap_msvc.exe", "heaps"); }
TEST(RunnerFamilies, CppThreadsExceptionsAndIostreamsWithWinpthreads) {
    ExpectAllPassed("threads_cpp.exe", "threads-c\\+\\+");
}
TEST(RunnerFamilies, WideEntryPoint) {
    ExpectAllPassed("wmain_family.exe", "wmain", {"first", "two words"});
}
TEST(RunnerFamilies, FilesAndFoldersMingw) { ExpectAllPassed("files_family.exe", "files"); }
TEST(RunnerFamilies, FilesAndFoldersMsvc) { ExpectAllPassed("files_msvc.exe", "files"); }
TEST(RunnerFamilies, ConsoleAndComMingw) { ExpectAllPassed("console_com_family.exe", "console-com"); }
TEST(RunnerFamilies, ConsoleAndComMsvc) { ExpectAllPassed("console_com_msvc.exe", "console-com"); }

// Functions that cannot mean anything on the machine are listed as limited.
TEST(RunnerFamilies, ListImportsMarksLimitedFunctions) {
    const std::string program = families + "console_com_family.exe";
    if (access(program.c_str(), R_OK) != 0) GTEST_SKIP() << "not built";
    const std::string out = testing::TempDir() + "/families-list-" + std::to_string(getpid());
    const pid_t child = fork();
    if (child == 0) {
        const int file = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        if (file < 0 || dup2(file, 1) < 0) _exit(99);
        execl(PTASPI_NTRUN, PTASPI_NTRUN, "--list-imports", program.c_str(), (char*)nullptr);
        _exit(98);
    }
    int status = 0;
    waitpid(child, &status, 0);
    std::ifstream in(out);
    const std::string listed((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_NE(listed.find("console_com_family.exe: ole32.dll!CoCreateInstance limited\n"),
              std::string::npos) << listed;
    EXPECT_NE(listed.find("console_com_family.exe: ole32.dll!CoInitialize provided\n"),
              std::string::npos) << listed;
}
TEST(RunnerFamilies, ChildProcessesAndPipesMingw) { ExpectAllPassed("process_family.exe", "processes"); }
TEST(RunnerFamilies, ChildProcessesAndPipesMsvc) { ExpectAllPassed("process_msvc.exe", "processes"); }

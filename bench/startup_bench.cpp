// Start-up: `aspitool scan` of the Linux build against `aspitool.exe scan`
// of the Windows build under ntrun, each a whole process from its start to
// its exit on the built-in default machine, outputs thrown away. Skipped
// until the windows preset has built aspitool.exe.
#include <benchmark/benchmark.h>

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <vector>

extern char** environ;

#if defined(PTASPI_NTRUN_PATH)
namespace {

// Returns the exit code of `words` run as a process, or -1 when it did not
// start or end normally.
int RunProcess(std::vector<std::string> words) {
    std::vector<char*> argv;
    for (std::string& word : words) argv.push_back(&word[0]);
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    pid_t pid = 0;
    const int spawned = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (spawned != 0) return -1;
    int status = 0;
    while (waitpid(pid, &status, 0) < 0) {
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// Returns nothing; times `words` as a whole process; a run that fails
// fails the benchmark.
void TimeProcess(benchmark::State& state, const std::vector<std::string>& words) {
    for (auto _ : state) {
        if (RunProcess(words) != 0) {
            state.SkipWithError("the scan failed");
            return;
        }
    }
}

void LinuxClient(benchmark::State& state) {
    TimeProcess(state, {PTASPI_ASPITOOL_PATH, "scan"});
}

void WindowsProgram(benchmark::State& state) {
    if (access(PTASPI_WINDOWS_PROGRAM_PATH, R_OK) != 0) {
        state.SkipWithError("aspitool.exe not built (cmake --preset windows)");
        return;
    }
    TimeProcess(state, {PTASPI_NTRUN_PATH, PTASPI_WINDOWS_PROGRAM_PATH, "scan"});
}

BENCHMARK(LinuxClient)->Name("Startup/LinuxClient/scan")->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(WindowsProgram)->Name("Startup/WindowsProgram/scan")->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace
#endif

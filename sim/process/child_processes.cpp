// Child processes: CreateProcessA/W start another program of the machine
// as ntrun starts one (the same ntrun, on the same machine file), with the
// standard handles STARTUPINFO gives when the handles are inherited, and
// CreatePipe makes the anonymous pipes a parent reads its child's output
// through. A child's process handle is signalled when it ends, and
// GetExitCodeProcess tells STILL_ACTIVE until then, then its exit code.
// Each child is a host process of its own: it sees the machine as the
// machine file describes it, not the parent's open handles or units' state.
#include "sim/process/child_processes.h"

#include "sim/kernel/code_pages.h"
#include "sim/kernel/handles.h"
#include "sim/kernel/host_paths.h"
#include "sim/kernel/kernel_objects.h"
#include "sim/kernel/pipe_handles.h"
#include "sim/kernel/win32_families.h"
#include "sim/loader/process.h"
#include "sim/process/program.h"
#include "sim/runtime/command_line.h"

#include <windows.h>

#include <fcntl.h>
#include <limits.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <fstream>
#include <iterator>
#include <map>
#include <string>
#include <thread>
#include <vector>

namespace sim {
namespace {

const DWORD StillActive = 259;
const DWORD StartfUseStdHandles = 0x100;

// A child: an event nobody but its watcher sets, so that waits on it work
// as on any object, with the child's id and exit code. Guarded by
// StateLock().
struct ChildProcess : EventObject {
    ChildProcess() : EventObject(true, false) {}
    pid_t Pid = 0;
    DWORD ExitCode = StillActive;
};

std::map<const KernelObject*, std::weak_ptr<ChildProcess>>& Children() {
    static auto* children = new std::map<const KernelObject*, std::weak_ptr<ChildProcess>>;
    return *children;
}

// Returns the child behind `handle`, or null.
std::shared_ptr<ChildProcess> ChildOf(HANDLE handle) {
    std::shared_ptr<KernelObject> object = LookupHandle(handle);
    if (!object) return nullptr;
    StateGuard guard(StateLock());
    auto found = Children().find(object.get());
    return found == Children().end() ? nullptr : found->second.lock();
}

// Returns the arguments of ntrun's own command line that choose the
// machine ("--machine FILE"), for the child to run on the same one.
std::vector<std::string> MachineArguments() {
    std::ifstream in("/proc/self/cmdline", std::ios::binary);
    const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::vector<std::string> words;
    for (size_t at = 0; at < text.size();) {
        const size_t end = text.find('\0', at);
        words.push_back(text.substr(at, end - at));
        at = end == std::string::npos ? text.size() : end + 1;
    }
    for (size_t i = 1; i + 1 < words.size(); ++i) {
        if (words[i] == "--machine") return {"--machine", words[i + 1]};
    }
    return {};
}

// Returns the host path of the program that `name` names, looked for as
// CreateProcess looks: as given when it has a folder, else in the parent
// program's folder, then the current folder; ".exe" added when it has no
// extension. Empty when there is none.
std::string FindProgram(std::string name) {
    const size_t slash = name.find_last_of("\\/");
    if (name.find('.', slash == std::string::npos ? 0 : slash) == std::string::npos) name += ".exe";
    struct stat info;
    if (name.find_first_of("\\/:") != std::string::npos) {
        const std::string host = HostPath(name.c_str());
        return stat(host.c_str(), &info) == 0 && S_ISREG(info.st_mode) ? host : std::string();
    }
    const std::string& program = ProgramPath();
    char current[PATH_MAX];
    const std::string folders[] = {program.substr(0, program.rfind('/')),
                                   getcwd(current, sizeof current) != nullptr ? current : "."};
    for (const std::string& folder : folders) {
        const std::string host = folder + "/" + name;
        if (stat(host.c_str(), &info) == 0 && S_ISREG(info.st_mode)) return host;
    }
    return std::string();
}

// Returns nothing once the child has ended and its object is signalled
// with its code (ntrun's status: the program's code when it fits 8 bits).
void Watch(std::shared_ptr<ChildProcess> child) {
    int status = 0;
    while (waitpid(child->Pid, &status, 0) < 0 && errno == EINTR) {
    }
    StateGuard guard(StateLock());
    child->ExitCode = WIFEXITED(status) ? static_cast<DWORD>(WEXITSTATUS(status))
                                        : 0xC000013A;  // ended by a signal
    child->Signalled = true;
    SignalQueueLocked(child->Waiters);
}

BOOL Fail(DWORD error) {
    SetLastErrorCode(error);
    return FALSE;
}

}  // namespace

// thread_creation.cpp: true for this process's pseudo-handle and the
// handles OpenProcess gives for it.
bool IsOwnProcessHandle(HANDLE handle);

bool ChildExitCode(HANDLE handle, DWORD* code) {
    std::shared_ptr<ChildProcess> child = ChildOf(handle);
    if (!child) return false;
    StateGuard guard(StateLock());
    *code = child->ExitCode;
    return true;
}

DWORD ChildProcessId(HANDLE handle) {
    std::shared_ptr<ChildProcess> child = ChildOf(handle);
    return child ? static_cast<DWORD>(child->Pid) : 0;
}

}  // namespace sim

// CreateProcess's PROCESS_INFORMATION.
struct ProcessInformation {
    HANDLE Process;
    HANDLE Thread;
    DWORD ProcessId;
    DWORD ThreadId;
};

extern "C" {

// Returns TRUE with the child's handles and ids once it is started; FALSE
// with 2 for no such program, 193 for a file that is no console program
// of the machine, 87 for no name at all.
BOOL WINAPI CreateProcessA(LPCSTR lpApplicationName, LPSTR lpCommandLine,
                           LPSECURITY_ATTRIBUTES lpProcessAttributes,
                           LPSECURITY_ATTRIBUTES lpThreadAttributes, BOOL bInheritHandles,
                           DWORD dwCreationFlags, LPVOID lpEnvironment,
                           LPCSTR lpCurrentDirectory, STARTUPINFOA* lpStartupInfo,
                           void* lpProcessInformation) {
    (void)lpProcessAttributes;
    (void)lpThreadAttributes;
    (void)dwCreationFlags;
    (void)lpEnvironment;  // the child has the parent's environment
    if ((lpApplicationName == nullptr && lpCommandLine == nullptr) || lpStartupInfo == nullptr ||
        lpProcessInformation == nullptr) {
        return sim::Fail(ERROR_INVALID_PARAMETER);
    }
    std::vector<std::string> words =
        sim::SplitCommandLine(lpCommandLine != nullptr ? lpCommandLine : lpApplicationName);
    const std::string name =
        lpApplicationName != nullptr ? lpApplicationName : words.empty() ? "" : words[0];
    const std::string program = sim::FindProgram(name);
    if (program.empty()) return sim::Fail(ERROR_FILE_NOT_FOUND);
    {
        std::ifstream file(program, std::ios::binary);
        const std::vector<unsigned char> bytes((std::istreambuf_iterator<char>(file)),
                                               std::istreambuf_iterator<char>());
        if (!sim::ProgramImageProblem(bytes).empty()) return sim::Fail(ERROR_BAD_EXE_FORMAT);
    }
    // The child's standard handles: those STARTUPINFO names, when they are
    // inherited; without inheritance they name nothing in the child.
    int standard[3] = {0, 1, 2};
    if ((lpStartupInfo->dwFlags & sim::StartfUseStdHandles) != 0) {
        const HANDLE given[3] = {lpStartupInfo->hStdInput, lpStartupInfo->hStdOutput,
                                 lpStartupInfo->hStdError};
        for (int i = 0; i < 3; ++i) {
            standard[i] = bInheritHandles ? sim::StreamDescriptorOf(given[i]) : -1;
        }
    }
    char self[PATH_MAX];
    const ssize_t length = readlink("/proc/self/exe", self, sizeof self - 1);
    if (length <= 0) return sim::Fail(ERROR_FILE_NOT_FOUND);
    self[length] = '\0';
    std::vector<std::string> arguments{self};
    for (const std::string& word : sim::MachineArguments()) arguments.push_back(word);
    arguments.push_back(program);
    for (size_t i = 1; i < words.size(); ++i) arguments.push_back(words[i]);
    const std::string folder =
        lpCurrentDirectory != nullptr ? sim::HostPath(lpCurrentDirectory) : std::string();

    std::fflush(nullptr);
    const pid_t pid = fork();
    if (pid < 0) return sim::Fail(ERROR_NOT_ENOUGH_MEMORY);
    if (pid == 0) {
        const int nothing = open("/dev/null", O_RDWR);
        int moved[3];
        for (int i = 0; i < 3; ++i) moved[i] = fcntl(standard[i] >= 0 ? standard[i] : nothing, F_DUPFD, 10);
        for (int i = 0; i < 3; ++i) dup2(moved[i], i);
        if (!folder.empty() && chdir(folder.c_str()) != 0) _exit(126);
        std::vector<char*> argv;
        for (std::string& argument : arguments) argv.push_back(&argument[0]);
        argv.push_back(nullptr);
        execv(argv[0], argv.data());
        _exit(126);
    }
    auto child = std::make_shared<sim::ChildProcess>();
    child->Pid = pid;
    {
        sim::StateGuard guard(sim::StateLock());
        sim::Children()[child.get()] = child;
    }
    std::thread(sim::Watch, child).detach();
    auto* information = static_cast<ProcessInformation*>(lpProcessInformation);
    information->Process = sim::InsertHandle(child);
    // The child's main thread ends with it: its handle names the same
    // object.
    information->Thread = sim::InsertHandle(child);
    information->ProcessId = static_cast<DWORD>(pid);
    information->ThreadId = static_cast<DWORD>(pid);
    return TRUE;
}

// As CreateProcessA, with UTF-16 names (STARTUPINFOW has STARTUPINFOA's
// layout, its texts unused here).
BOOL WINAPI CreateProcessW(LPCWSTR lpApplicationName, LPWSTR lpCommandLine,
                           LPSECURITY_ATTRIBUTES lpProcessAttributes,
                           LPSECURITY_ATTRIBUTES lpThreadAttributes, BOOL bInheritHandles,
                           DWORD dwCreationFlags, LPVOID lpEnvironment,
                           LPCWSTR lpCurrentDirectory, void* lpStartupInfo,
                           void* lpProcessInformation) {
    std::string application, command, folder;
    if (lpApplicationName != nullptr) application = sim::Utf8FromWide(lpApplicationName);
    if (lpCommandLine != nullptr) command = sim::Utf8FromWide(lpCommandLine);
    if (lpCurrentDirectory != nullptr) folder = sim::Utf8FromWide(lpCurrentDirectory);
    return CreateProcessA(lpApplicationName != nullptr ? application.c_str() : nullptr,
                          lpCommandLine != nullptr ? &command[0] : nullptr, lpProcessAttributes,
                          lpThreadAttributes, bInheritHandles, dwCreationFlags, lpEnvironment,
                          lpCurrentDirectory != nullptr ? folder.c_str() : nullptr,
                          static_cast<STARTUPINFOA*>(lpStartupInfo), lpProcessInformation);
}

// Returns TRUE with the read and write ends of a new anonymous pipe.
BOOL WINAPI CreatePipe(PHANDLE hReadPipe, PHANDLE hWritePipe,
                       LPSECURITY_ATTRIBUTES lpPipeAttributes, DWORD nSize) {
    (void)lpPipeAttributes;  // inheritance is CreateProcess's bInheritHandles here
    (void)nSize;
    int ends[2];
    if (pipe2(ends, O_CLOEXEC) != 0) return sim::Fail(ERROR_NOT_ENOUGH_MEMORY);
    *hReadPipe = sim::InsertPipeEnd(ends[0]);
    *hWritePipe = sim::InsertPipeEnd(ends[1]);
    return TRUE;
}

// Returns TRUE with the process's exit code: STILL_ACTIVE for this one
// and for a child that runs; FALSE with 6 for a handle of no process.
BOOL WINAPI GetExitCodeProcess(HANDLE hProcess, LPDWORD lpExitCode) {
    if (sim::ChildExitCode(hProcess, lpExitCode)) return TRUE;
    if (!sim::IsOwnProcessHandle(hProcess)) return sim::Fail(ERROR_INVALID_HANDLE);
    *lpExitCode = sim::StillActive;
    return TRUE;
}

// Returns the id of the process behind the handle, 0 with 6 for none.
DWORD WINAPI GetProcessId(HANDLE Process) {
    if (const DWORD child = sim::ChildProcessId(Process)) return child;
    if (!sim::IsOwnProcessHandle(Process)) {
        sim::SetLastErrorCode(ERROR_INVALID_HANDLE);
        return 0;
    }
    return GetCurrentProcessId();
}

}  // extern "C"

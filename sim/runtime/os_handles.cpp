// The runtime's bridge between descriptors and Win32 handles
// (_get_osfhandle, _open_osfhandle) and its assertion report (_assert,
// _wassert).
#include "sim/runtime/runtime_families.h"

#include "sim/kernel/code_pages.h"
#include "sim/kernel/pipe_handles.h"
#include "sim/runtime/descriptors.h"
#include "sim/runtime/errno_values.h"
#include "sim/runtime/streams.h"

#include <windows.h>

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <map>
#include <mutex>
#include <string>

namespace {

const int OpenText = 0x4000;

std::mutex handlesLock;
// The handle given for each descriptor above 2, made at the first ask.
std::map<int, HANDLE>& DescriptorHandles() {
    static auto* handles = new std::map<int, HANDLE>;
    return *handles;
}

}  // namespace

// Returns the Win32 handle of descriptor `d` (the standard handles for 0
// to 2), or INVALID_HANDLE_VALUE with EBADF.
RUNTIME_ENTRY intptr_t rt_get_osfhandle(int d) {
    const DWORD standard[3] = {STD_INPUT_HANDLE, STD_OUTPUT_HANDLE, STD_ERROR_HANDLE};
    const int hostFd = sim::HostFdOf(d, nullptr);
    if (hostFd < 0) return reinterpret_cast<intptr_t>(INVALID_HANDLE_VALUE);
    if (d >= 0 && d < 3) return reinterpret_cast<intptr_t>(GetStdHandle(standard[d]));
    std::lock_guard<std::mutex> hold(handlesLock);
    HANDLE& handle = DescriptorHandles()[d];
    if (handle == nullptr) handle = sim::InsertPipeEnd(fcntl(hostFd, F_DUPFD_CLOEXEC, 3));
    return reinterpret_cast<intptr_t>(handle);
}

// Returns a new descriptor over the file a standard handle or pipe end
// reaches (text mode with _O_TEXT), or -1 with EBADF for any other handle.
RUNTIME_ENTRY int rt_open_osfhandle(intptr_t handle, int flags) {
    const int hostFd = sim::StreamDescriptorOf(reinterpret_cast<HANDLE>(handle));
    if (hostFd < 0) {
        sim::SetProgramErrno(sim::WindowsEBADF);
        return -1;
    }
    const int copy = fcntl(hostFd, F_DUPFD_CLOEXEC, 3);
    const int d = copy < 0 ? -1 : sim::OpenPlainDescriptor(copy, (flags & OpenText) != 0);
    if (d < 0) {
        if (copy >= 0) close(copy);
        sim::SetProgramErrno(sim::WindowsEMFILE);
    }
    return d;
}

// Never returns: the console runtime's report of a failed assertion on
// standard error, then abort.
RUNTIME_ENTRY void rt_assert(const char* expression, const char* file, unsigned line) {
    char text[1024];
    const int length = std::snprintf(text, sizeof text, "Assertion failed: %s, file %s, line %u\n",
                                     expression, file, line);
    rt_fflush(nullptr);
    sim::WriteStandardErrorRaw(text, static_cast<size_t>(length < 0 ? 0 : length));
    rt_abort();
    __builtin_unreachable();  // abort ends the process
}

// As _assert, with UTF-16 texts.
RUNTIME_ENTRY void rt_wassert(const uint16_t* expression, const uint16_t* file, unsigned line) {
    const std::string narrowExpression = sim::Utf8FromWide(reinterpret_cast<LPCWSTR>(expression));
    const std::string narrowFile = sim::Utf8FromWide(reinterpret_cast<LPCWSTR>(file));
    rt_assert(narrowExpression.c_str(), narrowFile.c_str(), line);
}

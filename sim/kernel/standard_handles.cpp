// The process's standard handles: input, output and error are the host's
// own descriptors 0, 1 and 2, reached through handles of the process's
// table, so that a program's output reaches the host's unchanged (no
// translation of line ends: that is the C runtime's business).
#include "sim/devices/device_io.h"
#include "sim/kernel/code_pages.h"
#include "sim/kernel/handles.h"
#include "sim/kernel/threads.h"

#include <windows.h>

#include <errno.h>
#include <sys/stat.h>
#include <unistd.h>

#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace sim {
namespace {

struct StreamObject : KernelObject {
    explicit StreamObject(int descriptor, bool owned = false)
        : KernelObject(ObjectKind::Stream), Descriptor(descriptor), Owned(owned) {}
    ~StreamObject() override {
        if (Owned) close(Descriptor);
    }
    // The host's. A standard handle's is never closed, it is not the
    // process's to close; a pipe end's is the handle's own.
    const int Descriptor;
    const bool Owned;
};

// Returns the three standard handles, made at the first ask, as NT gives
// them at process start; a handle closed since stays closed.
HANDLE* StandardHandles() {
    static HANDLE handles[3];
    static std::once_flag made;
    std::call_once(made, [] {
        for (int descriptor = 0; descriptor < 3; ++descriptor) {
            handles[descriptor] = InsertHandle(std::make_shared<StreamObject>(descriptor));
        }
    });
    return handles;
}

// Returns the stream behind `handle`, or null with 6 set (1 for a device
// file, which this simulator gives no reads or writes).
std::shared_ptr<StreamObject> StreamOf(HANDLE handle) {
    std::shared_ptr<KernelObject> object = LookupHandle(handle);
    if (!object || object->Kind != ObjectKind::Stream) {
        SetLastErrorCode(object && object->Kind == ObjectKind::File ? ERROR_INVALID_FUNCTION
                                                                    : ERROR_INVALID_HANDLE);
        return nullptr;
    }
    return std::static_pointer_cast<StreamObject>(object);
}

}  // namespace
}  // namespace sim

// Returns the standard input, output or error handle; INVALID_HANDLE_VALUE
// with 6 for any other number.
extern "C" HANDLE WINAPI GetStdHandle(DWORD nStdHandle) {
    sim::ExitIfTerminated();
    const DWORD numbers[3] = {STD_INPUT_HANDLE, STD_OUTPUT_HANDLE, STD_ERROR_HANDLE};
    for (int i = 0; i < 3; ++i) {
        if (nStdHandle == numbers[i]) return sim::StandardHandles()[i];
    }
    sim::SetLastErrorCode(ERROR_INVALID_HANDLE);
    return INVALID_HANDLE_VALUE;
}

// Returns TRUE with every byte written and their number in
// *lpNumberOfBytesWritten; FALSE with the last error set (998 for a null
// count pointer, which NT requires without overlapped I/O).
extern "C" BOOL WINAPI WriteFile(HANDLE hFile, LPCVOID lpBuffer, DWORD nNumberOfBytesToWrite,
                                 LPDWORD lpNumberOfBytesWritten, LPOVERLAPPED lpOverlapped) {
    sim::ExitIfTerminated();
    if (sim::IsDeviceFileHandle(hFile)) {
        return sim::WriteDeviceFile(hFile, lpBuffer, nNumberOfBytesToWrite, lpNumberOfBytesWritten, lpOverlapped);
    }
    auto stream = sim::StreamOf(hFile);
    if (!stream) return FALSE;
    if (lpNumberOfBytesWritten == nullptr || lpOverlapped != nullptr) {
        sim::SetLastErrorCode(lpOverlapped != nullptr ? ERROR_INVALID_PARAMETER : ERROR_NOACCESS);
        return FALSE;
    }
    *lpNumberOfBytesWritten = 0;
    const char* bytes = static_cast<const char*>(lpBuffer);
    DWORD done = 0;
    while (done < nNumberOfBytesToWrite) {
        const ssize_t put = write(stream->Descriptor, bytes + done, nNumberOfBytesToWrite - done);
        if (put < 0 && errno == EINTR) {
            sim::ExitIfTerminated();  // process exit cut the write short
            continue;
        }
        if (put <= 0) {
            // A pipe whose reader has gone: NT's pipe is closing, and the
            // write fails; the process goes on.
            *lpNumberOfBytesWritten = done;
            sim::SetLastErrorCode(errno == EPIPE ? ERROR_NO_DATA : ERROR_IO_DEVICE);
            return FALSE;
        }
        done += static_cast<DWORD>(put);
    }
    *lpNumberOfBytesWritten = done;
    return TRUE;
}

// Returns TRUE with the bytes read (0 at the end of the input) and their
// number in *lpNumberOfBytesRead; FALSE with the last error set.
extern "C" BOOL WINAPI ReadFile(HANDLE hFile, LPVOID lpBuffer, DWORD nNumberOfBytesToRead,
                                LPDWORD lpNumberOfBytesRead, LPOVERLAPPED lpOverlapped) {
    sim::ExitIfTerminated();
    if (sim::IsDeviceFileHandle(hFile)) {
        return sim::ReadDeviceFile(hFile, lpBuffer, nNumberOfBytesToRead, lpNumberOfBytesRead, lpOverlapped);
    }
    auto stream = sim::StreamOf(hFile);
    if (!stream) return FALSE;
    if (lpNumberOfBytesRead == nullptr || lpOverlapped != nullptr) {
        sim::SetLastErrorCode(lpOverlapped != nullptr ? ERROR_INVALID_PARAMETER : ERROR_NOACCESS);
        return FALSE;
    }
    ssize_t got;
    for (;;) {
        got = read(stream->Descriptor, lpBuffer, nNumberOfBytesToRead);
        if (got >= 0 || errno != EINTR) break;
        sim::ExitIfTerminated();  // process exit cut the read short
    }
    *lpNumberOfBytesRead = got > 0 ? static_cast<DWORD>(got) : 0;
    if (got < 0) {
        sim::SetLastErrorCode(ERROR_IO_DEVICE);
        return FALSE;
    }
    // The end of a pipe, once every writer has gone, is an error on NT; the
    // end of a file or of a terminal's input is a read of 0 bytes.
    struct stat info;
    if (got == 0 && nNumberOfBytesToRead != 0 && fstat(stream->Descriptor, &info) == 0 &&
        (S_ISFIFO(info.st_mode) || S_ISSOCK(info.st_mode))) {
        sim::SetLastErrorCode(ERROR_BROKEN_PIPE);
        return FALSE;
    }
    return TRUE;
}

// Returns what the handle reaches: a character device (a terminal), a
// pipe or a disk file for the standard handles, as the host's descriptor
// is; FILE_TYPE_CHAR for a device file; FILE_TYPE_UNKNOWN with 6 for
// anything else.
extern "C" DWORD WINAPI GetFileType(HANDLE hFile) {
    sim::ExitIfTerminated();
    std::shared_ptr<sim::KernelObject> object = sim::LookupHandle(hFile);
    if (object && object->Kind == sim::ObjectKind::File) return FILE_TYPE_CHAR;
    if (!object || object->Kind != sim::ObjectKind::Stream) {
        sim::SetLastErrorCode(ERROR_INVALID_HANDLE);
        return FILE_TYPE_UNKNOWN;
    }
    struct stat info;
    const int descriptor = static_cast<sim::StreamObject*>(object.get())->Descriptor;
    if (fstat(descriptor, &info) != 0) return FILE_TYPE_UNKNOWN;
    if (S_ISCHR(info.st_mode)) return FILE_TYPE_CHAR;
    if (S_ISFIFO(info.st_mode) || S_ISSOCK(info.st_mode)) return FILE_TYPE_PIPE;
    return FILE_TYPE_DISK;
}

// The console's modes, code pages and writes. A standard handle is a
// console handle when the host's descriptor is a terminal; one redirected
// to a file or a pipe is not, and the console functions fail on it with 6,
// as Windows documents for WriteConsole and GetConsoleMode.
namespace sim {
namespace {

const DWORD InputModeBits = 0x3FF;   // ENABLE_PROCESSED_INPUT .. ENABLE_VIRTUAL_TERMINAL_INPUT
const DWORD OutputModeBits = 0x1F;   // ENABLE_PROCESSED_OUTPUT .. DISABLE_NEWLINE_AUTO_RETURN
std::mutex consoleLock;
DWORD inputMode = 0x7;   // processed, line and echo input, as a new console's
DWORD outputMode = 0x3;  // processed output, wrap at end of line
UINT inputCodePage = 437;
UINT outputCodePage = 437;

// Returns the console stream behind `handle`, or null with 6 set.
std::shared_ptr<StreamObject> ConsoleOf(HANDLE handle) {
    std::shared_ptr<StreamObject> stream = StreamOf(handle);
    if (stream && isatty(stream->Descriptor) == 1) return stream;
    SetLastErrorCode(ERROR_INVALID_HANDLE);
    return nullptr;
}

// Returns TRUE once `bytes` are written to the console, the characters
// counted in *written.
BOOL WriteToConsole(const StreamObject& stream, const std::string& bytes, DWORD characters,
                    LPDWORD written) {
    size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t result = write(stream.Descriptor, bytes.data() + done, bytes.size() - done);
        if (result < 0 && errno == EINTR) continue;
        if (result <= 0) {
            SetLastErrorCode(ERROR_NO_DATA);
            return FALSE;
        }
        done += static_cast<size_t>(result);
    }
    if (written != nullptr) *written = characters;
    return TRUE;
}

}  // namespace
}  // namespace sim

// Returns TRUE with the console input or output mode of the handle.
extern "C" BOOL WINAPI GetConsoleMode(HANDLE hConsoleHandle, LPDWORD lpMode) {
    auto console = sim::ConsoleOf(hConsoleHandle);
    if (!console) return FALSE;
    std::lock_guard<std::mutex> hold(sim::consoleLock);
    *lpMode = console->Descriptor == 0 ? sim::inputMode : sim::outputMode;
    return TRUE;
}

// Returns TRUE once the mode is set; FALSE with 87 for a bit the handle's
// side of the console does not have.
extern "C" BOOL WINAPI SetConsoleMode(HANDLE hConsoleHandle, DWORD dwMode) {
    auto console = sim::ConsoleOf(hConsoleHandle);
    if (!console) return FALSE;
    const bool input = console->Descriptor == 0;
    if ((dwMode & ~(input ? sim::InputModeBits : sim::OutputModeBits)) != 0) {
        sim::SetLastErrorCode(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    std::lock_guard<std::mutex> hold(sim::consoleLock);
    (input ? sim::inputMode : sim::outputMode) = dwMode;
    return TRUE;
}

// Returns TRUE once the characters (bytes of the console's code page) are
// written to the console.
extern "C" BOOL WINAPI WriteConsoleA(HANDLE hConsoleOutput, const void* lpBuffer,
                                     DWORD nNumberOfCharsToWrite, LPDWORD lpNumberOfCharsWritten,
                                     LPVOID lpReserved) {
    (void)lpReserved;
    auto console = sim::ConsoleOf(hConsoleOutput);
    if (!console || console->Descriptor == 0) {
        sim::SetLastErrorCode(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    return sim::WriteToConsole(
        *console, std::string(static_cast<const char*>(lpBuffer), nNumberOfCharsToWrite),
        nNumberOfCharsToWrite, lpNumberOfCharsWritten);
}

// Returns TRUE once the UTF-16 characters are written to the console (as
// UTF-8 to the host's terminal, which shows what a console shows).
extern "C" BOOL WINAPI WriteConsoleW(HANDLE hConsoleOutput, const void* lpBuffer,
                                     DWORD nNumberOfCharsToWrite, LPDWORD lpNumberOfCharsWritten,
                                     LPVOID lpReserved) {
    (void)lpReserved;
    auto console = sim::ConsoleOf(hConsoleOutput);
    if (!console || console->Descriptor == 0) {
        sim::SetLastErrorCode(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    std::vector<WCHAR> text(static_cast<const WCHAR*>(lpBuffer),
                            static_cast<const WCHAR*>(lpBuffer) + nNumberOfCharsToWrite);
    text.push_back(0);
    return sim::WriteToConsole(*console, sim::Utf8FromWide(text.data()), nNumberOfCharsToWrite,
                               lpNumberOfCharsWritten);
}

// The console's input and output code pages: 437 until a program sets
// another that the machine has (437, 1252, or 65001).
extern "C" UINT WINAPI GetConsoleCP(void) { return sim::inputCodePage; }
extern "C" UINT WINAPI GetConsoleOutputCP(void) { return sim::outputCodePage; }
extern "C" BOOL WINAPI SetConsoleCP(UINT wCodePageID) {
    if (wCodePageID != 437 && wCodePageID != 1252 && wCodePageID != 65001) {
        sim::SetLastErrorCode(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    sim::inputCodePage = wCodePageID;
    return TRUE;
}
extern "C" BOOL WINAPI SetConsoleOutputCP(UINT wCodePageID) {
    if (wCodePageID != 437 && wCodePageID != 1252 && wCodePageID != 65001) {
        sim::SetLastErrorCode(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    sim::outputCodePage = wCodePageID;
    return TRUE;
}

namespace sim {

HANDLE InsertPipeEnd(int descriptor) {
    return InsertHandle(std::make_shared<StreamObject>(descriptor, true));
}

int StreamDescriptorOf(HANDLE handle) {
    if (handle == nullptr || handle == INVALID_HANDLE_VALUE) return -1;
    std::shared_ptr<KernelObject> object = LookupHandle(handle);
    if (!object || object->Kind != ObjectKind::Stream) return -1;
    return static_cast<StreamObject&>(*object).Descriptor;
}

}  // namespace sim

#include "sim/runtime/descriptors.h"

#include "sim/kernel/threads.h"

#include "sim/runtime/errno_values.h"
#include "sim/runtime/runtime_entries.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <mutex>

namespace sim {
namespace {

// msvcrt's limit.
constexpr int DescriptorCount = 2048;
// What _isatty returns for a character device: msvcrt's device flag.
constexpr int DeviceFlag = 0x40;

struct Descriptor {
    bool Open = false;
    bool Text = false;
    int HostFd = -1;
    // A stream reads and writes through this descriptor's host file; a
    // _close of it leaves the host file to the stream, which then fails.
    bool HeldByStream = false;
    bool AtCtrlZ = false;
    int Lookahead = -1;  // a byte read ahead on a pipe in text mode
};

struct DescriptorTable {
    std::mutex Lock;
    Descriptor Descriptors[DescriptorCount];
    bool StandardOpened[3] = {false, false, false};
};

// Returns the table, made once and never destroyed.
DescriptorTable& Table() {
    static DescriptorTable* table = new DescriptorTable;
    return *table;
}

// Returns the lowest free descriptor, opened over `hostFd`, or -1 when
// all are taken. Needs the descriptor lock.
int AllocateDescriptorLocked(int hostFd, bool text) {
    DescriptorTable& state = Table();
    for (int d = 3; d < DescriptorCount; ++d) {
        Descriptor& entry = state.Descriptors[d];
        if (entry.Open || entry.HeldByStream) continue;
        entry = Descriptor();
        entry.Open = true;
        entry.Text = text;
        entry.HostFd = hostFd;
        return d;
    }
    return -1;
}

// Returns nothing; descriptors 0 to 2 are opened over copies of the host's
// standard descriptors at their first use (text mode, as on Windows), so
// that the program closing them leaves the host's own alone. Needs the
// table lock.
void OpenStandardDescriptorLocked(int d) {
    DescriptorTable& state = Table();
    if (d < 0 || d > 2 || state.StandardOpened[d]) return;
    state.StandardOpened[d] = true;
    const int hostFd = fcntl(d, F_DUPFD_CLOEXEC, 3);
    if (hostFd < 0) return;
    Descriptor& entry = state.Descriptors[d];
    entry = Descriptor();
    entry.Open = true;
    entry.Text = true;
    entry.HostFd = hostFd;
}

}  // namespace

int OpenStreamDescriptor(int hostFd, bool text) {
    DescriptorTable& state = Table();
    std::lock_guard<std::mutex> hold(state.Lock);
    const int d = AllocateDescriptorLocked(hostFd, text);
    if (d >= 0) state.Descriptors[d].HeldByStream = true;
    return d;
}

int StandardStreamDescriptor(int d) {
    DescriptorTable& state = Table();
    std::lock_guard<std::mutex> hold(state.Lock);
    OpenStandardDescriptorLocked(d);
    Descriptor& entry = state.Descriptors[d];
    if (!entry.Open) return -1;
    entry.HeldByStream = true;
    return entry.HostFd;
}

bool DescriptorIsOpen(int d) {
    DescriptorTable& state = Table();
    std::lock_guard<std::mutex> hold(state.Lock);
    return d >= 0 && d < DescriptorCount && state.Descriptors[d].Open;
}

void ReleaseStreamDescriptor(int d) {
    DescriptorTable& state = Table();
    std::lock_guard<std::mutex> hold(state.Lock);
    if (d >= 0 && d < DescriptorCount) state.Descriptors[d] = Descriptor();
}

int OpenPlainDescriptor(int hostFd, bool text) {
    DescriptorTable& state = Table();
    std::lock_guard<std::mutex> hold(state.Lock);
    return AllocateDescriptorLocked(hostFd, text);
}

bool SetDescriptorText(int d, bool text, bool* wasText) {
    DescriptorTable& state = Table();
    std::lock_guard<std::mutex> hold(state.Lock);
    if (d >= 0 && d < DescriptorCount) OpenStandardDescriptorLocked(d);
    if (d < 0 || d >= DescriptorCount || !state.Descriptors[d].Open) {
        SetProgramErrno(WindowsEBADF);
        return false;
    }
    *wasText = state.Descriptors[d].Text;
    state.Descriptors[d].Text = text;
    return true;
}

int HostFdOf(int d, bool* text) {
    DescriptorTable& state = Table();
    std::lock_guard<std::mutex> hold(state.Lock);
    if (d < 0 || d >= DescriptorCount) {
        SetProgramErrno(WindowsEBADF);
        return -1;
    }
    OpenStandardDescriptorLocked(d);
    const Descriptor& entry = state.Descriptors[d];
    if (!entry.Open) {
        SetProgramErrno(WindowsEBADF);
        return -1;
    }
    if (text != nullptr) *text = entry.Text;
    return entry.HostFd;
}

}  // namespace sim

// Returns the number of bytes read (0 at the end of the file), or -1 with
// errno set. In text mode "\r\n" reads as "\n", and Ctrl-Z ends a file
// that is not a terminal.
RUNTIME_ENTRY int rt_read(int descriptor, void* buffer, unsigned count) {
    bool text = false;
    const int hostFd = sim::HostFdOf(descriptor, &text);
    if (hostFd < 0) return -1;
    if (count == 0) return 0;
    if (buffer == nullptr || count > INT_MAX) {
        sim::SetProgramErrno(sim::WindowsEINVAL);
        return -1;
    }
    char* bytes = static_cast<char*>(buffer);
    sim::DescriptorTable& state = sim::Table();
    size_t got = 0;
    {
        std::lock_guard<std::mutex> hold(state.Lock);
        sim::Descriptor& entry = state.Descriptors[descriptor];
        if (entry.AtCtrlZ) return 0;
        if (entry.Lookahead >= 0) {
            bytes[got++] = static_cast<char>(entry.Lookahead);
            entry.Lookahead = -1;
        }
    }
    ssize_t result;
    for (;;) {
        result = read(hostFd, bytes + got, count - got);
        if (result >= 0 || errno != EINTR) break;
        sim::ExitIfTerminated();  // process exit cut the read short
    }
    if (result < 0 && got == 0) {
        sim::SetProgramErrnoFromHost();
        return -1;
    }
    if (result > 0) got += static_cast<size_t>(result);
    if (!text) return static_cast<int>(got);

    const bool ctrlZEnds = !isatty(hostFd);
    size_t kept = 0;
    for (size_t i = 0; i < got; ++i) {
        const char c = bytes[i];
        if (c == sim::CtrlZ && ctrlZEnds) {
            std::lock_guard<std::mutex> hold(state.Lock);
            state.Descriptors[descriptor].AtCtrlZ = true;
            break;
        }
        if (c != '\r') {
            bytes[kept++] = c;
        } else if (i + 1 < got) {
            if (bytes[i + 1] == '\n') ++i;
            bytes[kept++] = bytes[i];
        } else {
            // A "\r" ends the data read: the byte after it decides.
            char next = 0;
            ssize_t peeked;
            for (;;) {
                peeked = read(hostFd, &next, 1);
                if (peeked >= 0 || errno != EINTR) break;
                sim::ExitIfTerminated();
            }
            if (peeked == 1 && next == '\n') {
                bytes[kept++] = '\n';
            } else {
                bytes[kept++] = '\r';
                // The byte goes back: into the file where it can seek, else
                // kept for the next read.
                if (peeked == 1 && lseek(hostFd, -1, SEEK_CUR) < 0) {
                    std::lock_guard<std::mutex> hold(state.Lock);
                    state.Descriptors[descriptor].Lookahead = static_cast<unsigned char>(next);
                }
            }
        }
    }
    return static_cast<int>(kept);
}

// Returns nonzero when the descriptor is a character device (a terminal),
// 0 otherwise or with errno EBADF for no open descriptor.
RUNTIME_ENTRY int rt_isatty(int descriptor) {
    const int hostFd = sim::HostFdOf(descriptor, nullptr);
    if (hostFd < 0) return 0;
    return isatty(hostFd) ? sim::DeviceFlag : 0;
}

// Returns 0 once the descriptor is closed, -1 with errno EBADF when it
// was not open.
RUNTIME_ENTRY int rt_close(int descriptor) {
    sim::DescriptorTable& state = sim::Table();
    int hostFd;
    {
        std::lock_guard<std::mutex> hold(state.Lock);
        if (descriptor < 0 || descriptor >= sim::DescriptorCount) {
            sim::SetProgramErrno(sim::WindowsEBADF);
            return -1;
        }
        sim::OpenStandardDescriptorLocked(descriptor);
        sim::Descriptor& entry = state.Descriptors[descriptor];
        if (!entry.Open) {
            sim::SetProgramErrno(sim::WindowsEBADF);
            return -1;
        }
        entry.Open = false;
        // A stream's host file stays the stream's until fclose.
        if (entry.HeldByStream) return 0;
        hostFd = entry.HostFd;
        entry = sim::Descriptor();
    }
    if (close(hostFd) != 0 && errno != EINTR) {
        sim::SetProgramErrnoFromHost();
        return -1;
    }
    return 0;
}

namespace sim {

int AdoptDescriptorForStream(int d, bool* text) {
    DescriptorTable& state = Table();
    std::lock_guard<std::mutex> hold(state.Lock);
    if (d >= 0 && d < DescriptorCount) OpenStandardDescriptorLocked(d);
    if (d < 0 || d >= DescriptorCount || !state.Descriptors[d].Open ||
        state.Descriptors[d].HeldByStream) {
        SetProgramErrno(WindowsEBADF);
        return -1;
    }
    state.Descriptors[d].HeldByStream = true;
    *text = state.Descriptors[d].Text;
    return state.Descriptors[d].HostFd;
}

}  // namespace sim

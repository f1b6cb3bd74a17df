// The Windows runtime's low-level file calls beyond _read and _close:
// _open, _creat, _write, _lseek, _lseeki64, _setmode, _fstati64 and
// _stati64, over the host's files (the program's drive Z:), with msvcrt's
// flag values, text-mode writes and file status layout.
#include "sim/runtime/descriptors.h"
#include "sim/runtime/errno_values.h"
#include "sim/runtime/family_entries.h"
#include "sim/runtime/runtime_families.h"
#include "sim/runtime/streams.h"

#include "sim/kernel/host_paths.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdarg>
#include <cstddef>
#include <cstring>
#include <string>

// msvcrt's struct _stati64 (32-bit times, 64-bit size).
struct WindowsStat64 {
    uint32_t Device;
    uint16_t Inode;
    uint16_t Mode;
    int16_t Links;
    int16_t User;
    int16_t Group;
    uint32_t RawDevice;
    int64_t Size __attribute__((aligned(8)));  // aligned as Microsoft's compiler aligns it
    int32_t AccessTime;
    int32_t ModifyTime;
    int32_t ChangeTime;
};
static_assert(sizeof(WindowsStat64) == 48, "struct _stati64");
static_assert(offsetof(WindowsStat64, Mode) == 6, "st_mode");
static_assert(offsetof(WindowsStat64, Links) == 8, "st_nlink");
static_assert(offsetof(WindowsStat64, RawDevice) == 16, "st_rdev");
static_assert(offsetof(WindowsStat64, Size) == 24, "st_size");
static_assert(offsetof(WindowsStat64, AccessTime) == 32, "st_atime");
static_assert(offsetof(WindowsStat64, ModifyTime) == 36, "st_mtime");
static_assert(offsetof(WindowsStat64, ChangeTime) == 40, "st_ctime");

namespace {

// msvcrt's _open flags.
constexpr int OpenWriteOnly = 0x0001;
constexpr int OpenReadWrite = 0x0002;
constexpr int OpenAppend = 0x0008;
constexpr int OpenCreate = 0x0100;
constexpr int OpenTruncate = 0x0200;
constexpr int OpenExclusive = 0x0400;
constexpr int OpenText = 0x4000;
constexpr int OpenBinary = 0x8000;
constexpr int OpenKnown = 0x0003 | OpenAppend | 0x0010 | 0x0020 | 0x0040 | 0x0080 | OpenCreate |
                          OpenTruncate | OpenExclusive | 0x1000 | OpenText | OpenBinary | 0x20000 |
                          0x40000;
// _S_IWRITE in a permission: the file is writable.
constexpr int PermissionWrite = 0x0080;
// msvcrt's st_mode bits.
constexpr uint16_t ModeRegular = 0x8000;
constexpr uint16_t ModeDirectory = 0x4000;
constexpr uint16_t ModeCharacter = 0x2000;
constexpr uint16_t ModePipe = 0x1000;
constexpr uint16_t ModeRead = 0x0100;
constexpr uint16_t ModeWrite = 0x0080;
constexpr uint16_t ModeExecute = 0x0040;

// Returns true when a new descriptor's translation is text: its own flag,
// else _fmode's.
bool OpensAsText(int flags) {
    if ((flags & OpenBinary) != 0) return false;
    if ((flags & OpenText) != 0) return true;
    return *sim::ProgramFileMode() != sim::FileModeBinary;
}

// Returns nothing; fills msvcrt's status from the host's. The owner's
// permissions stand for all three groups, as Windows has no others.
void FillStatus(const struct stat& host, WindowsStat64* status, bool isDevice) {
    std::memset(status, 0, sizeof *status);
    uint16_t mode = 0;
    if (S_ISDIR(host.st_mode)) {
        mode = ModeDirectory | ModeExecute;
    } else if (S_ISFIFO(host.st_mode) || S_ISSOCK(host.st_mode)) {
        mode = ModePipe;
    } else if (isDevice || S_ISCHR(host.st_mode)) {
        mode = ModeCharacter;
    } else {
        mode = ModeRegular;
    }
    mode |= ModeRead;
    if ((host.st_mode & S_IWUSR) != 0) mode |= ModeWrite;
    const uint16_t owner = mode & 0x01C0;
    status->Mode = static_cast<uint16_t>(mode | (owner >> 3) | (owner >> 6));
    status->Links = 1;
    status->Size = S_ISREG(host.st_mode) ? host.st_size : 0;
    status->AccessTime = static_cast<int32_t>(host.st_atime);
    status->ModifyTime = static_cast<int32_t>(host.st_mtime);
    status->ChangeTime = static_cast<int32_t>(host.st_ctime);
}

}  // namespace

// Returns the new descriptor, or -1 with errno set. A third argument, the
// permission, counts only with _O_CREAT: without _S_IWRITE the new file is
// read-only.
RUNTIME_ENTRY int rt_open(const char* path, int flags, ...) {
    int permission = 0;
    if ((flags & OpenCreate) != 0) {
        va_list arguments;
        va_start(arguments, flags);
        permission = va_arg(arguments, int);
        va_end(arguments);
    }
    if (path == nullptr || (flags & ~OpenKnown) != 0 ||
        (flags & (OpenWriteOnly | OpenReadWrite)) == (OpenWriteOnly | OpenReadWrite) ||
        ((flags & OpenText) != 0 && (flags & OpenBinary) != 0)) {
        sim::SetProgramErrno(sim::WindowsEINVAL);
        return -1;
    }
    int hostFlags = O_CLOEXEC;
    hostFlags |= (flags & OpenReadWrite) != 0   ? O_RDWR
                 : (flags & OpenWriteOnly) != 0 ? O_WRONLY
                                                : O_RDONLY;
    if ((flags & OpenAppend) != 0) hostFlags |= O_APPEND;
    if ((flags & OpenCreate) != 0) hostFlags |= O_CREAT;
    if ((flags & OpenTruncate) != 0) hostFlags |= O_TRUNC;
    if ((flags & OpenExclusive) != 0) hostFlags |= O_EXCL;
    const std::string hostPath = sim::HostPath(path);
    const mode_t mode = (permission & PermissionWrite) != 0 ? 0666 : 0444;
    const int hostFd = open(hostPath.c_str(), hostFlags, mode);
    if (hostFd < 0) {
        sim::SetProgramErrno(errno == EISDIR ? sim::WindowsEACCES : sim::WindowsErrnoOf(errno));
        return -1;
    }
    const int descriptor = sim::OpenPlainDescriptor(hostFd, OpensAsText(flags));
    if (descriptor < 0) {
        close(hostFd);
        sim::SetProgramErrno(sim::WindowsEMFILE);
    }
    return descriptor;
}

// Returns what _open returns for a file created or truncated for writing.
RUNTIME_ENTRY int rt_creat(const char* path, int permission) {
    return rt_open(path, OpenCreate | OpenTruncate | OpenWriteOnly, permission);
}

// Returns the number of the caller's bytes written (each "\n" goes out as
// "\r\n" in text mode), or -1 with errno set.
RUNTIME_ENTRY int rt_write(int descriptor, const void* data, unsigned count) {
    bool text = false;
    const int hostFd = sim::HostFdOf(descriptor, &text);
    if (hostFd < 0) return -1;
    if (count == 0) return 0;
    if (data == nullptr || count > INT_MAX) {
        sim::SetProgramErrno(sim::WindowsEINVAL);
        return -1;
    }
    const char* bytes = static_cast<const char*>(data);
    std::string translated;
    if (text) {
        for (unsigned i = 0; i < count; ++i) {
            if (bytes[i] == '\n') translated += '\r';
            translated += bytes[i];
        }
    } else {
        translated.assign(bytes, count);
    }
    size_t done = 0;
    while (done < translated.size()) {
        const ssize_t written = write(hostFd, translated.data() + done, translated.size() - done);
        if (written < 0 && errno == EINTR) continue;
        if (written <= 0) {
            if (done == 0) {
                sim::SetProgramErrno(errno == ENOSPC ? sim::WindowsENOSPC : sim::WindowsErrnoOf(errno));
                return -1;
            }
            break;
        }
        done += static_cast<size_t>(written);
    }
    if (!text) return static_cast<int>(done);
    // Count the caller's bytes that reached the file.
    unsigned callerBytes = 0;
    size_t at = 0;
    while (callerBytes < count && at < done) {
        at += bytes[callerBytes] == '\n' ? 2 : 1;
        if (at <= done) ++callerBytes;
    }
    return static_cast<int>(callerBytes);
}

// Returns the new position, or -1 with errno set (EINVAL for a bad origin
// or a position before the start).
RUNTIME_ENTRY int64_t rt_lseeki64(int descriptor, int64_t offset, int origin) {
    const int hostFd = sim::HostFdOf(descriptor, nullptr);
    if (hostFd < 0) return -1;
    if (origin != SEEK_SET && origin != SEEK_CUR && origin != SEEK_END) {
        sim::SetProgramErrno(sim::WindowsEINVAL);
        return -1;
    }
    const off_t position = lseek(hostFd, static_cast<off_t>(offset), origin);
    if (position < 0) {
        sim::SetProgramErrnoFromHost();
        return -1;
    }
    return position;
}

// Returns what _lseeki64 returns, -1 with EINVAL when the position does
// not fit a long.
RUNTIME_ENTRY long rt_lseek(int descriptor, long offset, int origin) {
    const int64_t position = rt_lseeki64(descriptor, offset, origin);
    if (position > LONG_MAX) {
        sim::SetProgramErrno(sim::WindowsEINVAL);
        return -1;
    }
    return static_cast<long>(position);
}

// Returns the descriptor's former mode (_O_TEXT or _O_BINARY) once it is
// in `mode`, or -1 with errno EINVAL for another mode, EBADF for a
// descriptor not open. Streams over it follow.
RUNTIME_ENTRY int rt_setmode(int descriptor, int mode) {
    if (mode != OpenText && mode != OpenBinary) {
        sim::SetProgramErrno(sim::WindowsEINVAL);
        return -1;
    }
    bool wasText = false;
    if (!sim::SetDescriptorText(descriptor, mode == OpenText, &wasText)) return -1;
    sim::SetStreamTextOfDescriptor(descriptor, mode == OpenText);
    return wasText ? OpenText : OpenBinary;
}

// Returns 0 with the open descriptor's status, or -1 with errno EBADF.
RUNTIME_ENTRY int rt_fstati64(int descriptor, WindowsStat64* status) {
    const int hostFd = sim::HostFdOf(descriptor, nullptr);
    if (hostFd < 0) return -1;
    struct stat host;
    if (status == nullptr || fstat(hostFd, &host) != 0) {
        sim::SetProgramErrno(sim::WindowsEINVAL);
        return -1;
    }
    FillStatus(host, status, isatty(hostFd) != 0);
    return 0;
}

// Returns 0 with the file's status, or -1 with errno ENOENT when there is
// no such file.
RUNTIME_ENTRY int rt_stati64(const char* path, WindowsStat64* status) {
    struct stat host;
    if (path == nullptr || status == nullptr) {
        sim::SetProgramErrno(sim::WindowsEINVAL);
        return -1;
    }
    if (stat(sim::HostPath(path).c_str(), &host) != 0) {
        sim::SetProgramErrno(sim::WindowsENOENT);
        return -1;
    }
    FillStatus(host, status, false);
    return 0;
}

// msvcrt's struct _stat64 (64-bit size and times) and struct _stat (32-bit
// size and times).
struct WindowsStat64Times {
    uint32_t Device;
    uint16_t Inode;
    uint16_t Mode;
    int16_t Links;
    int16_t User;
    int16_t Group;
    uint32_t RawDevice;
    int64_t Size __attribute__((aligned(8)));
    int64_t AccessTime __attribute__((aligned(8)));
    int64_t ModifyTime __attribute__((aligned(8)));
    int64_t ChangeTime __attribute__((aligned(8)));
};
static_assert(sizeof(WindowsStat64Times) == 56, "struct _stat64");
static_assert(offsetof(WindowsStat64Times, Size) == 24, "st_size");
static_assert(offsetof(WindowsStat64Times, ModifyTime) == 40, "st_mtime");
struct WindowsStat32 {
    uint32_t Device;
    uint16_t Inode;
    uint16_t Mode;
    int16_t Links;
    int16_t User;
    int16_t Group;
    uint32_t RawDevice;
    int32_t Size;
    int32_t AccessTime;
    int32_t ModifyTime;
    int32_t ChangeTime;
};
static_assert(sizeof(WindowsStat32) == 36, "struct _stat");
static_assert(offsetof(WindowsStat32, Size) == 20, "st_size");

namespace {

// Returns `result`, with the 64-bit status copied to the other layouts.
int WidenStatus(int result, const WindowsStat64& from, WindowsStat64Times* to) {
    if (result != 0) return result;
    *to = WindowsStat64Times{from.Device, from.Inode, from.Mode, from.Links, from.User,
                             from.Group,  from.RawDevice, from.Size, from.AccessTime,
                             from.ModifyTime, from.ChangeTime};
    return 0;
}

// Returns `result`, or -1 with EOVERFLOW's msvcrt counterpart (EINVAL) for
// a size that 32 bits cannot hold.
int NarrowStatus(int result, const WindowsStat64& from, WindowsStat32* to) {
    if (result != 0) return result;
    if (from.Size > INT32_MAX) {
        sim::SetProgramErrno(sim::WindowsEINVAL);
        return -1;
    }
    *to = WindowsStat32{from.Device, from.Inode, from.Mode, from.Links, from.User, from.Group,
                        from.RawDevice, static_cast<int32_t>(from.Size), from.AccessTime,
                        from.ModifyTime, from.ChangeTime};
    return 0;
}

}  // namespace

RUNTIME_ENTRY int rt_fstat64(int descriptor, WindowsStat64Times* status) {
    WindowsStat64 wide;
    if (status == nullptr) return rt_fstati64(descriptor, nullptr);
    return WidenStatus(rt_fstati64(descriptor, &wide), wide, status);
}
RUNTIME_ENTRY int rt_stat64(const char* path, WindowsStat64Times* status) {
    WindowsStat64 wide;
    if (status == nullptr) return rt_stati64(path, nullptr);
    return WidenStatus(rt_stati64(path, &wide), wide, status);
}
RUNTIME_ENTRY int rt_fstat32(int descriptor, WindowsStat32* status) {
    WindowsStat64 wide;
    if (status == nullptr) return rt_fstati64(descriptor, nullptr);
    return NarrowStatus(rt_fstati64(descriptor, &wide), wide, status);
}
RUNTIME_ENTRY int rt_stat32(const char* path, WindowsStat32* status) {
    WindowsStat64 wide;
    if (status == nullptr) return rt_stati64(path, nullptr);
    return NarrowStatus(rt_stati64(path, &wide), wide, status);
}

// Returns the length of the descriptor's file in bytes, or -1 with errno.
RUNTIME_ENTRY int64_t rt_filelengthi64(int descriptor) {
    WindowsStat64 status;
    return rt_fstati64(descriptor, &status) == 0 ? status.Size : -1;
}
RUNTIME_ENTRY long rt_filelength(int descriptor) {
    const int64_t length = rt_filelengthi64(descriptor);
    return length > INT32_MAX ? -1 : static_cast<long>(length);
}

// Returns 0 once the file is gone; -1 with ENOENT for no such file, EACCES
// for a folder or a read-only file (Windows deletes neither through these).
RUNTIME_ENTRY int rt_remove(const char* path) {
    struct stat host;
    if (path == nullptr) {
        sim::SetProgramErrno(sim::WindowsEINVAL);
        return -1;
    }
    const std::string hostPath = sim::HostPath(path);
    if (stat(hostPath.c_str(), &host) != 0) {
        sim::SetProgramErrno(sim::WindowsENOENT);
        return -1;
    }
    if (S_ISDIR(host.st_mode) || (host.st_mode & S_IWUSR) == 0 || unlink(hostPath.c_str()) != 0) {
        sim::SetProgramErrno(sim::WindowsEACCES);
        return -1;
    }
    return 0;
}

// Returns 0 once `from` is called `to`; -1 with EACCES when `to` exists
// already (Windows does not replace it), ENOENT when `from` does not.
RUNTIME_ENTRY int rt_rename(const char* from, const char* to) {
    struct stat host;
    if (from == nullptr || to == nullptr) {
        sim::SetProgramErrno(sim::WindowsEINVAL);
        return -1;
    }
    const std::string hostFrom = sim::HostPath(from);
    const std::string hostTo = sim::HostPath(to);
    if (stat(hostFrom.c_str(), &host) != 0) {
        sim::SetProgramErrno(sim::WindowsENOENT);
        return -1;
    }
    if (stat(hostTo.c_str(), &host) == 0 || rename(hostFrom.c_str(), hostTo.c_str()) != 0) {
        sim::SetProgramErrno(sim::WindowsEACCES);
        return -1;
    }
    return 0;
}

#include "sim/runtime/streams.h"

#include "sim/kernel/host_paths.h"
#include "sim/kernel/threads.h"
#include "sim/runtime/descriptors.h"
#include "sim/runtime/errno_values.h"
#include "sim/runtime/print_format.h"
#include "sim/runtime/runtime_entries.h"
#include "sim/runtime/runtime_families.h"

#include <fcntl.h>
#include <stdio_ext.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>

namespace sim {

WindowsFile ProgramStreams[StreamCount] = {
    {nullptr, 0, nullptr, StreamRead, 0, 0, 0, nullptr},
    {nullptr, 0, nullptr, StreamWrite, 1, 0, 0, nullptr},
    {nullptr, 0, nullptr, StreamWrite, 2, 0, 0, nullptr},
};

namespace {

int fileMode = 0;
int commitMode = 0;

struct Stream {
    FILE* Host = nullptr;
    bool Text = false;
    bool Commit = false;
    bool DeleteOnClose = false;
    std::string HostPath;
};

struct Tables {
    std::recursive_mutex StreamLocks[StreamCount];
    Stream Streams[StreamCount];
};

// Returns the tables, made once and never destroyed: streams stay usable
// until the host process ends.
Tables& State() {
    static Tables* tables = new Tables;
    return *tables;
}

// Returns the index of `stream` in the FILE table, or -1 when it is none.
int IndexOf(void* stream) {
    const auto address = reinterpret_cast<uintptr_t>(stream);
    const auto first = reinterpret_cast<uintptr_t>(&ProgramStreams[0]);
    if (address < first || address >= first + sizeof ProgramStreams) return -1;
    if ((address - first) % sizeof(WindowsFile) != 0) return -1;
    return static_cast<int>((address - first) / sizeof(WindowsFile));
}

bool InUse(const WindowsFile& file) {
    return (file.Flag & (StreamRead | StreamWrite | StreamReadWrite)) != 0;
}

// Holds one stream's lock, and finds its host file: a standard stream's is
// opened at its first use.
class StreamAccess {
public:
    // `openStandard` false leaves a standard stream that was never used
    // unopened, for walks over the whole table.
    explicit StreamAccess(void* stream, bool openStandard = true) : index_(IndexOf(stream)) {
        if (index_ < 0) return;
        State().StreamLocks[index_].lock();
        if (openStandard && index_ < 3 && State().Streams[index_].Host == nullptr &&
            InUse(ProgramStreams[index_])) {
            OpenStandardStream();
        }
    }
    ~StreamAccess() {
        if (index_ >= 0) State().StreamLocks[index_].unlock();
    }
    StreamAccess(const StreamAccess&) = delete;
    StreamAccess& operator=(const StreamAccess&) = delete;

    // Returns true when the stream is open, and its descriptor too; else
    // sets errno (EINVAL for no stream at all, EBADF for a closed one).
    bool Usable() {
        if (index_ < 0 || !InUse(ProgramStreams[index_])) {
            SetProgramErrno(WindowsEINVAL);
            return false;
        }
        if (Record().Host == nullptr || !DescriptorOpen()) {
            SetProgramErrno(WindowsEBADF);
            ProgramStreams[index_].Flag |= StreamFailed;
            return false;
        }
        return true;
    }
    WindowsFile& File() { return ProgramStreams[index_]; }
    Stream& Record() { return State().Streams[index_]; }
    int Index() const { return index_; }

    // Returns false, with the stream failed and errno from the host's. A
    // write to a pipe whose reader has gone fails on Windows with "the pipe
    // is being closed", which the Windows runtime reports as EINVAL.
    bool Fail() {
        // Process exit cut the host call short: the thread ends here.
        if (errno == EINTR) ExitIfTerminated();
        if (errno == EPIPE) {
            SetProgramErrno(WindowsEINVAL);
        } else {
            SetProgramErrnoFromHost();
        }
        ProgramStreams[index_].Flag |= StreamFailed;
        return false;
    }

private:
    bool DescriptorOpen() { return DescriptorIsOpen(ProgramStreams[index_].File); }
    void OpenStandardStream() {
        const int hostFd = StandardStreamDescriptor(index_);
        if (hostFd < 0) return;
        FILE* host = fdopen(hostFd, index_ == 0 ? "r" : "w");
        if (host == nullptr) return;
        // The Windows runtime writes standard error, and any standard stream
        // on a console, at the end of each call; only files and pipes are
        // buffered.
        if (index_ == 2 || isatty(hostFd)) setvbuf(host, nullptr, _IONBF, 0);
        Stream& record = Record();
        record.Host = host;
        record.Text = true;
    }

    int index_;
};

// Returns the number of bytes of `data` written; translates "\n" to
// "\r\n" in text mode. Needs the stream's lock.
size_t WriteBytes(StreamAccess& access, const char* data, size_t size) {
    WindowsFile& file = access.File();
    if ((file.Flag & (StreamWrite | StreamReadWrite)) == 0) {
        SetProgramErrno(WindowsEBADF);
        file.Flag |= StreamFailed;
        return 0;
    }
    FILE* host = access.Record().Host;
    if (!access.Record().Text) {
        const size_t written = std::fwrite(data, 1, size, host);
        if (written < size) access.Fail();
        return written;
    }
    char chunk[4096];
    size_t done = 0;
    while (done < size) {
        size_t used = 0;
        size_t taken = 0;
        while (done + taken < size && used + 2 <= sizeof chunk) {
            const char c = data[done + taken++];
            if (c == '\n') chunk[used++] = '\r';
            chunk[used++] = c;
        }
        if (std::fwrite(chunk, 1, used, host) < used) {
            access.Fail();
            return done;
        }
        done += taken;
    }
    return done;
}

// Returns the number of bytes read into `data`; in text mode "\r\n" reads
// as "\n" and Ctrl-Z ends the file (on a terminal it is a plain byte).
// Needs the stream's lock.
size_t ReadBytes(StreamAccess& access, char* data, size_t size) {
    WindowsFile& file = access.File();
    if ((file.Flag & (StreamRead | StreamReadWrite)) == 0) {
        SetProgramErrno(WindowsEBADF);
        file.Flag |= StreamFailed;
        return 0;
    }
    FILE* host = access.Record().Host;
    // The end of a file is no lasting state here: each read tries again.
    std::clearerr(host);
    size_t got = 0;
    if (!access.Record().Text) {
        got = std::fread(data, 1, size, host);
    } else {
        const bool ctrlZEnds = !isatty(fileno(host));
        while (got < size) {
            int c = std::getc(host);
            if (c == EOF) break;
            if (c == CtrlZ && ctrlZEnds) {
                std::ungetc(c, host);  // it stays the end for the next read
                file.Flag |= StreamAtEnd;
                return got;
            }
            if (c == '\r') {
                const int next = std::getc(host);
                if (next == '\n') {
                    c = '\n';
                } else if (next != EOF) {
                    std::ungetc(next, host);
                }
            }
            data[got++] = static_cast<char>(c);
        }
    }
    if (got < size) {
        if (std::ferror(host)) {
            access.Fail();
            std::clearerr(host);
        } else {
            file.Flag |= StreamAtEnd;
        }
    }
    return got;
}

// Returns true once the stream's buffered output reached its file (and
// the disk, for a stream opened with 'c'). Needs the stream's lock.
bool FlushLocked(StreamAccess& access) {
    if ((access.File().Flag & (StreamWrite | StreamReadWrite)) == 0) return true;
    FILE* host = access.Record().Host;
    if (std::fflush(host) != 0) return access.Fail();
    if (access.Record().Commit && fsync(fileno(host)) != 0 && errno != EINVAL) {
        return access.Fail();
    }
    return true;
}

// Returns 0, or EOF when the buffered output could not be written; closes
// the stream and its descriptor. Needs the stream's lock.
int CloseLocked(StreamAccess& access) {
    Stream& record = access.Record();
    WindowsFile& file = access.File();
    int result = FlushLocked(access) ? 0 : EOF;
    ReleaseStreamDescriptor(file.File);
    if (std::fclose(record.Host) != 0 && result == 0) {
        SetProgramErrnoFromHost();
        result = EOF;
    }
    if (record.DeleteOnClose) unlink(record.HostPath.c_str());
    record = Stream();
    file = WindowsFile{nullptr, 0, nullptr, 0, -1, 0, 0, nullptr};
    return result;
}

struct OpenMode {
    int HostFlags;
    int StreamFlag;
    int Text;  // 1 text, 0 binary, -1 as _fmode says
    bool Commit;
    bool DeleteOnClose;
};

// Returns true with `mode` parsed as msvcrt's fopen reads it: r, w or a,
// then any of + t b c n N S R T D once each (t and b, S and R exclude each
// other), spaces anywhere; anything else is refused.
bool ParseOpenMode(const char* text, OpenMode& mode) {
    while (*text == ' ') ++text;
    switch (*text) {
    case 'r':
        mode = {O_RDONLY, StreamRead, -1, false, false};
        break;
    case 'w':
        mode = {O_WRONLY | O_CREAT | O_TRUNC, StreamWrite, -1, false, false};
        break;
    case 'a':
        mode = {O_WRONLY | O_CREAT | O_APPEND, StreamWrite, -1, false, false};
        break;
    default:
        return false;
    }
    mode.Commit = (commitMode & 0x4000) != 0;  // _commode's _IOCOMMIT
    std::string seen;
    for (++text; *text != '\0'; ++text) {
        const char c = *text;
        if (c == ' ') continue;
        if (std::strchr("+tbcnNSRTD", c) == nullptr || seen.find(c) != std::string::npos) {
            return false;
        }
        if ((c == 't' && seen.find('b') != std::string::npos) ||
            (c == 'b' && seen.find('t') != std::string::npos) ||
            (c == 'S' && seen.find('R') != std::string::npos) ||
            (c == 'R' && seen.find('S') != std::string::npos) ||
            ((c == 'c' || c == 'n') && seen.find_first_of("cn") != std::string::npos)) {
            return false;
        }
        seen += c;
        if (c == '+') {
            mode.HostFlags = (mode.HostFlags & ~(O_RDONLY | O_WRONLY)) | O_RDWR;
            mode.StreamFlag = StreamReadWrite;
        } else if (c == 't' || c == 'b') {
            mode.Text = c == 't' ? 1 : 0;
        } else if (c == 'c' || c == 'n') {
            mode.Commit = c == 'c';
        } else if (c == 'D') {
            mode.DeleteOnClose = true;
        }
    }
    return true;
}

// Returns the host path of the program's file `path`. The device name
// NUL, which Windows reserves in every folder and with any extension, is
// the null device.
std::string HostFileOf(const char* path) {
    const char* name = path;
    for (const char* p = path; *p != '\0'; ++p) {
        if (*p == '\\' || *p == '/' || (*p == ':' && p == path + 1)) name = p + 1;
    }
    const size_t length = std::strcspn(name, ".: ");
    if (length == 3 && strncasecmp(name, "nul", 3) == 0) return "/dev/null";
    return HostPath(path);
}

// Returns the Windows errno for a failed open: Windows refuses a folder
// as a file with "access denied", and finds no file where a path runs
// through a file or is too long.
int OpenErrno(int hostErrno) {
    switch (hostErrno) {
    case EISDIR:
        return WindowsEACCES;
    case ENOTDIR:
    case ENAMETOOLONG:
    case ELOOP:
        return WindowsENOENT;
    default:
        return WindowsErrnoOf(hostErrno);
    }
}

}  // namespace

void SetStreamTextOfDescriptor(int d, bool text) {
    for (int i = 0; i < StreamCount; ++i) {
        if (!InUse(ProgramStreams[i]) || ProgramStreams[i].File != d) continue;
        // A standard stream is opened here if it was not yet, so that it
        // keeps the mode from its first use on.
        StreamAccess access(&ProgramStreams[i], i < 3);
        if (access.Index() >= 0) access.Record().Text = text;
    }
}

int* ProgramFileMode() { return &fileMode; }
int* ProgramCommitMode() { return &commitMode; }

bool FlushAllStreams() {
    bool flushed = true;
    for (int i = 0; i < StreamCount; ++i) {
        // Input streams have nothing to flush, and one may be held by a
        // thread blocked in a read.
        if ((ProgramStreams[i].Flag & (StreamWrite | StreamReadWrite)) == 0) continue;
        StreamAccess access(&ProgramStreams[i], false);
        if (InUse(ProgramStreams[i]) && access.Record().Host != nullptr && !FlushLocked(access)) {
            flushed = false;
        }
    }
    return flushed;
}

void CloseFileStreams() {
    for (int i = 3; i < StreamCount; ++i) {
        StreamAccess access(&ProgramStreams[i], false);
        if (InUse(ProgramStreams[i]) && access.Record().Host != nullptr) CloseLocked(access);
    }
}

void DiscardStreamOutput() {
    for (int i = 0; i < StreamCount; ++i) {
        StreamAccess access(&ProgramStreams[i], false);
        Stream& record = access.Record();
        if (!InUse(ProgramStreams[i]) || record.Host == nullptr) continue;
        __fpurge(record.Host);
        // Windows deletes such a file when the process's handles close.
        if (record.DeleteOnClose) unlink(record.HostPath.c_str());
    }
}

void WriteStandardErrorRaw(const char* text, size_t size) {
    const int hostFd = HostFdOf(2, nullptr);
    if (hostFd < 0) return;
    while (size > 0) {
        const ssize_t written = write(hostFd, text, size);
        if (written < 0 && errno == EINTR) {
            ExitIfTerminated();
            continue;
        }
        if (written <= 0) return;
        text += written;
        size -= static_cast<size_t>(written);
    }
}

}  // namespace sim

using sim::StreamAccess;

// Returns the new stream, or null with errno set.
RUNTIME_ENTRY void* rt_fopen(const char* path, const char* modeText) {
    if (path == nullptr || modeText == nullptr || *path == '\0') {
        sim::SetProgramErrno(sim::WindowsEINVAL);
        return nullptr;
    }
    sim::OpenMode mode;
    if (!sim::ParseOpenMode(modeText, mode)) {
        sim::SetProgramErrno(sim::WindowsEINVAL);
        return nullptr;
    }
    const bool text = mode.Text == 1 || (mode.Text == -1 && sim::fileMode != sim::FileModeBinary);
    // The stream is taken first, so that a file is neither created nor
    // truncated when no stream is left.
    for (int i = 0; i < sim::StreamCount; ++i) {
        StreamAccess access(&sim::ProgramStreams[i], false);
        if (sim::InUse(sim::ProgramStreams[i])) continue;
        const std::string hostPath = sim::HostFileOf(path);
        const int hostFd = open(hostPath.c_str(), mode.HostFlags | O_CLOEXEC, 0666);
        if (hostFd < 0) {
            sim::SetProgramErrno(sim::OpenErrno(errno));
            return nullptr;
        }
        struct stat status = {};
        if (fstat(hostFd, &status) == 0 && S_ISDIR(status.st_mode)) {
            close(hostFd);
            sim::SetProgramErrno(sim::WindowsEACCES);
            return nullptr;
        }
        // "a+" in text mode: a Ctrl-Z that ends the file goes before
        // anything is appended, so that what follows can be read.
        if (text && (mode.HostFlags & O_APPEND) != 0 && (mode.HostFlags & O_ACCMODE) == O_RDWR &&
            S_ISREG(status.st_mode) && status.st_size > 0) {
            char last = 0;
            if (pread(hostFd, &last, 1, status.st_size - 1) == 1 && last == sim::CtrlZ &&
                ftruncate(hostFd, status.st_size - 1) != 0) {
                sim::SetProgramErrnoFromHost();
                close(hostFd);
                return nullptr;
            }
        }
        const int descriptor = sim::OpenStreamDescriptor(hostFd, text);
        if (descriptor < 0) {
            close(hostFd);
            sim::SetProgramErrno(sim::WindowsEMFILE);
            return nullptr;
        }
        const int accessMode = mode.HostFlags & O_ACCMODE;
        FILE* host = fdopen(hostFd, accessMode == O_RDONLY ? "r" : accessMode == O_WRONLY ? "w" : "r+");
        if (host == nullptr) {
            sim::SetProgramErrnoFromHost();
            sim::ReleaseStreamDescriptor(descriptor);
            close(hostFd);
            return nullptr;
        }
        sim::Stream& record = access.Record();
        record.Host = host;
        record.Text = text;
        record.Commit = mode.Commit;
        record.DeleteOnClose = mode.DeleteOnClose && S_ISREG(status.st_mode);  // never a device
        record.HostPath = hostPath;
        sim::ProgramStreams[i] = sim::WindowsFile{nullptr, 0, nullptr, mode.StreamFlag, descriptor, 0, 0, nullptr};
        return &sim::ProgramStreams[i];
    }
    sim::SetProgramErrno(sim::WindowsEMFILE);
    return nullptr;
}

// Returns 0, or EOF when the stream is no open stream or its buffered
// output could not be written; the stream is closed either way.
RUNTIME_ENTRY int rt_fclose(void* stream) {
    StreamAccess access(stream);
    if (access.Index() < 0 || !sim::InUse(access.File())) {
        sim::SetProgramErrno(sim::WindowsEINVAL);
        return EOF;
    }
    if (access.Record().Host == nullptr) {  // a standard stream whose descriptor is gone
        access.File().Flag = 0;
        sim::SetProgramErrno(sim::WindowsEBADF);
        return EOF;
    }
    return sim::CloseLocked(access);
}

// Returns 0, or EOF when output could not be written; null flushes every
// output stream. For a stream open only for reading, the input it has
// buffered is discarded, as the Windows runtime does.
RUNTIME_ENTRY int rt_fflush(void* stream) {
    if (stream == nullptr) return sim::FlushAllStreams() ? 0 : EOF;
    StreamAccess access(stream);
    if (!access.Usable()) return EOF;
    if ((access.File().Flag & (sim::StreamWrite | sim::StreamReadWrite)) == 0) {
        __fpurge(access.Record().Host);
        return 0;
    }
    return sim::FlushLocked(access) ? 0 : EOF;
}

// Returns nonzero when an error happened on the stream.
RUNTIME_ENTRY int rt_ferror(void* stream) {
    StreamAccess access(stream);
    if (access.Index() < 0) {
        sim::SetProgramErrno(sim::WindowsEINVAL);
        return 0;
    }
    return access.File().Flag & sim::StreamFailed;
}

// Returns the number of whole items read.
RUNTIME_ENTRY size_t rt_fread(void* data, size_t size, size_t count, void* stream) {
    if (size == 0 || count == 0) return 0;
    StreamAccess access(stream);
    if (data == nullptr || count > SIZE_MAX / size) {
        sim::SetProgramErrno(sim::WindowsEINVAL);
        return 0;
    }
    if (!access.Usable()) return 0;
    return sim::ReadBytes(access, static_cast<char*>(data), size * count) / size;
}

// Returns the number of whole items written.
RUNTIME_ENTRY size_t rt_fwrite(const void* data, size_t size, size_t count, void* stream) {
    if (size == 0 || count == 0) return 0;
    StreamAccess access(stream);
    if (data == nullptr || count > SIZE_MAX / size) {
        sim::SetProgramErrno(sim::WindowsEINVAL);
        return 0;
    }
    if (!access.Usable()) return 0;
    return sim::WriteBytes(access, static_cast<const char*>(data), size * count) / size;
}

// Returns the character written, or EOF.
RUNTIME_ENTRY int rt_fputc(int c, void* stream) {
    StreamAccess access(stream);
    if (!access.Usable()) return EOF;
    const char byte = static_cast<char>(c);
    return sim::WriteBytes(access, &byte, 1) == 1 ? static_cast<unsigned char>(byte) : EOF;
}

// Returns 0, or EOF when the text was not all written.
RUNTIME_ENTRY int rt_fputs(const char* text, void* stream) {
    StreamAccess access(stream);
    if (text == nullptr) {
        sim::SetProgramErrno(sim::WindowsEINVAL);
        return EOF;
    }
    if (!access.Usable()) return EOF;
    const size_t length = std::strlen(text);
    return sim::WriteBytes(access, text, length) == length ? 0 : EOF;
}

// Returns the number of characters written, or -1. The format is the
// Windows runtime's (see print_format.h); both runtimes pass the arguments
// on i386 as a plain pointer into the caller's stack.
RUNTIME_ENTRY int rt_vfprintf(void* stream, const char* format, va_list arguments) {
    StreamAccess access(stream);
    if (format == nullptr) {
        sim::SetProgramErrno(sim::WindowsEINVAL);
        return -1;
    }
    if (!access.Usable()) return -1;
    std::string text;
    sim::FormatWindows(text, format, arguments);
    if (text.size() > INT_MAX) {
        sim::SetProgramErrno(sim::WindowsEINVAL);
        return -1;
    }
    if (sim::WriteBytes(access, text.data(), text.size()) != text.size()) return -1;
    return static_cast<int>(text.size());
}

// Returns what vfprintf returns.
RUNTIME_ENTRY int rt_fprintf(void* stream, const char* format, ...) {
    va_list arguments;
    va_start(arguments, format);
    const int result = rt_vfprintf(stream, format, arguments);
    va_end(arguments);
    return result;
}

// Returns what vfprintf returns for standard output.
RUNTIME_ENTRY int rt_vprintf(const char* format, va_list arguments) {
    return rt_vfprintf(&sim::ProgramStreams[1], format, arguments);
}

// Returns what vfprintf returns for standard output.
RUNTIME_ENTRY int rt_printf(const char* format, ...) {
    va_list arguments;
    va_start(arguments, format);
    const int result = rt_vfprintf(&sim::ProgramStreams[1], format, arguments);
    va_end(arguments);
    return result;
}

// Returns 0 once the text and a new line are written to standard output,
// EOF otherwise.
RUNTIME_ENTRY int rt_puts(const char* text) {
    StreamAccess access(&sim::ProgramStreams[1]);
    if (text == nullptr) {
        sim::SetProgramErrno(sim::WindowsEINVAL);
        return EOF;
    }
    if (!access.Usable()) return EOF;
    const size_t length = std::strlen(text);
    if (sim::WriteBytes(access, text, length) != length) return EOF;
    return sim::WriteBytes(access, "\n", 1) == 1 ? 0 : EOF;
}

// Returns what fputc returns for standard output.
RUNTIME_ENTRY int rt_putchar(int c) { return rt_fputc(c, &sim::ProgramStreams[1]); }

// Returns nonzero when a read reached the end of the stream.
RUNTIME_ENTRY int rt_feof(void* stream) {
    StreamAccess access(stream, false);
    if (access.Index() < 0) {
        sim::SetProgramErrno(sim::WindowsEINVAL);
        return 0;
    }
    return access.File().Flag & sim::StreamAtEnd;
}

// Returns the stream's descriptor, or -1 with errno EINVAL for no stream.
RUNTIME_ENTRY int rt_fileno(void* stream) {
    StreamAccess access(stream, false);
    if (access.Index() < 0) {
        sim::SetProgramErrno(sim::WindowsEINVAL);
        return -1;
    }
    return access.File().File;
}

// Returns 0 once the position moved (and the end-of-file mark is gone),
// -1 with errno set otherwise.
RUNTIME_ENTRY int rt_fseek(void* stream, long offset, int origin) {
    StreamAccess access(stream);
    if (origin != SEEK_SET && origin != SEEK_CUR && origin != SEEK_END) {
        sim::SetProgramErrno(sim::WindowsEINVAL);
        return -1;
    }
    if (!access.Usable()) return -1;
    if (fseeko(access.Record().Host, offset, origin) != 0) {
        sim::SetProgramErrnoFromHost();
        return -1;
    }
    access.File().Flag &= ~sim::StreamAtEnd;
    return 0;
}

// Returns the position in the file in bytes (in text mode too), or -1.
RUNTIME_ENTRY long rt_ftell(void* stream) {
    StreamAccess access(stream);
    if (!access.Usable()) return -1;
    const off_t position = ftello(access.Record().Host);
    if (position < 0) {
        sim::SetProgramErrnoFromHost();
        return -1;
    }
    if (position > LONG_MAX) {
        sim::SetProgramErrno(sim::WindowsEINVAL);
        return -1;
    }
    return static_cast<long>(position);
}

// Returns `c` once it is pushed back to be the stream's next byte read
// (the end-of-file mark goes); EOF when `c` is EOF or the stream cannot
// take it back. One byte of push-back is all that is promised.
RUNTIME_ENTRY int rt_ungetc(int c, void* stream) {
    if (c == EOF) return EOF;
    StreamAccess access(stream);
    if (!access.Usable()) return EOF;
    if ((access.File().Flag & (sim::StreamRead | sim::StreamReadWrite)) == 0) return EOF;
    if (std::ungetc(static_cast<unsigned char>(c), access.Record().Host) == EOF) return EOF;
    access.File().Flag &= ~sim::StreamAtEnd;
    return static_cast<unsigned char>(c);
}

// The rest of the stream family: putc, setvbuf, _fdopen, _wfopen, the
// positions of fgetpos and fsetpos, rewind and clearerr, the wide
// character reads and writes (a text-mode stream carries each as one byte
// of the "C" locale, a binary one as two bytes, as msvcrt writes them) and
// the wide printf family, and printing into memory (sprintf and kin).

namespace sim {
namespace {

constexpr int BufferFull = 0x0000;
constexpr int BufferLine = 0x0040;
constexpr int BufferNone = 0x0004;
constexpr unsigned WideEof = 0xFFFF;

// Returns the text of the wide `text` in the "C" locale: characters above
// 255 become '?'.
std::string NarrowOf(const uint16_t* text) {
    std::string narrow;
    for (; *text != 0; ++text) narrow += static_cast<char>(*text < 256 ? *text : '?');
    return narrow;
}

// Returns the wide printf format as the narrow printf format that means the
// same: a wide format's %s and %c (without h, l or w) are wide, a narrow
// one's narrow, and %S and %C the other way round.
std::string NarrowFormatOf(const uint16_t* format) {
    std::string narrow = NarrowOf(format);
    for (size_t i = 0; i < narrow.size(); ++i) {
        if (narrow[i] != '%') continue;
        ++i;
        if (i < narrow.size() && narrow[i] == '%') continue;
        while (i < narrow.size() && std::strchr("-+ #0123456789.*", narrow[i]) != nullptr) ++i;
        bool sized = false;
        while (i < narrow.size() && std::strchr("hlwIL", narrow[i]) != nullptr) {
            sized = true;
            ++i;
            while (i < narrow.size() && (narrow[i] == '3' || narrow[i] == '2' || narrow[i] == '6' ||
                                         narrow[i] == '4')) {
                ++i;
            }
        }
        if (i >= narrow.size() || sized) continue;
        char& letter = narrow[i];
        letter = letter == 's' ? 'S' : letter == 'S' ? 's' : letter == 'c' ? 'C'
               : letter == 'C' ? 'c' : letter;
    }
    return narrow;
}

// Returns the wide characters written of `text` (taken as characters
// 0-255), -1 on failure. Needs the stream's lock.
int WriteWide(StreamAccess& access, const std::string& text) {
    if (access.Record().Text) {
        return WriteBytes(access, text.data(), text.size()) == text.size()
                   ? static_cast<int>(text.size())
                   : -1;
    }
    std::string bytes;
    for (char c : text) {
        bytes += c;
        bytes += '\0';
    }
    return WriteBytes(access, bytes.data(), bytes.size()) == bytes.size()
               ? static_cast<int>(text.size())
               : -1;
}

}  // namespace
}  // namespace sim

RUNTIME_ENTRY int rt_putc(int c, void* stream) { return rt_fputc(c, stream); }

// Returns 0 once the stream buffers as asked (line buffering is full
// buffering, as in msvcrt); nonzero for an unknown mode or a size outside
// 2 to INT_MAX.
RUNTIME_ENTRY int rt_setvbuf(void* stream, char* buffer, int mode, size_t size) {
    (void)buffer;  // the host's stream keeps its own buffer
    StreamAccess access(stream);
    if ((mode != sim::BufferNone && (size < 2 || size > INT_MAX)) ||
        (mode != sim::BufferFull && mode != sim::BufferLine && mode != sim::BufferNone)) {
        sim::SetProgramErrno(sim::WindowsEINVAL);
        return -1;
    }
    if (!access.Usable()) return -1;
    return setvbuf(access.Record().Host, nullptr, mode == sim::BufferNone ? _IONBF : _IOFBF,
                   size) == 0
               ? 0
               : -1;
}

// Returns nothing; the stream buffers fully with a buffer, or not at all
// with null.
RUNTIME_ENTRY void rt_setbuf(void* stream, char* buffer) {
    rt_setvbuf(stream, buffer, buffer != nullptr ? sim::BufferFull : sim::BufferNone, 4096);
}

// Returns a new stream over the open descriptor `d`, which its fclose
// closes, or null with errno set.
RUNTIME_ENTRY void* rt_fdopen(int d, const char* modeText) {
    sim::OpenMode mode;
    if (modeText == nullptr || !sim::ParseOpenMode(modeText, mode)) {
        sim::SetProgramErrno(sim::WindowsEINVAL);
        return nullptr;
    }
    for (int i = 3; i < sim::StreamCount; ++i) {
        StreamAccess access(&sim::ProgramStreams[i], false);
        if (sim::InUse(sim::ProgramStreams[i])) continue;
        bool text = true;
        const int hostFd = sim::AdoptDescriptorForStream(d, &text);
        if (hostFd < 0) return nullptr;
        const int accessMode = mode.HostFlags & O_ACCMODE;
        FILE* host = fdopen(hostFd, accessMode == O_RDONLY   ? "r"
                                    : accessMode == O_WRONLY ? "w"
                                                             : "r+");
        if (host == nullptr) {
            sim::SetProgramErrnoFromHost();
            return nullptr;
        }
        sim::Stream& record = access.Record();
        record.Host = host;
        record.Text = text;
        record.Commit = mode.Commit;
        sim::ProgramStreams[i] =
            sim::WindowsFile{nullptr, 0, nullptr, mode.StreamFlag, d, 0, 0, nullptr};
        return &sim::ProgramStreams[i];
    }
    sim::SetProgramErrno(sim::WindowsEMFILE);
    return nullptr;
}

// As fopen, with a UTF-16 path and mode.
RUNTIME_ENTRY void* rt_wfopen(const uint16_t* path, const uint16_t* mode) {
    if (path == nullptr || mode == nullptr) {
        sim::SetProgramErrno(sim::WindowsEINVAL);
        return nullptr;
    }
    return rt_fopen(sim::NarrowOf(path).c_str(), sim::NarrowOf(mode).c_str());
}

// Returns 0 with the stream's position (msvcrt's fpos_t: 64 bits).
RUNTIME_ENTRY int rt_fgetpos(void* stream, int64_t* position) {
    StreamAccess access(stream);
    if (position == nullptr) {
        sim::SetProgramErrno(sim::WindowsEINVAL);
        return -1;
    }
    if (!access.Usable()) return -1;
    const off_t at = ftello(access.Record().Host);
    if (at < 0) {
        sim::SetProgramErrnoFromHost();
        return -1;
    }
    *position = at;
    return 0;
}

// Returns 0 once the stream is at the position fgetpos gave.
RUNTIME_ENTRY int rt_fsetpos(void* stream, const int64_t* position) {
    StreamAccess access(stream);
    if (position == nullptr) {
        sim::SetProgramErrno(sim::WindowsEINVAL);
        return -1;
    }
    if (!access.Usable()) return -1;
    if (fseeko(access.Record().Host, static_cast<off_t>(*position), SEEK_SET) != 0) {
        sim::SetProgramErrnoFromHost();
        return -1;
    }
    access.File().Flag &= ~sim::StreamAtEnd;
    return 0;
}

// Returns nothing; the stream is at its start, its error and end marks gone.
RUNTIME_ENTRY void rt_rewind(void* stream) {
    StreamAccess access(stream);
    if (!access.Usable()) return;
    fseeko(access.Record().Host, 0, SEEK_SET);
    clearerr(access.Record().Host);
    access.File().Flag &= ~(sim::StreamAtEnd | sim::StreamFailed);
}

// Returns nothing; the stream's error and end marks are gone.
RUNTIME_ENTRY void rt_clearerr(void* stream) {
    StreamAccess access(stream);
    if (!access.Usable()) return;
    clearerr(access.Record().Host);
    access.File().Flag &= ~(sim::StreamAtEnd | sim::StreamFailed);
}

// Returns `c` once written, WEOF when it failed or has no byte in the "C"
// locale (errno EILSEQ) on a text stream.
RUNTIME_ENTRY unsigned rt_fputwc(unsigned c, void* stream) {
    StreamAccess access(stream);
    if (!access.Usable()) return sim::WideEof;
    c &= 0xFFFF;
    if (access.Record().Text && c > 0xFF) {
        sim::SetProgramErrno(sim::WindowsEILSEQ);
        return sim::WideEof;
    }
    if (access.Record().Text) {
        return sim::WriteWide(access, std::string(1, static_cast<char>(c))) == 1 ? c : sim::WideEof;
    }
    const char bytes[2] = {static_cast<char>(c & 0xFF), static_cast<char>(c >> 8)};
    return sim::WriteBytes(access, bytes, 2) == 2 ? c : sim::WideEof;
}
RUNTIME_ENTRY unsigned rt_putwchar(unsigned c) { return rt_fputwc(c, &sim::ProgramStreams[1]); }

// Returns the next wide character, or WEOF at the end or on failure.
RUNTIME_ENTRY unsigned rt_fgetwc(void* stream) {
    StreamAccess access(stream);
    if (!access.Usable()) return sim::WideEof;
    unsigned char bytes[2] = {0, 0};
    const size_t wanted = access.Record().Text ? 1 : 2;
    if (sim::ReadBytes(access, reinterpret_cast<char*>(bytes), wanted) != wanted) {
        return sim::WideEof;
    }
    return wanted == 1 ? bytes[0] : unsigned(bytes[0] | (bytes[1] << 8));
}
RUNTIME_ENTRY unsigned rt_getwchar(void) { return rt_fgetwc(&sim::ProgramStreams[0]); }

// Returns `c` once pushed back (as its one byte on a text stream), WEOF
// when it cannot be.
RUNTIME_ENTRY unsigned rt_ungetwc(unsigned c, void* stream) {
    if ((c & 0xFFFF) == sim::WideEof || c > 0xFF) return sim::WideEof;
    return rt_ungetc(static_cast<int>(c), stream) == EOF ? sim::WideEof : c;
}

// Returns 0 once the text is written, WEOF otherwise.
RUNTIME_ENTRY int rt_fputws(const uint16_t* text, void* stream) {
    StreamAccess access(stream);
    if (text == nullptr) {
        sim::SetProgramErrno(sim::WindowsEINVAL);
        return static_cast<int>(sim::WideEof);
    }
    if (!access.Usable()) return static_cast<int>(sim::WideEof);
    for (const uint16_t* at = text; *at != 0; ++at) {
        if (access.Record().Text && *at > 0xFF) {
            sim::SetProgramErrno(sim::WindowsEILSEQ);
            return static_cast<int>(sim::WideEof);
        }
    }
    const std::string narrow = sim::NarrowOf(text);
    return sim::WriteWide(access, narrow) == static_cast<int>(narrow.size())
               ? 0
               : static_cast<int>(sim::WideEof);
}

// Returns the wide characters written, or -1.
RUNTIME_ENTRY int rt_vfwprintf(void* stream, const uint16_t* format, va_list arguments) {
    StreamAccess access(stream);
    if (format == nullptr) {
        sim::SetProgramErrno(sim::WindowsEINVAL);
        return -1;
    }
    if (!access.Usable()) return -1;
    std::string out;
    sim::FormatWindows(out, sim::NarrowFormatOf(format).c_str(), arguments);
    return sim::WriteWide(access, out);
}
RUNTIME_ENTRY int rt_fwprintf(void* stream, const uint16_t* format, ...) {
    va_list arguments;
    va_start(arguments, format);
    const int written = rt_vfwprintf(stream, format, arguments);
    va_end(arguments);
    return written;
}
RUNTIME_ENTRY int rt_vwprintf(const uint16_t* format, va_list arguments) {
    return rt_vfwprintf(&sim::ProgramStreams[1], format, arguments);
}
RUNTIME_ENTRY int rt_wprintf(const uint16_t* format, ...) {
    va_list arguments;
    va_start(arguments, format);
    const int written = rt_vfwprintf(&sim::ProgramStreams[1], format, arguments);
    va_end(arguments);
    return written;
}

namespace sim {
namespace {

// Returns the characters of `out` stored in `to` of `count` (with a NUL
// when it fits): the length when the whole text and its NUL fit, else -1
// with the first `count` characters stored and no NUL, as _snprintf does.
int StoreCounted(const std::string& out, char* to, size_t count) {
    if (out.size() < count) {
        std::memcpy(to, out.c_str(), out.size() + 1);
        return static_cast<int>(out.size());
    }
    if (count > 0) std::memcpy(to, out.data(), count);
    return out.size() == count ? static_cast<int>(count) : -1;
}

int StoreCountedWide(const std::string& out, uint16_t* to, size_t count) {
    const size_t stored = out.size() < count ? out.size() + 1 : count;
    for (size_t i = 0; i < stored; ++i) {
        to[i] = i < out.size() ? static_cast<unsigned char>(out[i]) : 0;
    }
    return out.size() < count ? static_cast<int>(out.size())
           : out.size() == count ? static_cast<int>(count)
                                 : -1;
}

}  // namespace
}  // namespace sim

// Returns the characters written to `to` (no limit), or -1.
RUNTIME_ENTRY int rt_vsprintf(char* to, const char* format, va_list arguments) {
    if (to == nullptr || format == nullptr) {
        sim::SetProgramErrno(sim::WindowsEINVAL);
        return -1;
    }
    std::string out;
    sim::FormatWindows(out, format, arguments);
    std::memcpy(to, out.c_str(), out.size() + 1);
    return static_cast<int>(out.size());
}
RUNTIME_ENTRY int rt_sprintf(char* to, const char* format, ...) {
    va_list arguments;
    va_start(arguments, format);
    const int written = rt_vsprintf(to, format, arguments);
    va_end(arguments);
    return written;
}
// Returns the length written when the text fits `count` (with a NUL only
// when there is room); -1 when it does not, as msvcrt's _vsnprintf.
RUNTIME_ENTRY int rt_vsnprintf(char* to, size_t count, const char* format, va_list arguments) {
    if (format == nullptr || (to == nullptr && count != 0)) {
        sim::SetProgramErrno(sim::WindowsEINVAL);
        return -1;
    }
    std::string out;
    sim::FormatWindows(out, format, arguments);
    return sim::StoreCounted(out, to, count);
}
RUNTIME_ENTRY int rt_snprintf(char* to, size_t count, const char* format, ...) {
    va_list arguments;
    va_start(arguments, format);
    const int written = rt_vsnprintf(to, count, format, arguments);
    va_end(arguments);
    return written;
}
// Returns the length the text would have.
RUNTIME_ENTRY int rt_vscprintf(const char* format, va_list arguments) {
    if (format == nullptr) {
        sim::SetProgramErrno(sim::WindowsEINVAL);
        return -1;
    }
    std::string out;
    sim::FormatWindows(out, format, arguments);
    return static_cast<int>(out.size());
}
RUNTIME_ENTRY int rt_scprintf(const char* format, ...) {
    va_list arguments;
    va_start(arguments, format);
    const int length = rt_vscprintf(format, arguments);
    va_end(arguments);
    return length;
}
// msvcrt's swprintf has no count (the old form); _snwprintf has one.
RUNTIME_ENTRY int rt_vswprintf(uint16_t* to, const uint16_t* format, va_list arguments) {
    if (to == nullptr || format == nullptr) {
        sim::SetProgramErrno(sim::WindowsEINVAL);
        return -1;
    }
    std::string out;
    sim::FormatWindows(out, sim::NarrowFormatOf(format).c_str(), arguments);
    return sim::StoreCountedWide(out, to, out.size() + 1);
}
RUNTIME_ENTRY int rt_swprintf(uint16_t* to, const uint16_t* format, ...) {
    va_list arguments;
    va_start(arguments, format);
    const int written = rt_vswprintf(to, format, arguments);
    va_end(arguments);
    return written;
}
RUNTIME_ENTRY int rt_vsnwprintf(uint16_t* to, size_t count, const uint16_t* format,
                                va_list arguments) {
    if (format == nullptr || (to == nullptr && count != 0)) {
        sim::SetProgramErrno(sim::WindowsEINVAL);
        return -1;
    }
    std::string out;
    sim::FormatWindows(out, sim::NarrowFormatOf(format).c_str(), arguments);
    return sim::StoreCountedWide(out, to, count);
}
RUNTIME_ENTRY int rt_snwprintf(uint16_t* to, size_t count, const uint16_t* format, ...) {
    va_list arguments;
    va_start(arguments, format);
    const int written = rt_vsnwprintf(to, count, format, arguments);
    va_end(arguments);
    return written;
}

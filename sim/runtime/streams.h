// The Windows runtime's streams and low-level descriptors over the host's
// files: FILE structures laid out as msvcrt lays them out (the program's
// stdin, stdout and stderr are _iob[0..2]), text mode ("\n" written as
// "\r\n", "\r\n" read as "\n", Ctrl-Z ending a file) or binary mode, and
// descriptors numbered as msvcrt numbers them.
#ifndef PTASPI_SIM_RUNTIME_STREAMS_H
#define PTASPI_SIM_RUNTIME_STREAMS_H

#include <cstddef>

namespace sim {

// msvcrt's FILE on 32-bit Windows. The runtime keeps its buffers on the
// host side; programs reach these fields only through its functions.
struct WindowsFile {
    char* Ptr;
    int Count;
    char* Base;
    int Flag;
    int File;
    int CharBuffer;
    int BufferSize;
    char* TempName;
};
static_assert(sizeof(WindowsFile) == 32, "msvcrt's FILE is 32 bytes");
static_assert(offsetof(WindowsFile, Count) == 4, "_cnt");
static_assert(offsetof(WindowsFile, Base) == 8, "_base");
static_assert(offsetof(WindowsFile, Flag) == 12, "_flag");
static_assert(offsetof(WindowsFile, File) == 16, "_file");
static_assert(offsetof(WindowsFile, CharBuffer) == 20, "_charbuf");
static_assert(offsetof(WindowsFile, BufferSize) == 24, "_bufsiz");
static_assert(offsetof(WindowsFile, TempName) == 28, "_tmpfname");

// _flag bits.
constexpr int StreamRead = 0x0001;
constexpr int StreamWrite = 0x0002;
constexpr int StreamAtEnd = 0x0010;
constexpr int StreamFailed = 0x0020;
constexpr int StreamReadWrite = 0x0080;

// _fmode values: the default translation of streams opened without 't'
// or 'b' (0, the start value, means text).
constexpr int FileModeText = 0x4000;
constexpr int FileModeBinary = 0x8000;

// msvcrt's limit: 512 streams, of which _iob holds the first 20.
constexpr int StreamCount = 512;

// The runtime's FILE table; its first entries are _iob.
extern WindowsFile ProgramStreams[StreamCount];
// Returns the address of _fmode.
int* ProgramFileMode();
// Returns the address of _commode.
int* ProgramCommitMode();

// Returns true when every open output stream was flushed.
bool FlushAllStreams();
// Returns nothing; every stream but stdin, stdout and stderr is closed,
// as the runtime does at exit, once they are flushed.
void CloseFileStreams();
// Returns nothing; output still buffered in any stream is dropped, as a
// process that ends without the runtime's exit loses it.
void DiscardStreamOutput();

// Returns nothing; writes `size` bytes straight to the program's standard
// error, as the runtime writes its fatal messages (no stream involved).
void WriteStandardErrorRaw(const char* text, size_t size);

// Returns nothing; every open stream over descriptor `d` now translates
// (text) or not, as _setmode on the descriptor makes msvcrt's streams do.
void SetStreamTextOfDescriptor(int d, bool text);

}  // namespace sim

#endif

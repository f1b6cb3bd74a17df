// The Windows C runtime's errno: its own numbers (equal to Linux's up to
// ERANGE, different above), kept per thread separately from the host's errno,
// and its own message texts.
#ifndef PTASPI_SIM_RUNTIME_ERRNO_VALUES_H
#define PTASPI_SIM_RUNTIME_ERRNO_VALUES_H

namespace sim {

constexpr int WindowsEPERM = 1;
constexpr int WindowsENOENT = 2;
constexpr int WindowsEINTR = 4;
constexpr int WindowsEIO = 5;
constexpr int WindowsEBADF = 9;
constexpr int WindowsEAGAIN = 11;
constexpr int WindowsENOMEM = 12;
constexpr int WindowsEACCES = 13;
constexpr int WindowsEEXIST = 17;
constexpr int WindowsEINVAL = 22;
constexpr int WindowsEMFILE = 24;
constexpr int WindowsENOSPC = 28;
constexpr int WindowsERANGE = 34;
constexpr int WindowsEDEADLK = 36;
constexpr int WindowsENAMETOOLONG = 38;
constexpr int WindowsENOLCK = 39;
constexpr int WindowsENOSYS = 40;
constexpr int WindowsENOTEMPTY = 41;
constexpr int WindowsEILSEQ = 42;

// Returns the Windows errno value that means what the host's `hostErrno`
// means; EINVAL for a host error that the Windows runtime has no number for.
int WindowsErrnoOf(int hostErrno);

// Returns the calling thread's errno as the program sees it (what _errno
// points to); it starts at 0 and only the runtime's functions set it.
int* ProgramErrno();
// Returns nothing; the program's errno becomes `windowsErrno`.
void SetProgramErrno(int windowsErrno);
// Returns nothing; the program's errno becomes the Windows value of the
// host's current errno.
void SetProgramErrnoFromHost();

// Returns the Windows runtime's message for `windowsErrno` ("Unknown error"
// for a number it has none for).
const char* WindowsErrorText(int windowsErrno);

}  // namespace sim

#endif

#include "sim/runtime/errno_values.h"

#include <cerrno>

namespace sim {
namespace {

thread_local int programErrno = 0;

struct ErrnoPair {
    int Host;
    int Windows;
};

// The host errors whose number differs on Windows, or that Windows lacks
// and reports as a neighbouring error.
const ErrnoPair translatedErrors[] = {
    {ENOTBLK, WindowsEINVAL},       {ETXTBSY, WindowsEACCES},
    {EDEADLK, WindowsEDEADLK},      {ENAMETOOLONG, WindowsENAMETOOLONG},
    {ENOLCK, WindowsENOLCK},        {ENOSYS, WindowsENOSYS},
    {ENOTEMPTY, WindowsENOTEMPTY},  {EILSEQ, WindowsEILSEQ},
    {EDQUOT, WindowsENOSPC},        {EOVERFLOW, WindowsEINVAL},
};

// The Windows runtime's texts, indexed by errno; the last one serves every
// number past the table.
const char* const errorTexts[] = {
    "No error",
    "Operation not permitted",
    "No such file or directory",
    "No such process",
    "Interrupted function call",
    "Input/output error",
    "No such device or address",
    "Arg list too long",
    "Exec format error",
    "Bad file descriptor",
    "No child processes",
    "Resource temporarily unavailable",
    "Not enough space",
    "Permission denied",
    "Bad address",
    "Unknown error",
    "Resource device",
    "File exists",
    "Improper link",
    "No such device",
    "Not a directory",
    "Is a directory",
    "Invalid argument",
    "Too many open files in system",
    "Too many open files",
    "Inappropriate I/O control operation",
    "Unknown error",
    "File too large",
    "No space left on device",
    "Invalid seek",
    "Read-only file system",
    "Too many links",
    "Broken pipe",
    "Domain error",
    "Result too large",
    "Unknown error",
    "Resource deadlock avoided",
    "Unknown error",
    "Filename too long",
    "No locks available",
    "Function not implemented",
    "Directory not empty",
    "Illegal byte sequence",
    "Unknown error",
};
const int errorTextCount = sizeof errorTexts / sizeof errorTexts[0];

}  // namespace

int WindowsErrnoOf(int hostErrno) {
    for (const ErrnoPair& pair : translatedErrors) {
        if (pair.Host == hostErrno) return pair.Windows;
    }
    // Below ERANGE the numbers agree, except for the two the table holds.
    if (hostErrno >= 0 && hostErrno <= ERANGE) return hostErrno;
    return WindowsEINVAL;
}

int* ProgramErrno() { return &programErrno; }

void SetProgramErrno(int windowsErrno) { programErrno = windowsErrno; }

void SetProgramErrnoFromHost() { programErrno = WindowsErrnoOf(errno); }

const char* WindowsErrorText(int windowsErrno) {
    if (windowsErrno < 0 || windowsErrno >= errorTextCount) return errorTexts[errorTextCount - 1];
    return errorTexts[windowsErrno];
}

}  // namespace sim

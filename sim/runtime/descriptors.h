// The Windows runtime's low-level descriptors (_read, _isatty, _close)
// over host files. Descriptors 0 to 2 are the program's standard input,
// output and error, over copies of the host's own made at their first use,
// so that the program closing them leaves the host's alone. Each is in
// text mode or binary mode, as the stream over it.
#ifndef PTASPI_SIM_RUNTIME_DESCRIPTORS_H
#define PTASPI_SIM_RUNTIME_DESCRIPTORS_H

namespace sim {

// Ctrl-Z ends a file read in text mode, unless it comes from a terminal.
constexpr int CtrlZ = 0x1A;

// Returns the lowest free descriptor from 3 up, opened over `hostFd` for
// a stream, or -1 when all 2048 are taken. The stream owns the host file:
// a _close of the descriptor leaves it open for the stream, which fails
// from then on, until ReleaseStreamDescriptor.
int OpenStreamDescriptor(int hostFd, bool text);
// Returns the host file of standard descriptor `d` (0 to 2), now held by
// its stream, or -1 when the descriptor is closed.
int StandardStreamDescriptor(int d);
// Returns true when descriptor `d` is open.
bool DescriptorIsOpen(int d);
// Returns nothing; the stream's descriptor is free again (the stream
// closes the host file).
void ReleaseStreamDescriptor(int d);
// Returns the host file of descriptor `d`, and its mode in *text unless
// null; -1 with errno EBADF when it is not open.
int HostFdOf(int d, bool* text);

// Returns the lowest free descriptor from 3 up, owning `hostFd` (a _close
// closes it), or -1 when all are taken.
int OpenPlainDescriptor(int hostFd, bool text);
// Returns true with descriptor `d` switched to text or binary mode and
// its former mode in *wasText; false with errno EBADF when it is not open.
bool SetDescriptorText(int d, bool text, bool* wasText);

// Returns the host file of descriptor `d`, now held by a stream that
// _fdopen makes over it (its mode in *text): the stream's fclose closes
// both. -1 with errno EBADF when it is not open or a stream holds it.
int AdoptDescriptorForStream(int d, bool* text);

}  // namespace sim

#endif

// What the benchmarks share: machines built from a few numbers, the library
// loaded as an application loads it, and the two ways of sending one
// command to a unit (an execute SRB, or a pass-through on an open handle).
#ifndef PTASPI_BENCH_BENCH_SUPPORT_H
#define PTASPI_BENCH_BENCH_SUPPORT_H

#include "platform/scsi_port.h"
#include "ptaspi32.h"

#include <windows.h>

#include <string>
#include <vector>

namespace bench {

// How long the simulator's waits watch their word before they sleep in
// the Watch/ benchmarks, which weigh that against sleeping at once.
constexpr unsigned WatchUs = 200;

// Where DiskMachine puts a disk; its host adapter is Port * buses + Bus.
struct DiskAddress {
    BYTE Port;
    BYTE Bus;
    BYTE Target;
};
// Returns the address of disk `unit`: the disks go round the buses of all
// ports, target 0 on each bus first, and never at the adapter's id 7.
DiskAddress DiskAt(int ports, int buses, int unit);
// Returns the text of a machine with `units` claimed memory disks on
// `ports` ports of `buses` buses each; disk i is at DiskAt(..., i) and is
// the class device PhysicalDrive<i>.
std::string DiskMachine(int ports, int buses, int units);
// Returns nothing: makes `json` the running machine; aborts when it fails.
void InstallMachineText(const std::string& json);

// The library's shared object as an application holds it.
struct Library {
    HMODULE Module = nullptr;
    SENDASPI32COMMAND Send = nullptr;
    GETASPI32SUPPORTINFO SupportInfo = nullptr;
};
// Returns true once the library is loaded and both exports resolved.
bool LoadPtaspi(Library& library);
// Returns nothing: unloads the library and waits for its worker to end.
void UnloadPtaspi(Library& library);

// One command block and the bytes it reads.
struct Command {
    BYTE Cdb[10];
    BYTE CdbLength;
    DWORD Bytes;
};
// Returns TEST UNIT READY, or READ(10) of `bytes` from LBA 0.
Command TestUnitReady();
Command Read10(DWORD bytes);

// A command with the name its benchmarks carry ("Read/4096").
struct NamedCommand {
    const char* Name;
    Command Block;
};
// The commands of every round trip: TEST UNIT READY, 4 KiB and 64 KiB READ.
extern const NamedCommand RoundTripCommands[3];

// An execute request with room for its sense bytes after the block.
struct ExecRequest {
    SRB_ExecSCSICmd Srb;
    BYTE Sense[18];
};
// Returns nothing: fills `request` for `command` on one unit.
void PrepareExec(ExecRequest& request, BYTE ha, BYTE target, const Command& command, BYTE* buffer,
                 BYTE flags, void* postProc);

// How an application learns that its execute request has completed.
enum class Completion { Event, Post, Poll };
// The auto-reset event that the event and the post routine set; made and
// closed by the benchmarks' setup and teardown.
extern HANDLE CompletionEvent;
// Returns nothing: the post routine, which wakes the waiting application.
void __cdecl SignalCompletion(void*);
// Returns the SRB_Flags bits that ask for `completion`.
BYTE CompletionFlags(Completion completion);
// Returns what SRB_PostProc holds for `completion`: the event, the post
// routine, or null.
void* CompletionTarget(Completion completion);
// Returns once the request has completed, in the way asked for: a wait
// for the event, or reading the status until it is no longer pending.
void AwaitCompletion(Completion completion, const SRB_ExecSCSICmd& srb);

// A direct pass-through request with its sense area, as the library builds
// one, but made once and reused.
struct DirectRequest {
    SCSI_PASS_THROUGH_DIRECT Header;
    BYTE Sense[18];
};
// Returns true when the unit ran the command with GOOD status.
bool SendDirect(HANDLE device, DirectRequest& request, BYTE pathId, BYTE target,
                const Command& command, BYTE* buffer);
// Returns the device path of disk `unit` of DiskMachine.
std::string DiskPath(int unit);
// Returns an open read-write handle to disk `unit`, or INVALID_HANDLE_VALUE.
HANDLE OpenDisk(int unit);

// Returns a page-aligned buffer of `bytes` inside `storage`.
BYTE* PageAlignedBuffer(std::vector<BYTE>& storage, DWORD bytes);

}  // namespace bench

#endif

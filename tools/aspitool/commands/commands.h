// The commands of aspitool and what they share: the session (options and
// the loaded library), reaching a unit, and reporting failures.
#ifndef ASPITOOL_COMMANDS_H
#define ASPITOOL_COMMANDS_H

#include "../address.h"
#include "../aspi_library.h"
#include "../json.h"
#include "../machine_setup.h"
#include "../options.h"
#include "../srb_requests.h"

#include <cstdint>
#include <functional>
#include <string>

namespace aspitool {

enum ExitCode { ExitOk = 0, ExitFailure = 1, ExitUsage = 2 };

struct Session {
    Options options;
    AspiLibrary library;
    MachineNotes machine;
};

// A unit that answered a device-type request, with its adapter's limits.
struct Unit {
    UnitAddress address;
    HostAdapterInfo adapter;
    uint8_t deviceType = 0;
};

struct Capacity {
    uint32_t lastLba = 0;
    uint32_t blockSize = 0;
    uint64_t blocks = 0;
};

// The usage hint after an address that names nothing.
extern const char AddressHint[];

// Each returns the process exit code.
int RunScan(Session& session);
int RunInquiry(Session& session);
int RunTestUnitReady(Session& session);
int RunReadCapacity(Session& session);
int RunRead(Session& session);
int RunWrite(Session& session);
// aspitool burn: an ISO image onto a CD/DVD writer's blank disc (burn.cpp).
int RunBurn(Session& session);
int RunRaw(Session& session);
int RunModeSense(Session& session);
int RunStart(Session& session);
int RunStop(Session& session);
int RunEject(Session& session);
int RunRequestSense(Session& session);
// aspitool check: a self-test of the library (tools/aspitool/check/).
int RunCheck(Session& session);
// Returns the exit code of inquiry --vpd on `unit`, which is open.
int RunVpdInquiry(Session& session, const Unit& unit);

// Returns ExitOk when `operand` is an address whose host adapter exists,
// with `unit` filled; with `requireUnit` the unit must also answer a
// device-type request. Otherwise ExitUsage (a malformed address, or one
// with no host adapter or no unit there) or ExitFailure (the library
// failed), with `error` set.
int OpenUnit(const Session& session, const std::string& operand, bool requireUnit, Unit& unit,
             std::string& error);
// Returns true when the command block was sent and completed (whatever its
// status), with `result` filled; false with `error` when it could not be.
bool SendCdb(const Session& session, const Unit& unit, const uint8_t* cdb, uint8_t cdbLength,
             DataDirection direction, uint8_t* buffer, uint32_t length, ExecResult& result,
             std::string& error);
// Returns true when the data-in command block was sent and completed
// (whatever its status), with `data` allocated for `length` bytes as the
// adapter aligns them and `result` filled; false with `error` otherwise.
bool SendDataIn(const Session& session, const Unit& unit, const uint8_t* cdb, uint8_t cdbLength,
                uint32_t length, AlignedBuffer& data, ExecResult& result, std::string& error);
// Returns true when the request completed with SS_COMP; otherwise false
// with `error` saying that `name` on the unit failed, and how.
bool CompletedGood(const Unit& unit, const char* name, const ExecResult& result,
                   std::string& error);
// Returns true when READ CAPACITY(10) succeeded and gave a usable block
// size; otherwise false with `error` (and `result` holding the outcome).
bool ReadCapacity(const Session& session, const Unit& unit, Capacity& capacity,
                  ExecResult& result, std::string& error);
// Returns the INQUIRY allocation length for `unit`: the 36 bytes of
// standard data, or less when the adapter moves less at a time.
uint32_t InquiryLength(const Unit& unit);
// Returns true when `unit` can move blocks of `blockSize` bytes: `blocks`
// receives how many fit in one transfer (the adapter's maximum transfer
// length, and the 16-bit count of READ(10) and WRITE(10)).
bool BlocksPerTransfer(const Unit& unit, uint32_t blockSize, uint32_t& blocks,
                       std::string& error);
// Returns the 10-byte READ(10) (opcode 0x28) or WRITE(10) (0x2A) block.
void MakeReadWrite10(uint8_t opcode, uint32_t lba, uint16_t blocks, uint8_t cdb[10]);
// Returns the empty text when blocks `lba` to `lba` + `count` - 1 lie on
// the medium, otherwise the reason they do not.
std::string BlockRangeError(const Unit& unit, const Capacity& capacity, uint64_t lba,
                            uint64_t count);

// Returns the empty text when `unit` is a device of logical blocks that
// `command` (read, write) can address; otherwise why not, naming what
// reaches a tape instead.
std::string NotBlockDeviceError(const Unit& unit, const char* command);

// Returns "1 block", "2 blocks": `count` and `noun`, plural when it is not 1.
std::string Plural(uint64_t count, const char* noun);

// One block transfer of a read or write, split at what the adapter moves
// at a time.
struct BlockTransfer {
    uint8_t Opcode;          // 0x28 READ(10) or 0x2A WRITE(10)
    const char* Name;        // "READ" or "WRITE", for messages
    uint64_t Lba;
    uint64_t Count;
    uint32_t PerTransfer;    // blocks per command
    uint8_t* Buffer;         // PerTransfer blocks, aligned for the adapter
};
// Returns the empty text when every block moved, otherwise why not; `done`
// counts the blocks that moved and `result` holds the last command's
// outcome. `chunk` is called with each transfer's bytes, before the
// command for a write (to fill them) and after it for a read (to take
// them); it returns false with `failure` set to stop.
std::string TransferBlocks(const Session& session, const Unit& unit, const Capacity& capacity,
                           const BlockTransfer& transfer, ExecResult& result, uint64_t& done,
                           const std::function<bool(uint8_t*, uint32_t, std::string&)>& chunk);

// Returns true when the command has exactly `count` operands; otherwise
// false with `error` naming the expected form.
bool ExpectOperands(const Session& session, size_t count, const char* form, std::string& error);
// Returns {"unit": "HA:TARGET:LUN"} followed by the fields of `result`.
Json OutcomeDocument(const Unit& unit, const ExecResult& result);
// Returns `code` after reporting `message` on standard error and, with
// --json, printing `document` with an "error" member added.
int Fail(const Session& session, Json& document, int code, const std::string& message);
// Returns nothing; prints `document` (with --json) or `text`.
void Show(const Session& session, const Json& document, const std::string& text);

}  // namespace aspitool

#endif

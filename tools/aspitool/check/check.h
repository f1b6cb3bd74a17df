// aspitool check: a self-test of the loaded ASPI library. Each check runs
// on a thread of its own under a time limit, so that a library that hangs,
// answers nonsense or faults is reported instead of taking the tool down.
#ifndef ASPITOOL_CHECK_H
#define ASPITOOL_CHECK_H

#include "../commands/commands.h"

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <utility>
#include <vector>

namespace aspitool {

enum class Verdict { Pass, Fail, Skip };

struct CheckRequest;

// What one check found. A failure says what was expected and what came; a
// pass may say what was seen; a skip says why nothing was tried.
struct CheckOutcome {
    Verdict verdict = Verdict::Pass;
    std::string expected;
    std::string got;
    std::string note;
    // Measured values for the JSON report, in whole units named by the key.
    std::vector<std::pair<std::string, int64_t>> figures;
    // True when a request of this check may still be in the library's
    // hands: its memory is never freed, and no later check may run.
    bool requestLeftBehind = false;
    // The requests that had no answer by the time limit; the end of the run
    // waits once more for them.
    std::vector<CheckRequest*> lateRequests;
};

// Returns nothing; marks `outcome` failed with `expected` and `got`,
// keeping the first failure when there are several.
void FailCheck(CheckOutcome& outcome, const std::string& expected, const std::string& got);
// Returns nothing; marks `outcome` skipped for `reason`, unless it failed.
void SkipCheck(CheckOutcome& outcome, const std::string& reason);

using Clock = std::chrono::steady_clock;

// The time a check has left; every wait of a check ends by it.
struct Deadline {
    Clock::time_point end;
    // Returns the milliseconds left, 0 once the deadline has passed.
    uint32_t LeftMs() const;
};

struct CheckRecord {
    std::string subject;  // "library", "ha 0" or "unit 0:1:0"
    std::string id;       // stable: "unit.read_block_0"
    std::string name;     // for people; may name the unit's state
    CheckOutcome outcome;
    uint32_t elapsedMs = 0;
};

// What the report says of each unit checked.
struct UnitReport {
    UnitAddress address;
    uint8_t peripheral = 0;
    std::string vendor, product, revision;  // from its INQUIRY data, when it answered
    // A UNIT ATTENTION or deferred error that the first command took, which
    // may have been meant for another program.
    std::string pendingCondition;
    bool reached = false;  // some command got the unit's own answer
    bool noDevice = false;  // the library said SS_NO_DEVICE to its INQUIRY
};

// A unit that a SCSI port's inquiry data lists, as the port driver found it
// at boot.
struct ListedUnit {
    unsigned port = 0;
    bool getsAdapters = false;  // the port's buses get host adapter numbers
    uint8_t bus = 0, target = 0, lun = 0;
    std::string identity;       // INQUIRY bytes 8-35: vendor, product, revision
};

struct CheckRun {
    const Session* session = nullptr;
    std::vector<ListedUnit> listedUnits;  // every port's, read before the checks
    uint32_t limitMs = 0;       // each check's own time limit
    std::vector<CheckRecord> records;
    std::vector<UnitReport> units;
    // Set once a check has timed out, faulted or left a request behind: the
    // library can no longer be trusted, so the later checks are skipped
    // and the tool ends without unloading it.
    std::string stopReason;
    // Set once a call into the library never returned, the library faulted,
    // or a request of it never completed: the tool then ends without
    // unloading the library.
    bool libraryStuck = false;
    std::string libraryVersion;  // of its version resource, empty without one
    // Set when no unit could be reached because the system forbids it.
    bool nothingChecked = false;
};

using CheckBody = std::function<void(const Deadline& deadline, CheckOutcome& outcome)>;

// Returns the outcome recorded for the check `name` of `subject`: `body` run
// on a thread of its own within the run's time limit, or a failure when it
// did not end in time or faulted, or a skip when the run was stopped.
CheckOutcome PerformCheck(CheckRun& run, const std::string& subject, const std::string& id,
                          const std::string& name, CheckBody body);
// Returns nothing; adds a record that ran no body (a skip or a verdict of
// the whole run).
void AddRecord(CheckRun& run, const std::string& subject, const std::string& id,
               const std::string& name, const CheckOutcome& outcome);

// The checks, by group. Each returns nothing and adds its records to `run`.
struct UnitUnderTest {
    Unit unit;
    bool known = false;        // a device type whose safe commands are known
    bool blockDevice = false;  // disk, write-once, CD/DVD or optical
};
// Support information, adapters, invalid requests and device types; fills
// `units` with every unit found (only `only` when it is set).
void CheckLibrary(CheckRun& run, const UnitAddress* only, std::vector<UnitUnderTest>& units);
// Returns true when the unit answered INQUIRY by at least one way, so that
// the other checks can reach it; fills `report`.
bool CheckCompletionWays(CheckRun& run, const UnitUnderTest& unit, UnitReport& report);
void CheckCheckCondition(CheckRun& run, const UnitUnderTest& unit, const Capacity* capacity);
// Returns true with `capacity` when the unit reported one; `readable` says
// whether block 0 could be read.
bool CheckReads(CheckRun& run, const UnitUnderTest& unit, Capacity& capacity, bool& readable);
void CheckAbort(CheckRun& run, const UnitUnderTest& unit);
// The data-out path, with a VERIFY that changes nothing; with `writeTest`,
// also the last block written back unchanged and read again. `capacity`
// is given only when block 0 could be read.
void CheckDataOut(CheckRun& run, const UnitUnderTest& unit, const Capacity* capacity, bool writeTest);
void CheckTiming(CheckRun& run, const UnitUnderTest& unit, const Capacity* capacity);
// The verdicts of the whole run, after the unit checks: requests that
// answered late, stray completions, and whether any of the `unitsTried`
// units was reached.
void CheckRunAsAWhole(CheckRun& run, size_t unitsTried);

// What the system itself says, apart from the library.
struct SystemFacts {
    unsigned portsListed = 0;     // SCSI ports of the device map that get host adapters
    bool passThroughDenied = false;  // every port device refuses this user write access
    std::vector<ListedUnit> listed;  // the units the port devices list
};
// Returns the empty text when the unit at `address` that answered INQUIRY
// with `identity` may be the one addressed; otherwise which unit of a port
// that gets no host adapter (an IDE/ATAPI port) answered instead: one with
// the same identity at the same target and LUN, which no other port lists.
std::string UnitOfAnotherPort(const std::vector<ListedUnit>& listed, const UnitAddress& address,
                              const std::string& identity);
// Returns what the registry and the port devices say.
SystemFacts ReadSystemFacts();
// Returns how many times the post routine was given a block the check
// never sent, or one it had already released.
int StrayPosts();

// Returns the file version of the version resource in the file at `path`
// ("1.2.0.5"), or the empty text when it has none or cannot be read: the
// fixed file information is found by its signature.
std::string FileVersion(const std::string& path);

// The exit code of a run in which nothing failed but no unit could be
// reached, so that nothing was checked.
const int ExitNothingChecked = 3;

// Returns the exit code after printing the run's report (text or JSON).
int ReportCheckRun(const CheckRun& run, bool json, const std::string& libraryPath,
                   uint32_t totalMs);

}  // namespace aspitool

#endif

// aspitool check: every example machine passes, the troubled one fails
// exactly where its units misbehave, and a library that answers nonsense,
// never completes, never returns or faults is reported, not waited for.
#include "tool_runner.h"

#include <gtest/gtest.h>

#include <stdlib.h>
#include <unistd.h>

#include <filesystem>
#include <set>

namespace tooltest {
namespace {

// Returns "SUBJECT / CHECK" of every check of `report` whose verdict is
// `verdict`.
std::set<std::string> ChecksWith(const nlohmann::json& report, const std::string& verdict) {
    std::set<std::string> checks;
    for (const auto& check : report["checks"]) {
        if (check["verdict"] == verdict) {
            checks.insert(check["subject"].get<std::string>() + " / " + check["check"].get<std::string>());
        }
    }
    return checks;
}

std::string ExamplePath(const std::string& name) {
    return std::string(PTASPI_SOURCE_DIR) + "/machines/" + name;
}

// Returns the check `id` of `subject` in `report`, or null.
nlohmann::json FindCheck(const nlohmann::json& report, const std::string& subject, const std::string& id) {
    for (const auto& check : report["checks"]) {
        if (check["subject"] == subject && check["id"] == id) return check;
    }
    return nullptr;
}

// Every example machine, the troubled one included, has no FAIL: its
// misbehaving units are the hardware's state, named in SKIPs. On the
// scanner station the limited user may reach no unit: nothing is checked,
// which is no success either (exit code 3).
TEST(Check, EveryExampleMachineHasNoFail) {
    std::vector<std::string> machines = {""};
    for (const auto& entry : std::filesystem::directory_iterator(ExamplePath(""))) {
        machines.push_back(entry.path());
    }
    for (const std::string& machine : machines) {
        SCOPED_TRACE(machine);
        std::vector<std::string> args = {"check", "--json"};
        if (!machine.empty()) args.insert(args.end(), {"--machine", machine});
        const ToolRun run = RunTool(args);
        const nlohmann::json report = run.Json();
        ASSERT_TRUE(report.is_object()) << run.out << run.err;
        EXPECT_EQ(ChecksWith(report, "FAIL"), std::set<std::string>());
        const bool limited = machine.find("scanner_station") != std::string::npos;
        EXPECT_EQ(run.exitCode, limited ? 3 : 0) << run.out;
        EXPECT_EQ(report["summary"]["exit_code"], run.exitCode);
        // The DLL carries a version resource; the shared object has none.
        const std::string file = report["library"]["file"];
        EXPECT_EQ(report["library"]["version"].is_string(), file == "ptaspi32.dll") << file;
        EXPECT_EQ(FindCheck(report, "library", "library.units_reached")["verdict"], limited ? "SKIP" : "PASS");
    }
    const ToolRun text = RunTool({"check"});
    EXPECT_EQ(text.exitCode, 0);
    EXPECT_NE(text.out.find("PASS  unit 0:0:0"), std::string::npos) << text.out;
    EXPECT_NE(text.out.find("\nsummary: "), std::string::npos);
}

// Everyday states of units, each with the verdict it must get and the word
// that names the state, on an adapter that allows 16 pages for 64 KiB.
TEST(Check, EverydayStatesAreNamedNotFailed) {
    const ToolRun run = RunTool({"check", "--json", "--machine", MachinePath("tool_everyday_states.json")});
    const nlohmann::json report = run.Json();
    ASSERT_TRUE(report.is_object()) << run.out << run.err;
    EXPECT_EQ(run.exitCode, 0);
    EXPECT_EQ(ChecksWith(report, "FAIL"), std::set<std::string>());
    const struct {
        const char* unit;
        const char* id;
        const char* result;
        const char* words;
    } cases[] = {
        {"unit 0:0:0", "unit.read_block_0", "SKIP", "audio disc: no data blocks"},
        {"unit 0:1:0", "unit.read_block_0", "SKIP", "blank medium"},
        {"unit 0:2:0", "unit.read_capacity", "SKIP", "reserved by another initiator"},
        {"unit 0:2:0", "unit.check_condition", "SKIP", "reserved by another initiator"},
        {"unit 0:2:0", "unit.inquiry_event", "PASS", ""},
        {"unit 0:3:0", "unit.read_capacity", "PASS", "after unit attention"},
        {"unit 0:4:0", "unit.read_capacity", "PASS", "after unit busy"},
        {"unit 0:4:0", "unit.read_block_0", "PASS", "one byte off alignment, 512 bytes the same"},
        {"unit 0:5:0", "unit.read_capacity", "SKIP", "medium not present"},
        {"unit 0:6:0", "unit.read_max_transfer", "PASS", "65536 bytes into a page-aligned buffer"},
        {"unit 0:6:0", "unit.abort", "PASS", "aborted while queued"},
        {"unit 0:6:0", "unit.check_condition_no_sense_area", "PASS", "target status 2"},
    };
    for (const auto& expected : cases) {
        SCOPED_TRACE(std::string(expected.unit) + " " + expected.id);
        const nlohmann::json check = FindCheck(report, expected.unit, expected.id);
        ASSERT_TRUE(check.is_object());
        EXPECT_EQ(check["verdict"], expected.result);
        const std::string words = check.value("reason", check.value("detail", ""));
        EXPECT_NE(words.find(expected.words), std::string::npos) << words;
    }
    // The report names the unit and the condition its first command took.
    const nlohmann::json unit = report["units"][3];
    EXPECT_EQ(unit["address"], "0:3:0");
    EXPECT_EQ(unit["product"], "ATTENTION DISC");
    EXPECT_NE(unit["pending_condition"].get<std::string>().find("unit attention"), std::string::npos);
    EXPECT_TRUE(report["units"][0]["pending_condition"].is_null());
    EXPECT_EQ(report["schema_version"], 1);
}

// A unit busy past --timeout with a command: its check is a SKIP, and the
// request is waited for once more before the run counts it as lost.
TEST(Check, AUnitBusyPastTheTimeLimitIsNoFail) {
    // The unit's first TEST UNIT READY takes 9 s: late by 3 s, and 3 s
    // before the second wait ends, margins that a loaded machine's
    // scheduling delays stay well inside.
    const ToolRun run = RunTool({"check", "0:7:0", "--json", "--timeout", "6", "--machine",
                                 MachinePath("tool_everyday_states.json")});
    const nlohmann::json report = run.Json();
    ASSERT_TRUE(report.is_object()) << run.out << run.err;
    EXPECT_EQ(run.exitCode, 0);
    EXPECT_EQ(ChecksWith(report, "FAIL"), std::set<std::string>());
    const nlohmann::json first = FindCheck(report, "unit 0:7:0", "unit.tur_poll");
    EXPECT_EQ(first["verdict"], "SKIP");
    EXPECT_NE(first["reason"].get<std::string>().find("it ended later with SS_COMP"), std::string::npos);
}

TEST(Check, OneUnitAndCommandLineErrors) {
    const ToolRun one = RunTool({"check", "0:3:0", "--json"});
    EXPECT_EQ(one.exitCode, 0) << one.out;
    std::set<std::string> subjects;
    const nlohmann::json report = one.Json();
    for (const auto& check : report["checks"]) subjects.insert(check["subject"].get<std::string>());
    EXPECT_EQ(subjects, (std::set<std::string>{"library", "ha 0", "unit 0:3:0"}));
    // A unit the library says it cannot reach (no class device to reach it
    // through): nothing is checked, and nothing failed.
    const ToolRun lost = RunTool({"check", "0:6:0", "--machine", ExamplePath("troubled_machine.json")});
    EXPECT_EQ(lost.exitCode, 3) << lost.out;
    EXPECT_EQ(RunTool({"check", "0:1"}).exitCode, 2);
    EXPECT_EQ(RunTool({"check", "0:1:0", "0:2:0"}).exitCode, 2);
}

// A library that breaks its promises: each run ends within its time limits
// with exit code 1 and the FAIL that says what happened, first (or, where
// the moment a request is watched decides which check sees the fault
// first, among the FAILs); a library that only refuses misaligned buffers,
// as the interface allows, gets none.
TEST(Check, BrokenLibrariesFail) {
    if (RunsWindowsProgram()) GTEST_SKIP() << "the broken library is a Linux shared object";
    const struct {
        const char* behaviour;
        const char* check;
        const char* got;
        const char* machine = "";
        bool anywhere = false;
    } cases[] = {
        {"garbage", "TEST UNIT READY by polling", "UNKNOWN (0x55)"},
        {"never", "requests completed", "no completion of the request of unit 0:0:0"},
        {"hang", "TEST UNIT READY by polling", "time-out: a call into the library did not return"},
        {"fault", "TEST UNIT READY by polling", "fault in the library: access violation"},
        {"refuse", "units reached", "every request to every unit was refused"},
        {"noabort", "abort of a queued request", "left it queued"},
        {"stray", "stray completions", "for a block that was never sent"},
        {"overrun", "CHECK CONDITION (READ past the last block)", "byte 0 after the sense area"},
        {"noadapters", "support information", "0 host adapters"},
        {"strictalign", "", ""},
        {"notargstat", "CHECK CONDITION (READ past the last block)", "but the unit's sense data"},
        {"sense8", "CHECK CONDITION (READ past the last block)", "only the first 8 bytes arrived"},
        {"nosense", "CHECK CONDITION (READ past the last block)", "target status 2, no sense data"},
        {"twice", "REQUEST SENSE", "NO SENSE: the library sent a command more than once"},
        {"abortoldest", "abort of a queued request", "the request queued before it was aborted instead"},
        {"wrongport", "INQUIRY by polling", "port 0 (an IDE/ATAPI port, which gets no host adapter)",
         "burning_workstation.json"},
        {"allin", "data-out (VERIFY of block 0 with its own bytes)",
         "data phase error (ASC 0x4B, ASCQ 0x00)): the bytes did not reach the unit"},
        {"donetwice", "completions after the first",
         "by event completed again after its completion: its event was set again", "", true},
        {"earlyevent", "an event-notified request", "the event was set while the status still read SS_PENDING",
         "", true},
        {"dataoverrun", "read block 0", "byte 0 after the data buffer of 512 bytes written"},
        {"offpage", "read block 0", "they differ from byte 511 on"},
    };
    for (const auto& broken : cases) {
        SCOPED_TRACE(broken.behaviour);
        setenv("PTASPI_BROKEN_LIBRARY", broken.behaviour, 1);
        std::vector<std::string> args = {"check", "--json", "--timeout", "2", "--library", PTASPI_BROKEN_LIBRARY};
        if (*broken.machine != '\0') args.insert(args.end(), {"--machine", ExamplePath(broken.machine)});
        const ToolRun run = RunTool(args);
        unsetenv("PTASPI_BROKEN_LIBRARY");
        const nlohmann::json report = run.Json();
        ASSERT_TRUE(report.is_object()) << run.out << run.err;
        std::string first;
        for (const auto& check : report["checks"]) {
            if (check["verdict"] != "FAIL") continue;
            first = check["check"].get<std::string>() + ": " + check["observed"].get<std::string>();
            if (!broken.anywhere || first.find(broken.got) != std::string::npos) break;
        }
        EXPECT_EQ(run.exitCode, *broken.check == '\0' ? 0 : 1) << run.out << run.err;
        if (!broken.anywhere) {
            EXPECT_EQ(first.find(std::string(broken.check) + ": "), *broken.check == '\0' ? std::string::npos : 0u)
                << run.out;
        }
        EXPECT_NE(first.find(broken.got), std::string::npos) << run.out;
    }
}

// Correct units in states of their own: a SCSI-1 unit's non-extended
// sense, a processor that answers REQUEST SENSE with no bytes, a unit that
// answers INQUIRY as "not connected" since the port listed it: no FAIL.
TEST(Check, OldAndChangedUnitsAreNoFail) {
    const ToolRun run = RunTool({"check", "--json", "--machine", MachinePath("tool_old_units.json")});
    const nlohmann::json report = run.Json();
    ASSERT_TRUE(report.is_object()) << run.out << run.err;
    EXPECT_EQ(run.exitCode, 0) << run.out;
    EXPECT_EQ(ChecksWith(report, "FAIL"), std::set<std::string>());
    const struct {
        const char* unit;
        const char* id;
        const char* words;
    } cases[] = {
        {"unit 0:0:0", "unit.check_condition", "non-extended sense data of SCSI-1 (error class 2, code 0)"},
        {"unit 0:0:0", "unit.request_sense", "non-extended sense data of SCSI-1"},
        {"unit 0:1:0", "unit.request_sense", "no sense bytes"},
        {"unit 0:2:0", "unit.inquiry_event", "peripheral qualifier 1 (peripheral byte 33)"},
    };
    for (const auto& expected : cases) {
        SCOPED_TRACE(std::string(expected.unit) + " " + expected.id);
        const nlohmann::json check = FindCheck(report, expected.unit, expected.id);
        ASSERT_TRUE(check.is_object());
        EXPECT_EQ(check["verdict"], "PASS");
        EXPECT_NE(check.value("detail", "").find(expected.words), std::string::npos) << check;
    }
}

// --write: the last block read, written back and read again, on the
// emulated disk; a library that sends the write as data-in, or whose write
// lands as other bytes, fails it. Without --write nothing is written.
TEST(Check, WriteBackWhenAsked) {
    const nlohmann::json plain = RunTool({"check", "0:0:0", "--json"}).Json();
    ASSERT_TRUE(plain.is_object());
    EXPECT_TRUE(FindCheck(plain, "unit 0:0:0", "unit.write_read_back").is_null());
    const ToolRun run = RunTool({"check", "0:0:0", "--json", "--write", "0:0:0"});
    EXPECT_EQ(run.exitCode, 0) << run.out;
    const nlohmann::json written = FindCheck(run.Json(), "unit 0:0:0", "unit.write_read_back");
    EXPECT_EQ(written["verdict"], "PASS") << written;
    EXPECT_NE(written.value("detail", "").find("written back unchanged"), std::string::npos) << written;
    EXPECT_EQ(RunTool({"check", "--write", "0:0"}).exitCode, 2);
    if (RunsWindowsProgram()) return;
    for (const char* behaviour : {"allin", "zerowrite"}) {
        SCOPED_TRACE(behaviour);
        setenv("PTASPI_BROKEN_LIBRARY", behaviour, 1);
        const ToolRun broken =
            RunTool({"check", "--json", "--timeout", "2", "--write", "0:0:0", "--library", PTASPI_BROKEN_LIBRARY});
        unsetenv("PTASPI_BROKEN_LIBRARY");
        const nlohmann::json failed = FindCheck(broken.Json(), "unit 0:0:0", "unit.write_read_back");
        EXPECT_EQ(failed["verdict"], "FAIL") << broken.out;
        EXPECT_NE(failed.value("observed", "").find(*behaviour == 'a' ? "the bytes did not reach the unit"
                                                                      : "the write did not carry the bytes"),
                  std::string::npos)
            << failed;
    }
}

// aspitool.exe under ntrun on the DLL build of a library that never
// completes a request: the whole report, exit code 1, and the end through
// ExitProcess, which still detaches the library, as the README says.
TEST(Check, WindowsProgramEndsWhileTheLibraryHoldsARequest) {
    if (RunsWindowsProgram() || getenv("PTASPI_TOOL_LIBRARY") != nullptr) GTEST_SKIP() << "run once";
    if (access(PTASPI_WINDOWS_PROGRAM, R_OK) != 0 || access(PTASPI_BROKEN_DLL, R_OK) != 0) {
        GTEST_SKIP() << "aspitool.exe or the broken DLL not built";
    }
    const ToolRun run =
        RunWindowsProgram(PTASPI_WINDOWS_PROGRAM, {"check", "--timeout", "1", "--library", PTASPI_BROKEN_DLL});
    EXPECT_EQ(run.exitCode, 1) << run.out << run.err;
    EXPECT_NE(run.out.find("\nFAIL  library     requests completed: "), std::string::npos) << run.out;
    EXPECT_NE(run.out.find("\nsummary: "), std::string::npos);
    EXPECT_EQ(run.err, "broken library: detached\n");
}

}  // namespace
}  // namespace tooltest

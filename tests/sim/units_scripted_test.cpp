// The scripted unit: response matching in order, use counts, sense kept
// pending, built-in INQUIRY and REQUEST SENSE, platform errors, data cuts,
// delays and hangs that Release() ends, and use from several threads.
#include "units_test_support.h"

#include <atomic>
#include <chrono>
#include <thread>

using namespace units_test;

namespace {

sim::ScriptedResponse Respond(std::optional<uint8_t> opcode, uint8_t status,
                              std::optional<uint32_t> times = std::nullopt) {
    sim::ScriptedResponse response;
    response.opcode = opcode;
    response.status = status;
    response.times = times;
    return response;
}

std::unique_ptr<sim::UnitBackend> Scripted(const std::vector<sim::ScriptedResponse>& responses) {
    sim::UnitConfig config = UnitOf(sim::BackendType::Scripted, 0x03);
    config.backend.responses = responses;
    return MustCreate(config);
}

// Returns the status TEST UNIT READY gets from `unit`.
uint8_t Ready(sim::UnitBackend& unit) {
    return RunNone(unit, Cdb({0x00, 0, 0, 0, 0, 0})).status;
}

TEST(ScriptedMatching, FirstMatchingResponseAnswersUntilItsTimesAreUsedUp) {
    std::unique_ptr<sim::UnitBackend> unit = Scripted({
        Respond(0x28, sim::StatusBusy),
        Respond(std::nullopt, sim::StatusReservationConflict),
        Respond(0x2A, sim::StatusGood),  // never reached: the catch-all comes first
    });
    ASSERT_TRUE(unit);
    EXPECT_EQ(RunNone(*unit, Cdb10(0x28, 0, 1)).status, sim::StatusBusy);
    EXPECT_EQ(RunNone(*unit, Cdb10(0x2A, 0, 1)).status, sim::StatusReservationConflict);
    EXPECT_EQ(Ready(*unit), sim::StatusReservationConflict);

    std::unique_ptr<sim::UnitBackend> counted =
        Scripted({Respond(0x00, sim::StatusBusy, 2), Respond(0x00, sim::StatusGood)});
    ASSERT_TRUE(counted);
    for (uint8_t expected : {sim::StatusBusy, sim::StatusBusy, sim::StatusGood, sim::StatusGood}) {
        EXPECT_EQ(Ready(*counted), expected);
    }
    std::unique_ptr<sim::UnitBackend> never =
        Scripted({Respond(0x00, sim::StatusBusy, 0), Respond(0x00, sim::StatusGood)});
    EXPECT_EQ(Ready(*never), sim::StatusGood) << "times 0 is never used";
}

TEST(ScriptedMatching, UnansweredCommandIsAnInvalidOpcodeKeptPending) {
    std::unique_ptr<sim::UnitBackend> unit = Scripted({Respond(0x00, sim::StatusBusy, 1)});
    ASSERT_TRUE(unit);
    EXPECT_EQ(Ready(*unit), sim::StatusBusy);
    ExpectCheckCondition(RunNone(*unit, Cdb({0x00, 0, 0, 0, 0, 0})), 5, 0x20, 0);
    std::vector<uint8_t> sense(18, 0);
    EXPECT_EQ(RunIn(*unit, Cdb({0x03, 0, 0, 0, 18, 0}), sense).status, sim::StatusGood);
    ExpectFixedSense(sense, 5, 0x20, 0);
}

TEST(ScriptedSense, SenseComesWithItsStatusAndStaysPending) {
    const std::vector<uint8_t> someSense = {0x70, 0, 0x06, 0, 0, 0, 0,    10,   0,
                                            0,    0, 0,    0x29, 0, 0, 0, 0, 0};
    sim::ScriptedResponse check = Respond(0x00, sim::StatusCheckCondition, 1);
    check.sense = someSense;
    sim::ScriptedResponse goodWithSense = Respond(0x1B, sim::StatusGood);
    goodWithSense.sense = {0x70, 0, 0x01, 0, 0, 0, 0, 10, 0, 0, 0, 0, 0x17, 0x01, 0, 0, 0, 0};
    std::unique_ptr<sim::UnitBackend> unit = Scripted({check, goodWithSense});
    ASSERT_TRUE(unit);

    sim::ScsiOutcome outcome = RunNone(*unit, Cdb({0x00, 0, 0, 0, 0, 0}));
    EXPECT_EQ(outcome.status, sim::StatusCheckCondition);
    EXPECT_EQ(outcome.sense, someSense);
    std::vector<uint8_t> sense(32, 0xEE);
    outcome = RunIn(*unit, Cdb({0x03, 0, 0, 0, 32, 0}), sense);
    EXPECT_EQ(outcome.status, sim::StatusGood);
    ASSERT_EQ(outcome.bytesMoved, someSense.size());
    EXPECT_EQ(Slice(sense, 0, 18), someSense);
    RunIn(*unit, Cdb({0x03, 0, 0, 0, 32, 0}), sense);
    ExpectFixedSense(Slice(sense, 0, 18), 0, 0, 0);  // reading it cleared it

    outcome = RunNone(*unit, Cdb({0x1B, 0, 0, 0, 1, 0}));
    EXPECT_EQ(outcome.status, sim::StatusGood);
    EXPECT_EQ(outcome.sense, goodWithSense.sense);
    outcome = RunIn(*unit, Cdb({0x03, 0, 0, 0, 4, 0}), sense);
    EXPECT_EQ(outcome.bytesMoved, 4u);
    EXPECT_EQ(sense[2], 0x01);
}

TEST(ScriptedBuiltIns, InquiryAndRequestSenseUnlessAResponseNamesThem) {
    sim::ScriptedResponse inquiry = Respond(0x12, sim::StatusGood, 1);
    inquiry.data = {0x1F, 0x00, 0x02};
    std::unique_ptr<sim::UnitBackend> unit =
        Scripted({inquiry, Respond(std::nullopt, sim::StatusBusy)});
    ASSERT_TRUE(unit);
    std::vector<uint8_t> data(36, 0);
    sim::ScsiOutcome outcome = RunIn(*unit, Cdb({0x12, 0, 0, 0, 36, 0}), data);
    EXPECT_EQ(outcome.bytesMoved, 3u);
    EXPECT_EQ(data[0], 0x1F);
    // Used up: the built-in answer is back, and a catch-all does not take it.
    outcome = RunIn(*unit, Cdb({0x12, 0, 0, 0, 36, 0}), data);
    EXPECT_EQ(outcome.status, sim::StatusGood);
    EXPECT_EQ(outcome.bytesMoved, 36u);
    EXPECT_EQ(data[0], 0x03);
    EXPECT_EQ(data[8], 'P');
    EXPECT_EQ(RunIn(*unit, Cdb({0x03, 0, 0, 0, 18, 0}), data).status, sim::StatusGood);
    EXPECT_EQ(data[0], 0x70);
}

TEST(ScriptedData, DataInIsCutToTheBufferAndDataOutIsTaken) {
    sim::ScriptedResponse read = Respond(0x28, sim::StatusGood);
    read.data = Pattern(100, 3);
    std::unique_ptr<sim::UnitBackend> unit = Scripted({read, Respond(0x2A, sim::StatusGood)});
    ASSERT_TRUE(unit);
    std::vector<uint8_t> small(40, 0xEE);
    EXPECT_EQ(RunIn(*unit, Cdb10(0x28, 0, 1), small).bytesMoved, 40u);
    EXPECT_EQ(small, Slice(read.data, 0, 40));
    std::vector<uint8_t> large(512, 0xEE);
    EXPECT_EQ(RunIn(*unit, Cdb10(0x28, 0, 1), large).bytesMoved, 100u);
    EXPECT_EQ(large[100], 0xEE);

    std::vector<uint8_t> out(512, 1);
    RunOut(*unit, Cdb10(0x28, 0, 1), out);
    EXPECT_EQ(out, std::vector<uint8_t>(512, 1)) << "data-out buffers are never written";
    EXPECT_EQ(RunOut(*unit, Cdb10(0x2A, 0, 1), out).bytesMoved, 512u);
}

TEST(ScriptedPlatformErrors, ChosenPerControlWithoutCountingAUse) {
    sim::ScriptedResponse failing = Respond(0x28, sim::StatusGood, 1);
    failing.error = 1117;
    sim::ScriptedResponse directOnly = Respond(0x2A, sim::StatusGood);
    directOnly.directError = 87;
    sim::ScriptedResponse bufferedOnly = Respond(0x2F, sim::StatusGood);
    bufferedOnly.bufferedError = 8;
    std::unique_ptr<sim::UnitBackend> unit = Scripted({failing, directOnly, bufferedOnly});
    ASSERT_TRUE(unit);
    struct Case {
        uint8_t opcode;
        uint32_t direct, buffered;
    };
    for (int round = 0; round < 2; ++round) {  // asking counts no use
        for (const Case& c : {Case{0x28, 1117, 1117}, Case{0x2A, 87, 0}, Case{0x2F, 0, 8},
                              Case{0x00, 0, 0}}) {
            EXPECT_EQ(unit->PlatformErrorFor(Cdb10(c.opcode, 0, 1), true), c.direct) << c.opcode;
            EXPECT_EQ(unit->PlatformErrorFor(Cdb10(c.opcode, 0, 1), false), c.buffered) << c.opcode;
        }
    }
    // A command that reaches the unit anyway uses the response up.
    EXPECT_EQ(RunNone(*unit, Cdb10(0x28, 0, 1)).status, sim::StatusGood);
    EXPECT_EQ(unit->PlatformErrorFor(Cdb10(0x28, 0, 1), true), 0u);
}

TEST(ScriptedTiming, DelayWaitsAtLeastItsTime) {
    sim::ScriptedResponse slow = Respond(0x00, sim::StatusGood);
    slow.delayMs = 120;
    std::unique_ptr<sim::UnitBackend> unit = Scripted({slow});
    ASSERT_TRUE(unit);
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(Ready(*unit), sim::StatusGood);
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(120));
}

TEST(ScriptedTiming, HangAndLongDelayEndOnlyWhenReleasedWhileBlocked) {
    struct Case {
        const char* what;
        bool hang;
        uint32_t delayMs;
        bool releaseFirst;  // a Release() before the command prevents nothing
    };
    for (const Case& c : {Case{"hang", true, 0, false}, Case{"delay", false, 600000, false},
                          Case{"hang after release", true, 0, true}}) {
        SCOPED_TRACE(c.what);
        sim::ScriptedResponse stuck = Respond(0x00, sim::StatusBusy, 1);
        stuck.hang = c.hang;
        stuck.delayMs = c.delayMs;
        std::unique_ptr<sim::UnitBackend> unit = Scripted({stuck, Respond(0x00, sim::StatusGood)});
        ASSERT_TRUE(unit);
        if (c.releaseFirst) unit->Release();
        std::atomic<bool> done{false};
        uint8_t status = 0;
        std::thread worker([&] {
            status = Ready(*unit);
            done = true;
        });
        // Only once the worker's command holds the one stuck answer may
        // another command come.
        while (unit->BlockedCommands() == 0) std::this_thread::sleep_for(std::chrono::milliseconds(1));
        EXPECT_FALSE(done.load()) << "the command must still be blocked";
        EXPECT_EQ(Ready(*unit), sim::StatusGood) << "other commands are answered meanwhile";
        unit->Release();
        worker.join();
        EXPECT_EQ(status, sim::StatusBusy);
    }
}

TEST(ScriptedThreads, EveryCommandFromManyThreadsCountsExactlyOneUse) {
    std::unique_ptr<sim::UnitBackend> unit =
        Scripted({Respond(0x00, sim::StatusBusy, 100), Respond(0x00, sim::StatusGood)});
    ASSERT_TRUE(unit);
    std::atomic<int> busy{0};
    std::atomic<int> good{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&] {
            for (int i = 0; i < 60; ++i) (Ready(*unit) == sim::StatusBusy ? busy : good)++;
        });
    }
    for (std::thread& thread : threads) thread.join();
    EXPECT_EQ(busy.load(), 100);
    EXPECT_EQ(good.load(), 140);
}

}  // namespace

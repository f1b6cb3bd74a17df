// The scripted unit: response matching in order, use counts, sense kept
// pending, built-in INQUIRY and REQUEST SENSE, platform errors, data cuts,
// delays and hangs that Release() ends, and use from several threads.
#include "units_test_support.h"

#include "sim/threads.h"

#include <atomic>
#include <chrono>
#include <thread>

using namespace units_test;

namespace {

sim::ScriptedResponse Respond(std::optional<uint8_t> opcode, uint8_t status) {
    sim::ScriptedResponse response;
    response.opcode = opcode;
    response.status = status;
    return response;
}

std::unique_ptr<sim::UnitBackend> Scripted(const std::vector<sim::ScriptedResponse>& responses) {
    sim::UnitConfig config = UnitOf(sim::BackendType::Scripted, 0x03);
    config.backend.responses = responses;
    return MustCreate(config);
}

const std::vector<uint8_t> SomeSense = {0x70, 0, 0x06, 0, 0, 0, 0, 10, 0, 0, 0, 0, 0x29, 0x00, 0, 0, 0, 0};

TEST(ScriptedMatching, FirstMatchingResponseAnswersInOrder) {
    std::unique_ptr<sim::UnitBackend> unit = Scripted({
        Respond(0x28, sim::StatusBusy),
        Respond(std::nullopt, sim::StatusReservationConflict),
        Respond(0x2A, sim::StatusGood),  // never reached: the catch-all comes first
    });
    ASSERT_TRUE(unit);
    EXPECT_EQ(RunNone(*unit, Cdb10(0x28, 0, 1)).status, sim::StatusBusy);
    EXPECT_EQ(RunNone(*unit, Cdb10(0x2A, 0, 1)).status, sim::StatusReservationConflict);
    EXPECT_EQ(RunNone(*unit, Cdb({0x00, 0, 0, 0, 0, 0})).status, sim::StatusReservationConflict);
}

TEST(ScriptedMatching, UnansweredCommandIsAnInvalidOpcodeKeptPending) {
    std::unique_ptr<sim::UnitBackend> unit = Scripted({Respond(0x28, sim::StatusGood)});
    ASSERT_TRUE(unit);
    ExpectCheckCondition(RunNone(*unit, Cdb({0x00, 0, 0, 0, 0, 0})), 5, 0x20, 0);
    std::vector<uint8_t> sense(18, 0);
    sim::ScsiOutcome outcome = RunIn(*unit, Cdb({0x03, 0, 0, 0, 18, 0}), sense);
    EXPECT_EQ(outcome.status, sim::StatusGood);
    ExpectFixedSense(sense, 5, 0x20, 0);
}

TEST(ScriptedMatching, TimesAreUsedUpThenPassedOver) {
    sim::ScriptedResponse busyTwice = Respond(0x00, sim::StatusBusy);
    busyTwice.times = 2;
    std::unique_ptr<sim::UnitBackend> unit = Scripted({busyTwice, Respond(0x00, sim::StatusGood)});
    ASSERT_TRUE(unit);
    EXPECT_EQ(RunNone(*unit, Cdb({0x00, 0, 0, 0, 0, 0})).status, sim::StatusBusy);
    EXPECT_EQ(RunNone(*unit, Cdb({0x00, 0, 0, 0, 0, 0})).status, sim::StatusBusy);
    EXPECT_EQ(RunNone(*unit, Cdb({0x00, 0, 0, 0, 0, 0})).status, sim::StatusGood);
    EXPECT_EQ(RunNone(*unit, Cdb({0x00, 0, 0, 0, 0, 0})).status, sim::StatusGood);

    sim::ScriptedResponse once = Respond(0x00, sim::StatusBusy);
    once.times = 1;
    std::unique_ptr<sim::UnitBackend> lone = Scripted({once});
    ASSERT_TRUE(lone);
    EXPECT_EQ(RunNone(*lone, Cdb({0x00, 0, 0, 0, 0, 0})).status, sim::StatusBusy);
    ExpectCheckCondition(RunNone(*lone, Cdb({0x00, 0, 0, 0, 0, 0})), 5, 0x20, 0);

    sim::ScriptedResponse never = Respond(0x00, sim::StatusBusy);
    never.times = 0;
    std::unique_ptr<sim::UnitBackend> unused = Scripted({never, Respond(0x00, sim::StatusGood)});
    EXPECT_EQ(RunNone(*unused, Cdb({0x00, 0, 0, 0, 0, 0})).status, sim::StatusGood);
}

TEST(ScriptedSense, SenseComesWithItsStatusAndStaysPending) {
    sim::ScriptedResponse check = Respond(0x00, sim::StatusCheckCondition);
    check.sense = SomeSense;
    check.times = 1;
    sim::ScriptedResponse goodWithSense = Respond(0x1B, sim::StatusGood);
    goodWithSense.sense = {0x70, 0, 0x01, 0, 0, 0, 0, 10, 0, 0, 0, 0, 0x17, 0x01, 0, 0, 0, 0};
    std::unique_ptr<sim::UnitBackend> unit = Scripted({check, goodWithSense});
    ASSERT_TRUE(unit);

    sim::ScsiOutcome outcome = RunNone(*unit, Cdb({0x00, 0, 0, 0, 0, 0}));
    EXPECT_EQ(outcome.status, sim::StatusCheckCondition);
    EXPECT_EQ(outcome.sense, SomeSense);

    std::vector<uint8_t> sense(32, 0xEE);
    outcome = RunIn(*unit, Cdb({0x03, 0, 0, 0, 32, 0}), sense);
    EXPECT_EQ(outcome.status, sim::StatusGood);
    ASSERT_EQ(outcome.bytesMoved, SomeSense.size());
    EXPECT_EQ(std::vector<uint8_t>(sense.begin(), sense.begin() + 18), SomeSense);
    outcome = RunIn(*unit, Cdb({0x03, 0, 0, 0, 32, 0}), sense);
    ExpectFixedSense(std::vector<uint8_t>(sense.begin(), sense.begin() + 18), 0, 0, 0);

    outcome = RunNone(*unit, Cdb({0x1B, 0, 0, 0, 1, 0}));
    EXPECT_EQ(outcome.status, sim::StatusGood);
    EXPECT_EQ(outcome.sense, goodWithSense.sense);
    outcome = RunIn(*unit, Cdb({0x03, 0, 0, 0, 4, 0}), sense);
    EXPECT_EQ(outcome.bytesMoved, 4u);
    EXPECT_EQ(sense[2], 0x01);
}

TEST(ScriptedBuiltIns, InquiryAndRequestSenseUnlessAResponseNamesThem) {
    std::unique_ptr<sim::UnitBackend> plain = Scripted({Respond(std::nullopt, sim::StatusBusy)});
    ASSERT_TRUE(plain);
    std::vector<uint8_t> data(36, 0);
    sim::ScsiOutcome outcome = RunIn(*plain, Cdb({0x12, 0, 0, 0, 36, 0}), data);
    EXPECT_EQ(outcome.status, sim::StatusGood) << "a catch-all does not answer INQUIRY";
    EXPECT_EQ(outcome.bytesMoved, 36u);
    EXPECT_EQ(data[0], 0x03);
    EXPECT_EQ(data[8], 'P');
    outcome = RunIn(*plain, Cdb({0x03, 0, 0, 0, 18, 0}), data);
    EXPECT_EQ(outcome.status, sim::StatusGood);
    EXPECT_EQ(data[0], 0x70);

    sim::ScriptedResponse inquiry = Respond(0x12, sim::StatusGood);
    inquiry.data = {0x1F, 0x00, 0x02};
    inquiry.times = 1;
    std::unique_ptr<sim::UnitBackend> named = Scripted({inquiry});
    ASSERT_TRUE(named);
    outcome = RunIn(*named, Cdb({0x12, 0, 0, 0, 36, 0}), data);
    EXPECT_EQ(outcome.bytesMoved, 3u);
    EXPECT_EQ(data[0], 0x1F);
    outcome = RunIn(*named, Cdb({0x12, 0, 0, 0, 36, 0}), data);
    EXPECT_EQ(outcome.bytesMoved, 36u) << "used up: the built-in answer is back";
    EXPECT_EQ(data[0], 0x03);
}

TEST(ScriptedData, DataInIsCutToTheBufferAndDataOutIsTaken) {
    sim::ScriptedResponse read = Respond(0x28, sim::StatusGood);
    read.data = Pattern(100, 3);
    std::unique_ptr<sim::UnitBackend> unit = Scripted({read, Respond(0x2A, sim::StatusGood)});
    ASSERT_TRUE(unit);
    std::vector<uint8_t> small(40, 0xEE);
    sim::ScsiOutcome outcome = RunIn(*unit, Cdb10(0x28, 0, 1), small);
    EXPECT_EQ(outcome.bytesMoved, 40u);
    EXPECT_EQ(small, std::vector<uint8_t>(read.data.begin(), read.data.begin() + 40));
    std::vector<uint8_t> large(512, 0xEE);
    outcome = RunIn(*unit, Cdb10(0x28, 0, 1), large);
    EXPECT_EQ(outcome.bytesMoved, 100u);
    EXPECT_EQ(large[100], 0xEE);

    std::vector<uint8_t> out(512, 1);
    outcome = RunOut(*unit, Cdb10(0x28, 0, 1), out);
    EXPECT_EQ(out, std::vector<uint8_t>(512, 1)) << "data-out buffers are never written";
    outcome = RunOut(*unit, Cdb10(0x2A, 0, 1), out);
    EXPECT_EQ(outcome.bytesMoved, 512u);
}

TEST(ScriptedPlatformErrors, ChosenPerControlWithoutCountingAUse) {
    sim::ScriptedResponse failing = Respond(0x28, sim::StatusGood);
    failing.error = 1117;
    failing.times = 1;
    sim::ScriptedResponse directOnly = Respond(0x2A, sim::StatusGood);
    directOnly.directError = 87;
    sim::ScriptedResponse bufferedOnly = Respond(0x2F, sim::StatusGood);
    bufferedOnly.bufferedError = 8;
    std::unique_ptr<sim::UnitBackend> unit = Scripted({failing, directOnly, bufferedOnly});
    ASSERT_TRUE(unit);
    sim::ScsiCommand read = Cdb10(0x28, 0, 1);
    EXPECT_EQ(unit->PlatformErrorFor(read, true), 1117u);
    EXPECT_EQ(unit->PlatformErrorFor(read, false), 1117u);
    EXPECT_EQ(unit->PlatformErrorFor(read, true), 1117u) << "asking counts no use";
    EXPECT_EQ(unit->PlatformErrorFor(Cdb10(0x2A, 0, 1), true), 87u);
    EXPECT_EQ(unit->PlatformErrorFor(Cdb10(0x2A, 0, 1), false), 0u);
    EXPECT_EQ(unit->PlatformErrorFor(Cdb10(0x2F, 0, 1), true), 0u);
    EXPECT_EQ(unit->PlatformErrorFor(Cdb10(0x2F, 0, 1), false), 8u);
    EXPECT_EQ(unit->PlatformErrorFor(Cdb({0x00, 0, 0, 0, 0, 0}), true), 0u);

    // A command that reaches the unit anyway uses the response up.
    EXPECT_EQ(RunNone(*unit, read).status, sim::StatusGood);
    EXPECT_EQ(unit->PlatformErrorFor(read, true), 0u);
}

TEST(ScriptedTiming, DelayWaitsAtLeastItsTime) {
    sim::ScriptedResponse slow = Respond(0x00, sim::StatusGood);
    slow.delayMs = 120;
    std::unique_ptr<sim::UnitBackend> unit = Scripted({slow});
    ASSERT_TRUE(unit);
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(RunNone(*unit, Cdb({0x00, 0, 0, 0, 0, 0})).status, sim::StatusGood);
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(120));
}

// Returns after `unit` has a command blocked in it, running the command on
// another thread; `done` turns true when it returns.
std::thread RunInBackground(sim::UnitBackend& unit, std::atomic<bool>& done,
                            sim::ScsiOutcome& outcome) {
    return std::thread([&unit, &done, &outcome] {
        unit.Execute(Cdb({0x00, 0, 0, 0, 0, 0}), outcome);
        done = true;
    });
}

TEST(ScriptedTiming, HangAndLongDelayEndWhenReleased) {
    for (bool hang : {true, false}) {
        SCOPED_TRACE(hang ? "hang" : "delay");
        sim::ScriptedResponse stuck = Respond(0x00, sim::StatusBusy);
        stuck.hang = hang;
        stuck.delayMs = hang ? 0 : 600000;
        stuck.times = 1;
        std::unique_ptr<sim::UnitBackend> unit = Scripted({stuck, Respond(0x00, sim::StatusGood)});
        ASSERT_TRUE(unit);
        std::atomic<bool> done{false};
        sim::ScsiOutcome outcome;
        std::thread worker = RunInBackground(*unit, done, outcome);
        std::this_thread::sleep_for(std::chrono::milliseconds(150));
        EXPECT_FALSE(done.load()) << "the command must still be blocked";

        // The unit keeps answering other commands meanwhile.
        EXPECT_EQ(RunNone(*unit, Cdb({0x00, 0, 0, 0, 0, 0})).status, sim::StatusGood);

        unit->Release();
        worker.join();
        EXPECT_TRUE(done.load());
        EXPECT_EQ(outcome.status, sim::StatusBusy);
    }
}

TEST(ScriptedTiming, ReleaseBeforeACommandDoesNotPreventTheHang) {
    sim::ScriptedResponse stuck = Respond(0x00, sim::StatusGood);
    stuck.hang = true;
    std::unique_ptr<sim::UnitBackend> unit = Scripted({stuck});
    ASSERT_TRUE(unit);
    unit->Release();
    std::atomic<bool> done{false};
    sim::ScsiOutcome outcome;
    std::thread worker = RunInBackground(*unit, done, outcome);
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_FALSE(done.load());
    unit->Release();
    worker.join();
    EXPECT_TRUE(done.load());
}

TEST(ScriptedThreads, EveryCommandFromManyThreadsCountsExactlyOneUse) {
    sim::ScriptedResponse limited = Respond(0x00, sim::StatusBusy);
    limited.times = 100;
    std::unique_ptr<sim::UnitBackend> unit = Scripted({limited, Respond(0x00, sim::StatusGood)});
    ASSERT_TRUE(unit);
    std::atomic<int> busy{0};
    std::atomic<int> good{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&] {
            for (int i = 0; i < 60; ++i) {
                uint8_t status = RunNone(*unit, Cdb({0x00, 0, 0, 0, 0, 0})).status;
                (status == sim::StatusBusy ? busy : good)++;
            }
        });
    }
    for (std::thread& thread : threads) thread.join();
    EXPECT_EQ(busy.load(), 100);
    EXPECT_EQ(good.load(), 140);
}

}  // namespace

// Timing, for the report: the median round trip of TEST UNIT READY, and
// how many 64 KiB reads a second the unit takes, with the count of
// requests each figure rests on. Nothing is judged by speed; the check
// fails only when a request does not complete.
#include "check.h"

#include "check_requests.h"

#include <algorithm>
#include <cstdio>
#include <vector>

namespace aspitool {
namespace {

const uint32_t ReadLength = 64 * 1024;
const int MaxRoundTrips = 100;
const int MaxReads = 500;
// Each measurement ends after this much time, or its count of requests.
const auto MeasureTime = std::chrono::milliseconds(1000);

// Returns a duration in microseconds as "85 us", or "12.5 ms" from 10 ms on.
std::string Microseconds(int64_t value) {
    char text[32];
    if (value >= 10000) {
        std::snprintf(text, sizeof text, "%.1f ms", static_cast<double>(value) / 1000.0);
    } else {
        std::snprintf(text, sizeof text, "%lld us", static_cast<long long>(value));
    }
    return text;
}

}  // namespace

void CheckTiming(CheckRun& run, const UnitUnderTest& tested, const Capacity* capacity) {
    const Session& session = *run.session;
    const Unit unit = tested.unit;
    // `capacity` is given only when block 0 could be read.
    const bool canRead = capacity != nullptr && capacity->blockSize != 0 &&
                         ReadLength % capacity->blockSize == 0 &&
                         unit.adapter.maxTransfer >= ReadLength &&
                         capacity->blocks >= ReadLength / capacity->blockSize;
    const Capacity known = canRead ? *capacity : Capacity();
    PerformCheck(run, UnitSubject(unit.address), "unit.timing", "timing",
                 [&session, unit, canRead, known](const Deadline& deadline, CheckOutcome& outcome) {
        std::vector<int64_t> trips;
        const auto start = Clock::now();
        while (static_cast<int>(trips.size()) < MaxRoundTrips && Clock::now() - start < MeasureTime) {
            ExecResult result;
            const auto sent = Clock::now();
            if (!RunRequest(session, unit.address, Cdb6(0x00, 0, nullptr), Way::Event, deadline,
                            "TEST UNIT READY", outcome, result, false)) {
                return;
            }
            trips.push_back(std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - sent).count());
        }
        std::sort(trips.begin(), trips.end());
        const int64_t median = trips[trips.size() / 2];
        outcome.figures.push_back({"tur_median_us", median});
        outcome.figures.push_back({"tur_requests", static_cast<int64_t>(trips.size())});
        outcome.note = "TEST UNIT READY median round trip " + Microseconds(median) + " (" +
                       std::to_string(trips.size()) + " requests)";
        if (!canRead) {
            outcome.note += "; no 64 KiB reads (no medium, or the unit or adapter does not allow them)";
            return;
        }
        RequestBuffer data(outcome, ReadLength, unit.adapter.alignmentMask);
        if (data.data() == nullptr) {
            FailCheck(outcome, "a data buffer", "out of memory");
            return;
        }
        // Always the first 64 KiB, which the reads have already shown
        // readable: the figure is one of requests, not of the medium, and the
        // last blocks a disc reports (run-out blocks of a recorded CD) may
        // not read at all.
        const uint32_t blocks = ReadLength / known.blockSize;
        int reads = 0;
        const auto readStart = Clock::now();
        while (reads < MaxReads && Clock::now() - readStart < MeasureTime) {
            ExecResult result;
            const uint32_t lba = 0;
            if (!RunRequest(session, unit.address,
                            Read10(lba, static_cast<uint16_t>(blocks), data.data(), ReadLength),
                            Way::Event, deadline, "READ of 64 KiB", outcome, result, false)) {
                return;
            }
            if (!JudgeAnswer(result, "READ of 64 KiB at block " + std::to_string(lba), outcome)) return;
            ++reads;
        }
        const int64_t elapsedUs = std::max<int64_t>(
            1, std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - readStart).count());
        const int64_t perSecond = static_cast<int64_t>(reads) * 1000000 / elapsedUs;
        const int64_t kibPerSecond = perSecond * 64;
        outcome.figures.push_back({"read_64k_per_second", perSecond});
        outcome.figures.push_back({"read_64k_requests", reads});
        char text[96];
        std::snprintf(text, sizeof text, "; READ of 64 KiB: %lld requests/s, %.1f MiB/s (%d requests)",
                      static_cast<long long>(perSecond), static_cast<double>(kibPerSecond) / 1024.0, reads);
        outcome.note += text;
    });
}

}  // namespace aspitool

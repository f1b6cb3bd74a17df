// Helpers for the unit backend tests: unit descriptions as the loader would
// fill them, command blocks with their buffers, and sense checks.
#ifndef PTASPI_TESTS_SIM_UNITS_TEST_SUPPORT_H
#define PTASPI_TESTS_SIM_UNITS_TEST_SUPPORT_H

#include "sim/machine/machine.h"
#include "sim/units/unit.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <initializer_list>
#include <memory>
#include <string>
#include <vector>

#include <unistd.h>

namespace units_test {

// Returns a unit description of `type` with a fixed identity.
inline sim::UnitConfig UnitOf(sim::BackendType type, uint8_t peripheral) {
    sim::UnitConfig config;
    config.backend.type = type;
    config.inquiry.peripheral = peripheral;
    config.inquiry.vendor = "PTASPI  ";
    config.inquiry.product = "TEST UNIT       ";
    config.inquiry.revision = "1.0 ";
    return config;
}

inline sim::UnitConfig DiskUnit(uint32_t blocks = 2048, uint32_t blockSize = 512,
                              const std::string& file = std::string()) {
    sim::UnitConfig config = UnitOf(sim::BackendType::Disk, 0x00);
    config.backend.blocks = blocks;
    config.backend.blockSize = blockSize;
    config.backend.file = file;
    return config;
}

inline sim::UnitConfig CdRomUnit(uint32_t blocks = 1024, const std::string& image = std::string(),
                               bool medium = true) {
    sim::UnitConfig config = UnitOf(sim::BackendType::CdRom, 0x05);
    config.inquiry.removable = true;
    config.backend.blocks = blocks;
    config.backend.blockSize = 2048;
    config.backend.image = image;
    config.backend.medium = medium;
    return config;
}

inline std::unique_ptr<sim::UnitBackend> MustCreate(const sim::UnitConfig& config) {
    std::string error;
    std::unique_ptr<sim::UnitBackend> backend = sim::CreateBackend(config, error);
    EXPECT_TRUE(backend) << error;
    return backend;
}

inline sim::ScsiCommand Cdb(std::initializer_list<uint8_t> bytes) {
    sim::ScsiCommand command;
    for (uint8_t byte : bytes) command.cdb[command.cdbLength++] = byte;
    return command;
}

// Returns the outcome of `command` moving `buffer` (its whole length) in
// `direction`.
inline sim::ScsiOutcome Run(sim::UnitBackend& unit, sim::ScsiCommand command,
                            sim::DataDirection direction, std::vector<uint8_t>& buffer) {
    command.direction = direction;
    command.data = buffer.data();
    command.dataLength = static_cast<uint32_t>(buffer.size());
    sim::ScsiOutcome outcome;
    unit.Execute(command, outcome);
    return outcome;
}
inline sim::ScsiOutcome RunIn(sim::UnitBackend& unit, sim::ScsiCommand command,
                              std::vector<uint8_t>& buffer) {
    return Run(unit, command, sim::DataDirection::In, buffer);
}
inline sim::ScsiOutcome RunOut(sim::UnitBackend& unit, sim::ScsiCommand command,
                               std::vector<uint8_t>& buffer) {
    return Run(unit, command, sim::DataDirection::Out, buffer);
}
inline sim::ScsiOutcome RunNone(sim::UnitBackend& unit, sim::ScsiCommand command) {
    sim::ScsiOutcome outcome;
    unit.Execute(command, outcome);
    return outcome;
}

constexpr uint8_t Read10 = 0x28;
constexpr uint8_t Write10 = 0x2A;

// Returns a READ(10) or WRITE(10) style command block.
inline sim::ScsiCommand Cdb10(uint8_t opcode, uint32_t lba, uint16_t count) {
    return Cdb({opcode, 0, static_cast<uint8_t>(lba >> 24), static_cast<uint8_t>(lba >> 16),
                static_cast<uint8_t>(lba >> 8), static_cast<uint8_t>(lba), 0,
                static_cast<uint8_t>(count >> 8), static_cast<uint8_t>(count), 0});
}

// Returns a READ(6) or WRITE(6) style command block (21-bit LBA).
inline sim::ScsiCommand Cdb6(uint8_t opcode, uint32_t lba, uint8_t count) {
    return Cdb({opcode, static_cast<uint8_t>((lba >> 16) & 0x1F), static_cast<uint8_t>(lba >> 8),
                static_cast<uint8_t>(lba), count, 0});
}

// Returns bytes [from, to) of `bytes`.
inline std::vector<uint8_t> Slice(const std::vector<uint8_t>& bytes, size_t from, size_t to) {
    return std::vector<uint8_t>(bytes.begin() + from, bytes.begin() + to);
}

inline std::vector<uint8_t> Pattern(size_t length, uint8_t seed) {
    std::vector<uint8_t> bytes(length);
    for (size_t i = 0; i < length; ++i) bytes[i] = static_cast<uint8_t>(seed + i * 7 + i / 256);
    return bytes;
}

// Returns the path of a new temporary file holding `bytes`; the caller
// unlinks it.
inline std::string TempFile(const std::vector<uint8_t>& bytes) {
    char path[] = "/tmp/units_test_XXXXXX";
    const int fd = mkstemp(path);
    EXPECT_GE(fd, 0);
    if (fd < 0) return std::string();
    EXPECT_EQ(write(fd, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
    close(fd);
    return path;
}

// Checks fixed-format sense data: 18 bytes, response code 0x70, additional
// length 10, and the key, ASC and ASCQ.
inline void ExpectFixedSense(const std::vector<uint8_t>& sense, uint8_t key, uint8_t asc,
                             uint8_t ascq) {
    ASSERT_EQ(sense.size(), 18u);
    EXPECT_EQ(sense[0], 0x70);
    EXPECT_EQ(sense[2], key);
    EXPECT_EQ(sense[7], 10);
    EXPECT_EQ(sense[12], asc);
    EXPECT_EQ(sense[13], ascq);
}

inline void ExpectCheckCondition(const sim::ScsiOutcome& outcome, uint8_t key, uint8_t asc,
                                 uint8_t ascq) {
    EXPECT_EQ(outcome.status, sim::StatusCheckCondition);
    ExpectFixedSense(outcome.sense, key, asc, ascq);
}

}  // namespace units_test

#endif

// Machines made by the tests at run time, for units backed by files whose
// paths are only known then.
#ifndef PTASPI_TESTS_TOOL_TEST_MACHINES_H
#define PTASPI_TESTS_TOOL_TEST_MACHINES_H

#include <nlohmann/json.hpp>

#include <cstdint>
#include <string>

namespace tooltest {

// Returns a machine with one SCSI adapter moving `maxTransfer` bytes at a
// time with `alignment` as its mask, and a CD-ROM drive with `image` at
// target 2.
nlohmann::json CdRomMachine(const std::string& image, uint32_t maxTransfer, uint32_t alignment);
// Returns a machine with one SCSI adapter as above and a disk of `blocks`
// blocks of `blockSize` bytes kept in `file`, at target 0.
nlohmann::json DiskMachine(const std::string& file, uint32_t blocks, uint32_t blockSize,
                           uint32_t maxTransfer, uint32_t alignment);

}  // namespace tooltest

#endif

// Machines made at run time, for units backed by files whose paths are only
// known then: one SCSI adapter moving `maxTransfer` bytes at a time with
// `alignment` as its mask.
#ifndef PTASPI_TESTS_TOOL_TEST_MACHINES_H
#define PTASPI_TESTS_TOOL_TEST_MACHINES_H

#include <cstdint>
#include <string>

namespace tooltest {

// Returns the path of a machine file written in `folder` whose adapter has a
// CD-ROM drive with `image` at target 2 (empty when it cannot be written).
std::string CdRomMachine(const std::string& folder, const std::string& image, uint32_t maxTransfer,
                         uint32_t alignment);
// Returns the same for a disk of `blocks` blocks of `blockSize` bytes kept in
// `file`, at target 0.
std::string DiskMachine(const std::string& folder, const std::string& file, uint32_t blocks,
                        uint32_t blockSize, uint32_t maxTransfer, uint32_t alignment);

}  // namespace tooltest

#endif

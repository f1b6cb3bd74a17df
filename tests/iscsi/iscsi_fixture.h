// Runs the library through its two exports on a machine whose units are
// real iSCSI logical units: tgtd on loopback, started by
// scripts/iscsi-target.sh, which writes the machine file that
// PTASPI_ISCSI_MACHINE names. Target 0 is a disk, 1 a CD-ROM on drive E:,
// 2 a tape, 3 a second CD-ROM that no class driver claims, all at LUN 0 of
// host adapter 0.
#ifndef PTASPI_TESTS_ISCSI_ISCSI_FIXTURE_H
#define PTASPI_TESTS_ISCSI_ISCSI_FIXTURE_H

#include "e2e/library_fixture.h"

#include <cstdint>
#include <string>
#include <vector>

namespace iscsitest {

enum : BYTE { DiskTarget = 0, CdTarget = 1, TapeTarget = 2, SecondCdTarget = 3 };

// Returns what a shell command printed on its standard output; `exitCode`
// gets its exit status (-1 when it did not end normally).
std::string RunCommand(const std::string& command, int* exitCode);
// Returns the bytes of a file (none when it cannot be read).
std::vector<uint8_t> FileBytes(const std::string& path, uint64_t offset, size_t count);
// Returns `count` bytes that differ from any other call's with another seed.
std::vector<uint8_t> Pattern(size_t count, uint32_t seed);
// Returns the sense key, ASC and ASCQ of fixed-format sense bytes packed as
// 0xKKAAQQ, so that a table row can name all three at once.
uint32_t SenseCode(const BYTE* sense);

class IscsiTest : public LibraryTest {
protected:
    void SetUp() override;

    // Returns nothing: installs the target's machine with every unit's
    // `timeout_s` set to `timeoutSeconds` (0 keeps the file's), and loads
    // the library on it.
    void InstallTarget(unsigned timeoutSeconds);
    // Returns the folder that holds the target's files (disk.img, cd.iso,
    // tape.img, machine.json).
    std::string Folder() const;
    // Returns the iSCSI URL of the unit at `target`, as the machine has it.
    std::string Url(BYTE target) const;
    // Returns the exit status of scripts/iscsi-target.sh `action` on the
    // running target.
    int TargetScript(const std::string& action) const;

    // Returns nothing: sends one execute request to `target` with event
    // notification and waits up to `waitMs` for it to finish. The sense
    // area starts filled with 0xCC, so that bytes never written show.
    void Execute(ExecRequest& request, BYTE target, BYTE flags, const std::vector<BYTE>& cdb,
                 BYTE* buffer, DWORD length, BYTE senseLength = 32, DWORD waitMs = 30000);

    std::string machinePath_;
    std::string machineText_;
};

}  // namespace iscsitest

#endif

// tgt's own units as the reference for the emulated ones: one list of
// commands is sent, in order, to an emulated unit and to tgt's unit of the
// same type (over loopback iSCSI), and their answers are compared: status,
// sense key, ASC and ASCQ (with the FILEMARK, EOM and ILI bits and the
// information field), the count of bytes moved and the bytes themselves
// (not when both end with CHECK CONDITION, where the sense tells what moved).
// Where the standard leaves a choice and the two differ, the test lists the
// difference with the clause that allows it; every other difference fails.
#ifndef PTASPI_TESTS_ISCSI_TGT_ORACLE_H
#define PTASPI_TESTS_ISCSI_TGT_ORACLE_H

#include "sim/units/unit.h"

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace iscsitest {

struct OracleCommand {
    std::string name;  // unique within a list: allowed differences name it
    std::vector<uint8_t> cdb;
    sim::DataDirection direction = sim::DataDirection::None;
    uint32_t length = 0;           // data-in: the buffer's size
    std::vector<uint8_t> dataOut;  // data-out: the bytes sent
};

// Returns commands for the lists: no data, data in of `length` bytes, data
// out of `bytes`.
OracleCommand NoData(const std::string& name, std::vector<uint8_t> cdb);
OracleCommand DataIn(const std::string& name, std::vector<uint8_t> cdb, uint32_t length);
OracleCommand DataOut(const std::string& name, std::vector<uint8_t> cdb, std::vector<uint8_t> bytes);

// What part of an answer a listed difference covers.
enum class OracleField {
    Sense,  // status, sense key, ASC, ASCQ, the flag bits and the information field
    Data,   // the bytes moved in [firstByte, endByte) and, with wholeLength, their count
};

struct AllowedDifference {
    std::string command;  // an OracleCommand's name
    OracleField field = OracleField::Sense;
    uint32_t firstByte = 0;  // Data: the byte range that may differ
    uint32_t endByte = 0;
    bool countMayDiffer = false;  // Data: the count of bytes moved may differ too
    std::string clause;           // the standard's clause that leaves the choice open
};

struct OracleAnswer {
    uint8_t status = 0;
    std::vector<uint8_t> sense;
    std::vector<uint8_t> data;  // the bytes moved (data-in only)
    uint32_t platformError = 0;
};

struct OracleReport {
    size_t compared = 0;
    size_t agreed = 0;                  // no difference at all
    std::vector<std::string> allowed;   // each difference met that a listed one covers
    std::vector<std::string> failures;  // each difference no listed one covers
    std::vector<std::string> unused;    // listed differences that did not occur
};

// Returns the iSCSI URL of the unit at `target` in the machine file that
// PTASPI_ISCSI_MACHINE names (scripts/iscsi-target.sh writes it), with
// `folder` set to the folder that holds the target's images; empty when no
// target runs (the caller then skips).
std::string TgtUnitUrl(int target, std::string& folder);

// Returns a backend for one unit described as a machine file's unit object
// (without target and lun), or null with `error`.
std::unique_ptr<sim::UnitBackend> OracleBackend(const std::string& unitJson, std::string& error);

// Returns the answer of `unit` to `command`.
OracleAnswer Ask(sim::UnitBackend& unit, const OracleCommand& command);

// Returns the comparison of the two units' answers to `commands`, sent to
// both in order.
OracleReport CompareUnits(sim::UnitBackend& emulated, sim::UnitBackend& reference,
                          const std::vector<OracleCommand>& commands,
                          const std::vector<AllowedDifference>& allowed);

// Returns a one-line description of an answer: status, sense, count and
// the first bytes moved.
std::string DescribeAnswer(const OracleAnswer& answer);

}  // namespace iscsitest

#endif

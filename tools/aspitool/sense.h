// Sense data in words: fixed and descriptor formats, sense key names and
// the common additional sense codes.
#ifndef ASPITOOL_SENSE_H
#define ASPITOOL_SENSE_H

#include <cstddef>
#include <cstdint>
#include <string>

namespace aspitool {

struct DecodedSense {
    bool valid = false;        // a fixed or descriptor response code was found
    bool descriptor = false;
    bool deferred = false;     // response code 0x71 or 0x73
    uint8_t key = 0;
    uint8_t asc = 0;
    uint8_t ascq = 0;
    std::string keyName;       // "ILLEGAL REQUEST"
    std::string description;   // "invalid command operation code", or "ASC 0x.. ASCQ 0x.."
};

// Returns how many of the `length` bytes at `sense` hold sense data: 0 when
// all are zero, else the length the data states for itself (8 plus its
// additional length), never more than `length`.
size_t ValidSenseLength(const uint8_t* sense, size_t length);
// Returns the decoded sense of the `length` bytes at `sense`.
DecodedSense DecodeSense(const uint8_t* sense, size_t length);
// Returns the name of sense key `key` (0-15).
const char* SenseKeyName(uint8_t key);
// Returns the words for an additional sense code and qualifier, or null
// when they are not among the common ones.
const char* AdditionalSenseText(uint8_t asc, uint8_t ascq);
// Returns one line: "ILLEGAL REQUEST: invalid command operation code
// (ASC 0x20, ASCQ 0x00)", or "no sense data".
std::string DescribeSense(const DecodedSense& sense);

}  // namespace aspitool

#endif

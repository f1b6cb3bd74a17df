// Sense data as every emulated and scripted unit reports it: one builder of
// fixed-format sense, and the conditions the units report by name.
#ifndef PTASPI_SIM_UNITS_SENSE_H
#define PTASPI_SIM_UNITS_SENSE_H

#include <cstddef>
#include <cstdint>
#include <vector>

namespace sim::units {

struct SenseCode {
    uint8_t key;
    uint8_t asc;
    uint8_t ascq;
};

// Sense keys.
constexpr uint8_t SenseKeyNoSense = 0x00;
constexpr uint8_t SenseKeyNotReady = 0x02;
constexpr uint8_t SenseKeyMediumError = 0x03;
constexpr uint8_t SenseKeyIllegalRequest = 0x05;
constexpr uint8_t SenseKeyUnitAttention = 0x06;
constexpr uint8_t SenseKeyBlankCheck = 0x08;
constexpr uint8_t SenseKeyVolumeOverflow = 0x0D;
constexpr uint8_t SenseKeyAbortedCommand = 0x0B;
constexpr uint8_t SenseKeyMiscompare = 0x0E;

constexpr SenseCode SenseNone{SenseKeyNoSense, 0x00, 0x00};
constexpr SenseCode SenseInvalidOpcode{SenseKeyIllegalRequest, 0x20, 0x00};
constexpr SenseCode SenseLbaOutOfRange{SenseKeyIllegalRequest, 0x21, 0x00};
constexpr SenseCode SenseInvalidFieldInCdb{SenseKeyIllegalRequest, 0x24, 0x00};
constexpr SenseCode SenseParameterListLengthError{SenseKeyIllegalRequest, 0x1A, 0x00};
constexpr SenseCode SenseInvalidFieldInParameterList{SenseKeyIllegalRequest, 0x26, 0x00};
constexpr SenseCode SenseSavingNotSupported{SenseKeyIllegalRequest, 0x39, 0x00};
constexpr SenseCode SenseMediumNotPresent{SenseKeyNotReady, 0x3A, 0x00};
constexpr SenseCode SenseMediumRemovalPrevented{SenseKeyIllegalRequest, 0x53, 0x02};
constexpr SenseCode SenseUnrecoveredReadError{SenseKeyMediumError, 0x11, 0x00};
constexpr SenseCode SenseWriteError{SenseKeyMediumError, 0x0C, 0x00};
constexpr SenseCode SenseMiscompareDuringVerify{SenseKeyMiscompare, 0x1D, 0x00};
// Optical units: writes out of order or past a track, sectors of another
// kind than asked for, commands that need an earlier one, a changed medium.
constexpr SenseCode SenseInvalidAddressForWrite{SenseKeyIllegalRequest, 0x21, 0x02};
constexpr SenseCode SenseIllegalModeForTrack{SenseKeyIllegalRequest, 0x64, 0x00};
constexpr SenseCode SenseCommandSequenceError{SenseKeyIllegalRequest, 0x2C, 0x00};
constexpr SenseCode SenseIncompatibleMedium{SenseKeyIllegalRequest, 0x30, 0x00};
constexpr SenseCode SenseMediumMayHaveChanged{SenseKeyUnitAttention, 0x28, 0x00};
// A data-out transfer that ended before the target had all it asked for.
constexpr SenseCode SenseDataPhaseError{SenseKeyAbortedCommand, 0x4B, 0x00};
// A unit that cannot be reached behind its transport.
constexpr SenseCode SenseCommunicationFailure{SenseKeyAbortedCommand, 0x08, 0x00};

// Sequential-access conditions: each comes with the FILEMARK, EOM or ILI
// bit and the information field (SenseDetail).
constexpr SenseCode SenseFilemarkDetected{SenseKeyNoSense, 0x00, 0x01};
constexpr SenseCode SenseEndOfPartition{SenseKeyNoSense, 0x00, 0x02};
constexpr SenseCode SenseBeginningOfPartition{SenseKeyNoSense, 0x00, 0x04};
constexpr SenseCode SenseEndOfData{SenseKeyBlankCheck, 0x00, 0x05};
constexpr SenseCode SenseVolumeOverflow{SenseKeyVolumeOverflow, 0x00, 0x02};
constexpr SenseCode SenseNotReadyLoadRequired{SenseKeyNotReady, 0x04, 0x02};

constexpr uint8_t SenseFilemarkBit = 0x80;
constexpr uint8_t SenseEndOfMediumBit = 0x40;
constexpr uint8_t SenseIncorrectLengthBit = 0x20;

// What fixed-format sense adds to a code: the bits of byte 2 and the
// information field (with VALID).
struct SenseDetail {
    uint8_t flags = 0;
    bool informationValid = false;
    uint32_t information = 0;
};

// Length of the fixed-format sense data the units build.
constexpr size_t FixedSenseLength = 18;

// Returns fixed-format sense data for `code`: response code 0x70 (current
// error, information field not valid), the sense key, additional length 10,
// ASC and ASCQ.
std::vector<uint8_t> BuildSense(SenseCode code);
// Returns the same with the detail's bits and information field.
std::vector<uint8_t> BuildSense(SenseCode code, const SenseDetail& detail);

}  // namespace sim::units

#endif

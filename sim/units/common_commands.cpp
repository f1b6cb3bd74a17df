#include "sim/units/common_commands.h"

#include "sim/units/vital_product_data.h"

#include <cstring>

namespace sim::units {

namespace {

// Returns nothing: writes `text` at `out`, cut or padded with spaces to
// `width`.
void PutPadded(uint8_t* out, const std::string& text, size_t width) {
    for (size_t i = 0; i < width; ++i) {
        out[i] = i < text.size() ? static_cast<uint8_t>(text[i]) : static_cast<uint8_t>(' ');
    }
}

}  // namespace

uint16_t ReadBig16(const uint8_t* bytes) {
    return static_cast<uint16_t>((bytes[0] << 8) | bytes[1]);
}

uint32_t ReadBig32(const uint8_t* bytes) {
    return (static_cast<uint32_t>(bytes[0]) << 24) | (static_cast<uint32_t>(bytes[1]) << 16) |
           (static_cast<uint32_t>(bytes[2]) << 8) | static_cast<uint32_t>(bytes[3]);
}

uint64_t ReadBig64(const uint8_t* bytes) {
    return static_cast<uint64_t>(ReadBig32(bytes)) << 32 | ReadBig32(bytes + 4);
}

void WriteBig64(uint8_t* bytes, uint64_t value) {
    WriteBig32(bytes, static_cast<uint32_t>(value >> 32));
    WriteBig32(bytes + 4, static_cast<uint32_t>(value));
}

void WriteBig16(uint8_t* bytes, uint16_t value) {
    bytes[0] = static_cast<uint8_t>(value >> 8);
    bytes[1] = static_cast<uint8_t>(value);
}

void WriteBig32(uint8_t* bytes, uint32_t value) {
    bytes[0] = static_cast<uint8_t>(value >> 24);
    bytes[1] = static_cast<uint8_t>(value >> 16);
    bytes[2] = static_cast<uint8_t>(value >> 8);
    bytes[3] = static_cast<uint8_t>(value);
}

std::vector<uint8_t> StandardInquiryData(const InquiryConfig& inquiry) {
    std::vector<uint8_t> data(StandardInquiryLength, 0);
    data[0] = inquiry.peripheral;
    data[1] = inquiry.removable ? 0x80 : 0x00;
    data[2] = 0x05;
    data[3] = 0x02;
    data[4] = static_cast<uint8_t>(StandardInquiryLength - 5);
    PutPadded(&data[8], inquiry.vendor, 8);
    PutPadded(&data[16], inquiry.product, 16);
    PutPadded(&data[32], inquiry.revision, 4);
    return data;
}

uint32_t DataInCapacity(const ScsiCommand& command) {
    if (command.direction != DataDirection::In || command.data == nullptr) return 0;
    return command.dataLength;
}

uint32_t DataOutAvailable(const ScsiCommand& command) {
    if (command.direction != DataDirection::Out || command.data == nullptr) return 0;
    return command.dataLength;
}

uint32_t ReplyDataIn(const ScsiCommand& command, ScsiOutcome& outcome, const uint8_t* reply,
                     size_t length, uint32_t allocation) {
    size_t count = length;
    if (count > allocation) count = allocation;
    uint32_t capacity = DataInCapacity(command);
    if (count > capacity) count = capacity;
    if (count > 0) std::memcpy(command.data, reply, count);
    outcome.status = StatusGood;
    outcome.bytesMoved = static_cast<uint32_t>(count);
    return outcome.bytesMoved;
}

void CheckCondition(std::vector<uint8_t>& pendingSense, ScsiOutcome& outcome, SenseCode code) {
    CheckCondition(pendingSense, outcome, code, SenseDetail());
}

void CheckCondition(std::vector<uint8_t>& pendingSense, ScsiOutcome& outcome, SenseCode code,
                    const SenseDetail& detail) {
    outcome.status = StatusCheckCondition;
    outcome.sense = BuildSense(code, detail);
    pendingSense = outcome.sense;
}

void AnswerInquiry(const InquiryConfig& inquiry, std::vector<uint8_t>& pendingSense,
                   const ScsiCommand& command, ScsiOutcome& outcome) {
    bool evpd = (command.cdb[1] & 0x01) != 0;
    uint8_t pageCode = command.cdb[2];
    // Vital product data is the caller's to answer (HandleInquiry for the
    // emulated units); here asking for it is a field error, as is a page
    // code without EVPD.
    if (evpd || pageCode != 0) {
        CheckCondition(pendingSense, outcome, SenseInvalidFieldInCdb);
        return;
    }
    std::vector<uint8_t> data = StandardInquiryData(inquiry);
    ReplyDataIn(command, outcome, data.data(), data.size(), ReadBig16(&command.cdb[3]));
}

void AnswerRequestSense(std::vector<uint8_t>& pendingSense, const ScsiCommand& command,
                        ScsiOutcome& outcome) {
    std::vector<uint8_t> reply = pendingSense.empty() ? BuildSense(SenseNone) : pendingSense;
    pendingSense.clear();
    ReplyDataIn(command, outcome, reply.data(), reply.size(), command.cdb[4]);
}

void HandleInquiry(EmulatedUnit& unit, const ScsiCommand& command, ScsiOutcome& outcome) {
    if ((command.cdb[1] & 0x01) == 0) {
        AnswerInquiry(unit.inquiry, unit.pendingSense, command, outcome);
        return;
    }
    std::vector<uint8_t> page;
    const bool built = unit.maximumTransferBlocks != 0
                           ? BuildBlockDeviceVpdPage(unit.inquiry, unit.serial, command.cdb[2],
                                                     unit.maximumTransferBlocks, page)
                           : BuildVpdPage(unit.inquiry, unit.serial, command.cdb[2], page);
    if (!built) {
        CheckCondition(unit.pendingSense, outcome, SenseInvalidFieldInCdb);
        return;
    }
    // A page longer than the allocation length is cut there; its length
    // field still tells the whole page.
    ReplyDataIn(command, outcome, page.data(), page.size(), ReadBig16(&command.cdb[3]));
}

void HandleTestUnitReady(EmulatedUnit& unit, const ScsiCommand&, ScsiOutcome& outcome) {
    if (!RequireMedium(unit, outcome)) return;
    outcome.status = StatusGood;
}

void HandleRequestSense(EmulatedUnit& unit, const ScsiCommand& command, ScsiOutcome& outcome) {
    AnswerRequestSense(unit.pendingSense, command, outcome);
}

void HandleUnsupported(EmulatedUnit& unit, const ScsiCommand&, ScsiOutcome& outcome) {
    CheckCondition(unit.pendingSense, outcome, SenseInvalidOpcode);
}

void HandleReportLuns(EmulatedUnit& unit, const ScsiCommand& command, ScsiOutcome& outcome) {
    const uint8_t selectReport = command.cdb[2];
    const uint32_t allocation = ReadBig32(&command.cdb[6]);
    // SELECT REPORT 0 and 2 ask for the logical units (an emulated target
    // has no well-known ones), 1 for the well-known ones only; other
    // values are reserved. An allocation length below 16 is refused.
    if (selectReport > 2 || allocation < 16) {
        CheckCondition(unit.pendingSense, outcome, SenseInvalidFieldInCdb);
        return;
    }
    const size_t count = selectReport == 1 ? 0 : unit.targetLuns.size();
    std::vector<uint8_t> reply(8 + 8 * count, 0);
    WriteBig32(&reply[0], static_cast<uint32_t>(8 * count));
    for (size_t i = 0; i < count; ++i) {
        // Peripheral device addressing, bus 0: the LUN in the second byte.
        reply[8 + 8 * i + 1] = unit.targetLuns[i];
    }
    ReplyDataIn(command, outcome, reply.data(), reply.size(), allocation);
}

void HandleAccepted(EmulatedUnit&, const ScsiCommand&, ScsiOutcome& outcome) {
    outcome.status = StatusGood;
}

bool RequireMedium(EmulatedUnit& unit, ScsiOutcome& outcome) {
    if (unit.medium) return true;
    CheckCondition(unit.pendingSense, outcome, SenseMediumNotPresent);
    return false;
}

}  // namespace sim::units

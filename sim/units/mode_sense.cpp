#include "sim/units/mode_sense.h"

#include "sim/units/common_commands.h"

#include <vector>

namespace sim::units {

namespace {

constexpr uint8_t PageControlChangeable = 1;
constexpr uint8_t PageControlSaved = 3;
constexpr uint8_t AllPages = 0x3F;

// Returns nothing: appends the page; changeable values are all zero, since
// no mode parameter can be changed.
void AppendPage(std::vector<uint8_t>& reply, const ModePage& page, uint8_t pageControl) {
    size_t start = reply.size();
    reply.insert(reply.end(), page.bytes, page.bytes + page.length);
    if (pageControl == PageControlChangeable) {
        for (size_t i = start + 2; i < reply.size(); ++i) reply[i] = 0;
    }
}

}  // namespace

void AnswerModeSense6(EmulatedUnit& unit, const ScsiCommand& command, ScsiOutcome& outcome,
                      const ModePage* pages, size_t pageCount) {
    bool disableBlockDescriptors = (command.cdb[1] & 0x08) != 0;
    uint8_t pageControl = static_cast<uint8_t>(command.cdb[2] >> 6);
    uint8_t pageCode = static_cast<uint8_t>(command.cdb[2] & 0x3F);
    if (pageControl == PageControlSaved) {
        CheckCondition(unit.pendingSense, outcome, SenseSavingNotSupported);
        return;
    }
    const ModePage* chosen = nullptr;
    if (pageCode != 0 && pageCode != AllPages) {
        for (size_t i = 0; i < pageCount; ++i) {
            if (pages[i].code == pageCode) chosen = &pages[i];
        }
        if (chosen == nullptr) {
            CheckCondition(unit.pendingSense, outcome, SenseInvalidFieldInCdb);
            return;
        }
    }

    std::vector<uint8_t> reply(4, 0);
    bool writeProtected = unit.storage && unit.storage->ReadOnly();
    reply[2] = writeProtected ? 0x80 : 0x00;
    if (!disableBlockDescriptors) {
        reply[3] = 8;
        uint8_t descriptor[8] = {};
        uint32_t blocks = unit.medium ? unit.blocks : 0;
        uint32_t shown = blocks > 0xFFFFFF ? 0xFFFFFF : blocks;
        descriptor[1] = static_cast<uint8_t>(shown >> 16);
        descriptor[2] = static_cast<uint8_t>(shown >> 8);
        descriptor[3] = static_cast<uint8_t>(shown);
        descriptor[5] = static_cast<uint8_t>(unit.blockSize >> 16);
        descriptor[6] = static_cast<uint8_t>(unit.blockSize >> 8);
        descriptor[7] = static_cast<uint8_t>(unit.blockSize);
        reply.insert(reply.end(), descriptor, descriptor + sizeof descriptor);
    }
    if (chosen != nullptr) {
        AppendPage(reply, *chosen, pageControl);
    } else if (pageCode == AllPages) {
        for (size_t i = 0; i < pageCount; ++i) AppendPage(reply, pages[i], pageControl);
    }
    // The mode data length counts the bytes after itself.
    reply[0] = static_cast<uint8_t>(reply.size() - 1);
    ReplyDataIn(command, outcome, reply.data(), reply.size(), command.cdb[4]);
}

}  // namespace sim::units

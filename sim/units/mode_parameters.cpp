#include "sim/units/mode_parameters.h"

#include "sim/units/common_commands.h"

#include <cstring>
#include <vector>

namespace sim::units {

namespace {

constexpr uint8_t PageControlCurrent = 0;
constexpr uint8_t PageControlChangeable = 1;
constexpr uint8_t PageControlDefault = 2;
constexpr uint8_t PageControlSaved = 3;
constexpr uint8_t AllPages = 0x3F;
constexpr uint8_t AllSubpages = 0xFF;
constexpr uint8_t ParametersSaveable = 0x80;  // PS: the page can be saved
constexpr uint8_t SubpageFormat = 0x40;       // SPF: a subpage's longer header
constexpr size_t BlockDescriptorLength = 8;

const ModePageSpec* FindPage(const ModeProfile& profile, uint8_t code) {
    for (size_t i = 0; i < profile.pageCount; ++i) {
        if (profile.pages[i].code == code) return &profile.pages[i];
    }
    return nullptr;
}

// Returns the values of `page` that `pageControl` asks for.
std::vector<uint8_t> PageValues(const EmulatedUnit& unit, const ModePageSpec& page, uint8_t pageControl) {
    std::vector<uint8_t> values(page.defaults, page.defaults + page.length);
    if (pageControl == PageControlChangeable) {
        for (size_t i = 2; i < page.length; ++i) values[i] = page.changeable[i];
    } else if (pageControl != PageControlDefault) {
        const auto& kept = pageControl == PageControlSaved ? unit.modeSaved : unit.modeCurrent;
        const auto found = kept.find(page.code);
        if (found != kept.end()) values = found->second;
    }
    values[0] = static_cast<uint8_t>(page.code | ParametersSaveable);
    return values;
}

}  // namespace

uint8_t CurrentModeByte(const EmulatedUnit& unit, const ModeProfile& profile, uint8_t code,
                        size_t offset) {
    const ModePageSpec* page = FindPage(profile, code);
    if (page == nullptr || offset >= page->length) return 0;
    return PageValues(unit, *page, PageControlCurrent)[offset];
}

void AnswerModeSense(EmulatedUnit& unit, const ScsiCommand& command, ScsiOutcome& outcome,
                     const ModeProfile& profile) {
    const bool ten = command.cdb[0] == OpModeSense10;
    const bool disableBlockDescriptors = (command.cdb[1] & 0x08) != 0;
    const uint8_t pageControl = static_cast<uint8_t>(command.cdb[2] >> 6);
    const uint8_t pageCode = static_cast<uint8_t>(command.cdb[2] & 0x3F);
    const uint8_t subpage = command.cdb[3];
    const uint32_t allocation = ten ? ReadBig16(&command.cdb[7]) : command.cdb[4];
    // No subpages are kept: only "all pages and subpages" may name one.
    const ModePageSpec* chosen = pageCode == AllPages ? nullptr : FindPage(profile, pageCode);
    if ((pageCode != AllPages && chosen == nullptr) ||
        (subpage != 0 && !(pageCode == AllPages && subpage == AllSubpages))) {
        CheckCondition(unit.pendingSense, outcome, SenseInvalidFieldInCdb);
        return;
    }

    const size_t header = ten ? 8 : 4;
    std::vector<uint8_t> reply(header, 0);
    reply[ten ? 3 : 2] = profile.deviceSpecific(unit);
    if (!disableBlockDescriptors && profile.blockDescriptor != nullptr) {
        reply[header - 1] = BlockDescriptorLength;
        uint8_t descriptor[BlockDescriptorLength] = {};
        profile.blockDescriptor(unit, descriptor);
        reply.insert(reply.end(), descriptor, descriptor + sizeof descriptor);
    }
    for (size_t i = 0; i < profile.pageCount; ++i) {
        if (chosen != nullptr && chosen != &profile.pages[i]) continue;
        const std::vector<uint8_t> values = PageValues(unit, profile.pages[i], pageControl);
        reply.insert(reply.end(), values.begin(), values.end());
    }
    // The mode data length counts the bytes after itself.
    if (ten) {
        WriteBig16(&reply[0], static_cast<uint16_t>(reply.size() - 2));
    } else {
        reply[0] = static_cast<uint8_t>(reply.size() - 1);
    }
    ReplyDataIn(command, outcome, reply.data(), reply.size(), allocation);
}

void AnswerModeSelect(EmulatedUnit& unit, const ScsiCommand& command, ScsiOutcome& outcome,
                      const ModeProfile& profile) {
    const bool ten = command.cdb[0] == OpModeSelect10;
    const bool pageFormat = (command.cdb[1] & 0x10) != 0;
    const bool savePages = (command.cdb[1] & 0x01) != 0;
    const uint32_t listLength = ten ? ReadBig16(&command.cdb[7]) : command.cdb[4];
    const size_t header = ten ? 8 : 4;
    if (listLength == 0) {
        outcome.status = StatusGood;
        return;
    }
    if (DataOutAvailable(command) < listLength) {
        CheckCondition(unit.pendingSense, outcome, SenseDataPhaseError);
        return;
    }
    const uint8_t* list = command.data;
    outcome.bytesMoved = listLength;
    if (listLength < header) {
        CheckCondition(unit.pendingSense, outcome, SenseParameterListLengthError);
        return;
    }
    const size_t descriptorLength = ten ? ReadBig16(&list[6]) : list[3];
    if (descriptorLength != 0 && descriptorLength != BlockDescriptorLength) {
        CheckCondition(unit.pendingSense, outcome, SenseInvalidFieldInParameterList);
        return;
    }
    if (header + descriptorLength > listLength) {
        CheckCondition(unit.pendingSense, outcome, SenseParameterListLengthError);
        return;
    }
    // Pages are only what the page format says they are.
    if (!pageFormat && listLength > header + descriptorLength) {
        CheckCondition(unit.pendingSense, outcome, SenseInvalidFieldInCdb);
        return;
    }
    // Every page is checked before any is applied, so that a refused list
    // changes nothing.
    struct Change {
        const ModePageSpec* page;
        const uint8_t* values;
    };
    std::vector<Change> changes;
    for (size_t at = header + descriptorLength; at < listLength;) {
        if (listLength - at < 2) {
            CheckCondition(unit.pendingSense, outcome, SenseParameterListLengthError);
            return;
        }
        const ModePageSpec* page = (list[at] & SubpageFormat) != 0
                                       ? nullptr
                                       : FindPage(profile, static_cast<uint8_t>(list[at] & 0x3F));
        if (page == nullptr || list[at + 1] + 2u != page->length) {
            CheckCondition(unit.pendingSense, outcome, SenseInvalidFieldInParameterList);
            return;
        }
        if (listLength - at < page->length) {
            CheckCondition(unit.pendingSense, outcome, SenseParameterListLengthError);
            return;
        }
        const std::vector<uint8_t> current = PageValues(unit, *page, PageControlCurrent);
        for (size_t i = 2; i < page->length; ++i) {
            if (((list[at + i] ^ current[i]) & ~page->changeable[i]) != 0) {
                CheckCondition(unit.pendingSense, outcome, SenseInvalidFieldInParameterList);
                return;
            }
        }
        changes.push_back({page, &list[at]});
        at += page->length;
    }
    if (descriptorLength != 0 &&
        (profile.selectBlockDescriptor == nullptr ||
         !profile.selectBlockDescriptor(unit, &list[header]))) {
        CheckCondition(unit.pendingSense, outcome, SenseInvalidFieldInParameterList);
        return;
    }
    for (const Change& change : changes) {
        std::vector<uint8_t> values(change.values, change.values + change.page->length);
        values[0] = static_cast<uint8_t>(change.page->code | ParametersSaveable);
        unit.modeCurrent[change.page->code] = values;
        if (savePages) unit.modeSaved[change.page->code] = values;
    }
    outcome.status = StatusGood;
}

}  // namespace sim::units

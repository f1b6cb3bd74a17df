// aspitool inquiry ADDR --vpd PAGE: one vital product data page, decoded
// where the tool knows the page, and dumped in hex.
#include "commands.h"

#include "../output.h"
#include "../vpd_pages.h"

#include <cstdio>

namespace aspitool {
namespace {

// Most units of before SPC-3 take only byte 4 as the allocation length,
// so a first request stays within it.
const uint32_t FirstVpdLength = 255;

// Returns true when INQUIRY for VPD `page` with allocation `length` was
// sent, with `result` filled.
bool SendVpdInquiry(const Session& session, const Unit& unit, uint8_t page, uint32_t length,
                    AlignedBuffer& data, ExecResult& result, std::string& error) {
    const uint8_t cdb[6] = {0x12, 0x01, page, static_cast<uint8_t>(length >> 8),
                            static_cast<uint8_t>(length), 0};
    return SendDataIn(session, unit, cdb, sizeof cdb, length, data, result, error);
}

}  // namespace

int RunVpdInquiry(Session& session, const Unit& unit) {
    const uint8_t page = session.options.vpdPage;
    Json document = Json::Object();
    std::string error;
    uint32_t length = unit.adapter.maxTransfer < FirstVpdLength ? unit.adapter.maxTransfer
                                                                 : FirstVpdLength;
    if (length < 4) {
        return Fail(session, document, ExitFailure,
                    "host adapter " + std::to_string(unit.address.ha) +
                        " moves too few bytes at a time for a VPD page");
    }
    AlignedBuffer data;
    ExecResult result;
    if (!SendVpdInquiry(session, unit, page, length, data, result, error)) {
        return Fail(session, document, ExitFailure, error);
    }
    // A longer page is asked for once more, whole, where the adapter can
    // move it.
    const uint32_t whole = result.status == SS_COMP ? 4u + ((data.data()[2] << 8) | data.data()[3]) : 0;
    if (whole > length && whole <= unit.adapter.maxTransfer && whole <= 0xFFFF) {
        length = whole;
        if (!SendVpdInquiry(session, unit, page, length, data, result, error)) {
            return Fail(session, document, ExitFailure, error);
        }
    }
    document = OutcomeDocument(unit, result);
    char pageText[8];
    std::snprintf(pageText, sizeof pageText, "0x%02X", page);
    if (!CompletedGood(unit, (std::string("INQUIRY of VPD page ") + pageText).c_str(), result,
                       error)) {
        return Fail(session, document, ExitFailure, error);
    }
    const uint8_t* d = data.data();
    const size_t bytes = VpdPageBytes(d, length);
    const size_t stated = 4 + static_cast<size_t>((d[2] << 8) | d[3]);
    const char* name = VpdPageName(d[1]);
    document.Set("page", Json::Number(d[1]));
    document.Set("page_name", name != nullptr ? Json::Text(name) : Json::Null());
    document.Set("page_length", Json::Number(static_cast<int64_t>(stated - 4)));
    document.Set("peripheral", Json::Number(d[0]));
    document.Set("data", Json::Text(HexCompact(d, bytes)));

    std::snprintf(pageText, sizeof pageText, "0x%02X", d[1]);
    std::string text = "unit:            " + FormatAddress(unit.address) + "\n";
    text += std::string("page:            ") + pageText + (name != nullptr ? " " : "") +
            (name != nullptr ? name : "") + "\n";
    text += "page length:     " + std::to_string(stated - 4) +
            (bytes < stated ? " (" + std::to_string(bytes - 4) + " bytes arrived)" : "") + "\n";
    DecodeVpdPage(d, bytes, text, document);
    text += ExecResultText(result, 0);
    text += "data (" + std::to_string(bytes) + " bytes, as the page length says):\n" +
            HexDump(d, bytes, 0);
    Show(session, document, text);
    return ExitOk;
}

}  // namespace aspitool

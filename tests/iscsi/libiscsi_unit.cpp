#include "iscsi/libiscsi_unit.h"

#include <iscsi/iscsi.h>

namespace iscsitest {

bool OpenLibiscsiUnit(const std::string& url, LibiscsiUnit& unit, std::string& error) {
    unit.context = iscsi_create_context("iqn.2026-12.org.ptaspi.test:reference");
    if (unit.context == nullptr) {
        error = "no libiscsi context";
        return false;
    }
    iscsi_url* parsed = iscsi_parse_full_url(unit.context, url.c_str());
    bool ok = parsed != nullptr;
    if (ok) {
        iscsi_set_targetname(unit.context, parsed->target);
        iscsi_set_session_type(unit.context, ISCSI_SESSION_NORMAL);
        iscsi_set_header_digest(unit.context, ISCSI_HEADER_DIGEST_NONE_CRC32C);
        unit.lun = parsed->lun;
        ok = iscsi_full_connect_sync(unit.context, parsed->portal, parsed->lun) == 0;
        iscsi_destroy_url(parsed);
    }
    if (!ok) {
        error = iscsi_get_error(unit.context);
        CloseLibiscsiUnit(unit);
    }
    return ok;
}

void CloseLibiscsiUnit(LibiscsiUnit& unit) {
    if (unit.context == nullptr) return;
    iscsi_logout_sync(unit.context);
    iscsi_destroy_context(unit.context);
    unit.context = nullptr;
}

}  // namespace iscsitest

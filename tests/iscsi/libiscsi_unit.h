// A unit opened with libiscsi directly, beside the library: what the tests
// compare the library's answers with.
#ifndef PTASPI_TESTS_ISCSI_LIBISCSI_UNIT_H
#define PTASPI_TESTS_ISCSI_LIBISCSI_UNIT_H

#include <string>

struct iscsi_context;

namespace iscsitest {

struct LibiscsiUnit {
    iscsi_context* context = nullptr;
    int lun = 0;
};

// Returns true when the session to `url` is logged in; `error` gets
// libiscsi's message otherwise.
bool OpenLibiscsiUnit(const std::string& url, LibiscsiUnit& unit, std::string& error);
void CloseLibiscsiUnit(LibiscsiUnit& unit);

}  // namespace iscsitest

#endif

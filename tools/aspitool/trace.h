// --verbose: each command block as it goes out and what came back, on
// standard error, so that a person can see what the unit was asked.
#ifndef ASPITOOL_TRACE_H
#define ASPITOOL_TRACE_H

#include "srb_requests.h"

#include <string>

namespace aspitool {

// Each returns nothing and writes "aspitool: " and its lines to standard
// error: the address, command block, direction and length of `request`;
// the statuses, decoded sense and residual of `result`; or `text`.
void TraceCommand(const ExecRequest& request);
void TraceResult(const ExecResult& result);
void TraceText(const std::string& text);

}  // namespace aspitool

#endif

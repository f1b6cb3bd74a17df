// How aspitool shows what it learnt: names for status codes and device
// types, hex, tables for people and JSON documents for scripts.
#ifndef ASPITOOL_OUTPUT_H
#define ASPITOOL_OUTPUT_H

#include "json.h"
#include "srb_requests.h"

#include <cstdint>
#include <string>
#include <vector>

namespace aspitool {

// Return the name of an ASPI status ("SS_COMP"), a host adapter status
// ("HASTAT_SEL_TO"), a SCSI target status ("CHECK CONDITION") and a
// peripheral device type ("cdrom"); unknown codes give "UNKNOWN".
const char* AspiStatusName(uint8_t status);
const char* HostAdapterStatusName(uint8_t status);
const char* TargetStatusName(uint8_t status);
// Takes the whole peripheral byte; a qualifier other than 0 is named too.
std::string DeviceTypeName(uint8_t peripheral);

// Returns "NAME (0xVV)".
std::string NamedValue(const char* name, uint8_t value);
// Returns {"name": NAME, "value": VALUE}.
Json NamedValueJson(const char* name, uint8_t value);

// Returns the bytes as two hex digits each, without separators.
std::string HexCompact(const uint8_t* bytes, size_t length);
// Returns the bytes as hex with spaces between them.
std::string HexSpaced(const uint8_t* bytes, size_t length);
// Returns a hex dump, 16 bytes a line, with offsets from `base` and the
// printable characters beside them.
std::string HexDump(const uint8_t* bytes, size_t length, uint64_t base);

// Returns the fields of an execute request's outcome: status, ha_stat,
// targ_stat, sense (hex) and sense_decoded.
Json ExecResultJson(const ExecResult& result);
// Returns the outcome for people, one field a line, each line indented by
// `indent` spaces.
std::string ExecResultText(const ExecResult& result, int indent);
// Returns one line for an execute request that did not end with SS_COMP:
// its statuses by name and its decoded sense.
std::string ExecFailureText(const ExecResult& result);

// Returns what SS_ERR with HASTAT_OK, a GOOD target status and no sense
// means: the port driver refused or failed the request, and why it may.
std::string PlatformFailureText();

// Returns the text field of `width` bytes at `offset` in inquiry data of
// which `available` bytes arrived, cut where the data ends, with trailing
// spaces and NULs removed.
std::string InquiryText(const uint8_t* data, size_t available, size_t offset, size_t width);

// Returns nothing; writes `document` and a newline to standard output.
void PrintJson(const Json& document);
// Returns nothing; writes "aspitool: MESSAGE" and a newline to standard
// error.
void PrintError(const std::string& message);

}  // namespace aspitool

#endif

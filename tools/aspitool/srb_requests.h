// The request blocks aspitool sends: host adapter inquiry, device type and
// execute, the last with any of the three ways of learning of completion.
#ifndef ASPITOOL_SRB_REQUESTS_H
#define ASPITOOL_SRB_REQUESTS_H

#include "address.h"
#include "aspi_library.h"
#include "options.h"

#include <cstdint>
#include <string>
#include <vector>

namespace aspitool {

struct HostAdapterInfo {
    uint8_t count = 0;
    uint8_t scsiId = 0;
    std::string manager;
    std::string identifier;
    uint16_t alignmentMask = 0;
    uint8_t maxTargets = 0;
    uint32_t maxTransfer = 0;
    bool countsResiduals = false;  // residual byte counts supported
};

// Returns the status of a host adapter inquiry of `ha`; `info` is filled
// when it is SS_COMP.
uint8_t InquireHostAdapter(const AspiLibrary& library, uint8_t ha, HostAdapterInfo& info);
// Returns the status of a device-type request for `unit`; `type` receives
// the peripheral byte when it is SS_COMP.
uint8_t GetDeviceType(const AspiLibrary& library, const UnitAddress& unit, uint8_t& type);

enum class DataDirection { None, In, Out };

struct ExecRequest {
    UnitAddress unit;
    uint8_t cdb[16] = {};
    uint8_t cdbLength = 0;
    DataDirection direction = DataDirection::None;
    uint8_t* buffer = nullptr;  // must honour the adapter's alignment mask
    uint32_t length = 0;
    uint8_t senseLength = 32;
    NotifyMethod notify = NotifyMethod::Event;
    uint32_t timeoutMs = 60000;  // how long completion is awaited
    bool residual = false;       // ask for the residual byte count
};

struct ExecResult {
    uint8_t status = SS_PENDING;
    uint8_t haStat = 0;
    uint8_t targStat = 0;
    std::vector<uint8_t> sense;  // the valid sense bytes, empty when none
    bool hasResidual = false;    // asked for, so `residual` holds the count
    uint32_t residual = 0;       // bytes of the transfer that did not move
};

// Returns true when the request was sent and has completed, whatever its
// status, with `result` filled; false with `error` when it could not be
// sent or awaited. A request that never completes ends the process, since
// the library would go on using its memory.
bool ExecuteScsi(const AspiLibrary& library, const ExecRequest& request, ExecResult& result,
                 std::string& error);

// A data buffer whose start honours an adapter's alignment mask.
class AlignedBuffer {
public:
    // Returns false when `size` bytes cannot be had.
    bool Allocate(size_t size, uint16_t alignmentMask);
    uint8_t* data() { return data_; }
    const uint8_t* data() const { return data_; }
    size_t size() const { return size_; }

private:
    std::vector<uint8_t> storage_;
    uint8_t* data_ = nullptr;
    size_t size_ = 0;
};

// Returns true when `status` is one that only a completed request carries,
// which the library therefore posts: the statuses an execute request may end
// with.
bool IsPostedStatus(BYTE status);

}  // namespace aspitool

#endif

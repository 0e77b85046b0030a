#include "LinkPort.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "TarvikDLL.h"
#include "api/CallFrame.h"

namespace tarvik::link {

using namespace comport;

std::int32_t LinkPort::Open(const std::string& device, TParity parity, TBaudRate baud) {
    port_.Close();
    pos_ = len_ = 0;
    bool listed = false;
    {
        std::vector<std::string> ports;
        EnumComPorts(ports);
        for (const auto& entry : ports)
            if (api::PortNameMatches(entry, device)) listed = true;
    }
    if (!listed) return ResultPortAbsent;
    try {
        port_.SetParity(parity);
        port_.SetBaudRate(baud);
        port_.SetDeviceName(device);
        port_.SetStopBits(sb1);
        port_.SetDataBits(db8);
        // Reads wait for their bytes up to a total time, set per wait; no interval limit.
        port_.Timeouts().SetReadInterval(0);
        port_.Timeouts().SetReadMultiplier(0);
        port_.Timeouts().SetReadConstant(1);
        port_.Open();
    } catch (...) {
        port_.Close();
        return ResultPortBusy;
    }
    return ResultOk;
}

void LinkPort::Send(std::span<const std::uint8_t> request) {
    // Drop stale input: the next reply starts clean.
    pos_ = len_ = 0;
    for (std::int32_t n = port_.InputCount(); n > 0; n = port_.InputCount()) {
        const auto k = std::min<std::int32_t>(n, static_cast<std::int32_t>(buffer_.size()));
        port_.Read(buffer_.data(), k, true);
    }
    // Wait for the previous write (if any) before its bytes are replaced.
    port_.Write(nullptr, 0, true);
    request_.assign(request.begin(), request.end());
    port_.Write(request_.data(), static_cast<std::int32_t>(request_.size()), false);
}

void LinkPort::SetReadConstant(std::int32_t ms) {
    if (port_.Timeouts().ReadConstant() != ms) port_.Timeouts().SetReadConstant(ms);
}

std::optional<std::uint8_t> LinkPort::Next(Clock::time_point deadline) {
    if (pos_ < len_) return buffer_[pos_++];
    pos_ = len_ = 0;
    if (const std::int32_t n = port_.InputCount(); n > 0) {
        // Everything queued at once (it is there: the read returns at once).
        const auto k = std::min<std::int32_t>(n, static_cast<std::int32_t>(buffer_.size()));
        port_.Read(buffer_.data(), k, true);
        len_ = static_cast<std::size_t>(k);
        return buffer_[pos_++];
    }
    // Nothing queued: wait for one byte, at most until the deadline (rounded up to whole
    // milliseconds, so that the wait never ends early).
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
    if (left <= 0) return std::nullopt;
    SetReadConstant(static_cast<std::int32_t>(std::min<long long>(left, INT32_MAX)));
    try {
        port_.Read(buffer_.data(), 1, true);
    } catch (const EComError& e) {
        if (e.ErrorCode == ceComponent && std::strcmp(e.what(), kMsgTimeout) == 0) return std::nullopt;
        throw;
    }
    len_ = 1;
    return buffer_[pos_++];
}

} // namespace tarvik::link

#include "FakePort.h"

#include <algorithm>
#include <cstring>

#include "api/CallFrame.h"
#include "comport/ComPort.h"

namespace tarvik::fuzz {
namespace {
std::string reply;
std::string request;
} // namespace

void SetReply(const std::uint8_t* data, std::size_t size) {
    reply.assign(reinterpret_cast<const char*>(data), size);
    request.clear();
}
const std::string& LastRequest() {
    return request;
}

} // namespace tarvik::fuzz

namespace tarvik::api {
void SleepFor(std::chrono::microseconds) {}
} // namespace tarvik::api

namespace tarvik::comport {

struct TPortState {
    bool open = false;
    std::size_t readPos = 0;
    std::uint8_t* readBuffer = nullptr;
    std::int32_t readLength = 0;
};

void TCustomComPort::StateDeleter::operator()(TPortState* s) const noexcept {
    delete s;
}

bool TCustomComPort::IsOpen() const noexcept {
    return state_ && state_->open;
}

void TCustomComPort::CreateHandle() {
    const std::string name = deviceName_;
    if (name != "COM1" && name != "\\\\.\\COM1") RaiseError(ceFileNotFound, "not found", ekOpen);
    if (!state_) state_.reset(new TPortState);
    *state_ = TPortState{};
    state_->open = true;
}

void TCustomComPort::ReleaseHandle() noexcept {
    if (state_) *state_ = TPortState{};
}

void TCustomComPort::AbortWaits() noexcept {}

void TCustomComPort::ApplySettings() {}
void TCustomComPort::ApplyBuffers() {}
void TCustomComPort::ApplyTimeouts() {}
void TCustomComPort::SetCommEventMask(std::uint32_t) {}
std::uint32_t TCustomComPort::WaitCommEvent() {
    return 0;
}
void TCustomComPort::InterruptCommEvent() noexcept {}
void TCustomComPort::SetCurrentThreadPriority(TThreadPriority) noexcept {}

void TCustomComPort::StartWrite(const void* buffer, std::int32_t length) {
    fuzz::request.append(static_cast<const char*>(buffer), static_cast<std::size_t>(length));
}

void TCustomComPort::StartRead(void* buffer, std::int32_t length) {
    state_->readBuffer = static_cast<std::uint8_t*>(buffer);
    state_->readLength = length;
}

void TCustomComPort::WaitPending(bool write) {
    CheckOpen();
    if (write || !state_->readBuffer) return;
    TPortState& s = *state_;
    const std::size_t left = fuzz::reply.size() - std::min(s.readPos, fuzz::reply.size());
    const std::size_t n = std::min<std::size_t>(left, static_cast<std::size_t>(s.readLength));
    std::memcpy(s.readBuffer, fuzz::reply.data() + s.readPos, n);
    s.readPos += n;
    s.readBuffer = nullptr;
    if (n != static_cast<std::size_t>(s.readLength)) RaiseError(ceComponent, kMsgTimeout, ekTimeout);
}

std::int32_t TCustomComPort::TakeQueued(void* buffer, std::int32_t length, std::int32_t) {
    WaitPending(false);
    TPortState& s = *state_;
    const std::size_t left = fuzz::reply.size() - std::min(s.readPos, fuzz::reply.size());
    const std::size_t n = std::min<std::size_t>(left, static_cast<std::size_t>(length));
    std::memcpy(buffer, fuzz::reply.data() + s.readPos, n);
    s.readPos += n;
    return static_cast<std::int32_t>(n);
}

std::uint32_t TCustomComPort::ClearErrors(std::int32_t* inQueue) {
    if (!IsOpen()) RaiseError(ceInvalidHandle, "invalid handle", ekClosedPort);
    if (inQueue) *inQueue = static_cast<std::int32_t>(fuzz::reply.size() - state_->readPos);
    return 0;
}

TModemStatus TCustomComPort::ModemStatus() {
    return {};
}

void EnumComPorts(std::vector<std::string>& list) {
    list.push_back("COM1");
}

} // namespace tarvik::comport

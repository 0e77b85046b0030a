#include "LinkCore.h"

namespace tarvik::link {

void LinkCore::Close() noexcept {
    std::lock_guard lock(mutex_);
    line_.Close();
    openResult_ = ResultBadPort;
}

bool LinkCore::IsOpen() const noexcept {
    std::lock_guard lock(mutex_);
    return line_.IsOpen();
}

void LinkCore::SetOptions(Options options) {
    std::lock_guard lock(mutex_);
    options_ = options;
}

Options LinkCore::GetOptions() const {
    std::lock_guard lock(mutex_);
    return options_;
}

std::int32_t LinkCore::Reopen() {
    if (openResult_ != ResultOk) return openResult_;
    if (line_.IsOpen()) return ResultOk;
    return line_.Open(settings_, true);
}

} // namespace tarvik::link

#include "Stream.h"

#include <algorithm>

namespace tarvik::hartip {

std::size_t StreamDecoder::Take(std::span<const std::uint8_t> bytes, bool& complete) {
    std::size_t taken = 0;
    if (held_ < kHeaderSize) {
        taken = std::min(bytes.size(), kHeaderSize - held_);
        std::copy_n(bytes.begin(), taken, header_.begin() + static_cast<std::ptrdiff_t>(held_));
        held_ += taken;
        if (held_ < kHeaderSize) return taken;
        verdict_ = DecodeHeader(header_, message_.header);
        if (verdict_ != Verdict::Ok) return taken;
        message_.bodySize = 0;
    }
    const std::size_t want = message_.header.byteCount - held_;
    const std::size_t more = std::min(want, bytes.size() - taken);
    std::copy_n(bytes.begin() + static_cast<std::ptrdiff_t>(taken), more,
                message_.body.begin() + static_cast<std::ptrdiff_t>(message_.bodySize));
    message_.bodySize += more;
    held_ += more;
    if (held_ == message_.header.byteCount) {
        complete = true;
        held_ = 0;
    }
    return taken + more;
}

} // namespace tarvik::hartip

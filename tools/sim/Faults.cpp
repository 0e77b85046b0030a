#include "Faults.h"

#include <algorithm>
#include <sstream>
#include <stdexcept>

#include "HartDevice.h"
#include "hart/Frame.h"

namespace tarvik::sim {
namespace {

constexpr std::size_t kMaxGarbage = 24;

std::size_t PreambleLength(const Bytes& frame) {
    std::size_t n = 0;
    while (n < frame.size() && frame[n] == kPreambleByte)
        ++n;
    return n;
}

} // namespace

const char* FaultName(Fault f) {
    switch (f) {
    case Fault::None:
        return "none";
    case Fault::Late:
        return "late";
    case Fault::Silent:
        return "silent";
    case Fault::Checksum:
        return "checksum";
    case Fault::Short:
        return "short";
    case Fault::Truncated:
        return "truncated";
    case Fault::Garbage:
        return "garbage";
    }
    return "?";
}

FaultRates ParseFaultRates(const std::string& text) {
    FaultRates r;
    std::istringstream in(text);
    std::string item;
    while (std::getline(in, item, ',')) {
        if (item.empty()) continue;
        const auto eq = item.find('=');
        if (eq == std::string::npos) throw std::invalid_argument("fault '" + item + "' needs =rate");
        const std::string name = item.substr(0, eq);
        double rate = 0;
        try {
            std::size_t used = 0;
            rate = std::stod(item.substr(eq + 1), &used);
            if (used != item.size() - eq - 1) throw std::invalid_argument("");
        } catch (const std::exception&) {
            throw std::invalid_argument("fault '" + name + "': rate is not a number");
        }
        if (!(rate >= 0 && rate <= 1))
            throw std::invalid_argument("fault '" + name + "': rate must lie in 0..1");
        if (name == "late")
            r.late = rate;
        else if (name == "silent")
            r.silent = rate;
        else if (name == "checksum")
            r.checksum = rate;
        else if (name == "short")
            r.shortReply = rate;
        else if (name == "truncated")
            r.truncated = rate;
        else if (name == "garbage")
            r.garbage = rate;
        else
            throw std::invalid_argument("unknown fault '" + name +
                                        "' (late, silent, checksum, short, truncated, garbage)");
    }
    if (r.Total() > 1.0 + 1e-9) throw std::invalid_argument("fault rates add up to more than 1");
    return r;
}

FaultPlan FaultInjector::Apply(Bytes reply, Protocol protocol) {
    const double u = std::uniform_real_distribution<double>(0.0, 1.0)(rng_);
    const std::pair<double, Fault> order[] = {
        {rates_.late, Fault::Late},           {rates_.silent, Fault::Silent},
        {rates_.checksum, Fault::Checksum},   {rates_.shortReply, Fault::Short},
        {rates_.truncated, Fault::Truncated}, {rates_.garbage, Fault::Garbage},
    };
    double edge = 0;
    for (const auto& [rate, fault] : order) {
        edge += rate;
        if (rate > 0 && u < edge) return Inject(fault, std::move(reply), protocol);
    }
    return {Fault::None, std::move(reply), 0};
}

FaultPlan FaultInjector::Inject(Fault fault, Bytes reply, Protocol protocol) {
    FaultPlan plan{fault, {}, 0};
    switch (fault) {
    case Fault::None:
        plan.bytes = std::move(reply);
        break;
    case Fault::Late:
        plan.bytes = std::move(reply);
        plan.extraDelayMs = lateMs_;
        break;
    case Fault::Silent:
        break;
    case Fault::Checksum:
        plan.bytes = std::move(reply);
        if (!plan.bytes.empty()) {
            if (protocol == Protocol::Hart) {
                plan.bytes.back() ^= 0x01; // the checksum byte
            } else {
                // No checksum on this line: a flipped bit in the last value character instead.
                const std::size_t at = plan.bytes.size() > 4 ? plan.bytes.size() - 4 : 0;
                plan.bytes[at] ^= 0x40; // a digit becomes a letter
            }
        }
        break;
    case Fault::Short:
        if (protocol == Protocol::Hart) {
            // A status-only reply, response code busy, to the same command (short or long frame).
            const std::size_t p = PreambleLength(reply);
            hart::FrameDecoder decoder;
            decoder.Feed(reply, [&](const hart::Frame& f) {
                hart::FrameBytes busy;
                const auto master = f.FromPrimary() ? hart::Master::Primary : hart::Master::Secondary;
                if (hart::BuildReply(f.type, f.DeviceAddress(), master, f.command, kRcBusy, f.DeviceStatus(),
                                     {}, std::min(p, hart::kMaxPreambles), busy))
                    plan.bytes.assign(busy.Bytes().begin(), busy.Bytes().end());
            });
        } else {
            // The head of the line without its value fields.
            const std::string text(reply.begin(), reply.end());
            const auto second = text.find(',', text.find(',') + 1);
            const std::string head = second == std::string::npos ? text : text.substr(0, second + 1) + "\r\n";
            plan.bytes.assign(head.begin(), head.end());
        }
        break;
    case Fault::Truncated: {
        const std::size_t keep =
            reply.size() < 2 ? 0 : std::uniform_int_distribution<std::size_t>(1, reply.size() - 1)(rng_);
        plan.bytes.assign(reply.begin(), reply.begin() + static_cast<std::ptrdiff_t>(keep));
        break;
    }
    case Fault::Garbage: {
        const std::size_t n = std::uniform_int_distribution<std::size_t>(1, kMaxGarbage)(rng_);
        std::uniform_int_distribution<int> byte(0, 0xFE); // 0xFF alone would read as a preamble
        for (std::size_t i = 0; i < n; ++i)
            plan.bytes.push_back(static_cast<std::uint8_t>(byte(rng_)));
        break;
    }
    }
    return plan;
}

} // namespace tarvik::sim

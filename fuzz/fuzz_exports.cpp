// Every export against any reply: the first bytes choose the export and its arguments, the rest is
// what the device sends back. No crash, no sanitizer report, no result outside the export's
// documented set, and no output written on a result that must not write it.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <set>
#include <vector>

#include "FuzzLine.h"
#include "TarvikDLL.h"
#include "support/EveryExport.h"

namespace {

using tarvik::test::Arena;
using Entry = tarvik::test::ExportRow;

const std::set<int> kDigitalCommon{ResultOk,         ResultDeviceStatus,      ResultBadPort,
                                   ResultBadBaud,    ResultPortAbsent,        ResultPortBusy,
                                   ResultNoReply,    ResultBadLength,         ResultBadChecksum,
                                   ResultErrorReply, ResultErrorReplyChecksum};
const std::set<int> kReadoutCommon{ResultOk,       ResultBadPort, ResultPortAbsent,
                                   ResultPortBusy, ResultNoReply, ResultBadChannel};

// Outputs a result may write: digital results write everything (Ok, DeviceStatus), the status
// bytes (ErrorReply, EchoMismatch) or nothing; read-out results write only after a reply came.
bool OutputsFollowTheRules(const Entry& e, int result, const Arena& o) {
    if (e.digital) {
        if (result == ResultOk || result == ResultDeviceStatus) return true;
        if (result == ResultErrorReply || result == ResultEchoMismatch)
            return o.UntouchedExcept({Arena::kStatus1, Arena::kStatus2});
        return o.UntouchedExcept({});
    }
    const bool replyRead = result == ResultOk || e.extra.count(result) > 0;
    return replyRead || o.UntouchedExcept({});
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::vector<Entry>& exports = tarvik::test::EveryExport();
    if (size < 8) return 0;
    const Entry& e = exports[data[0] % exports.size()];
    constexpr std::int32_t kBauds[] = {1200, 2400, 3600, 4800, 7200, 9600, 19200, 38400, 14400, 0};
    tarvik::test::ExportArgs args{};
    args.port = data[1] < 240 ? 1 : data[1] - 240; // mostly the fake COM1; sometimes absent or bad
    args.baud = kBauds[data[2] % std::size(kBauds)];
    args.a = static_cast<std::int8_t>(data[3]) * ((data[4] & 0x80) ? 257 : 1);
    args.b = data[4] & 0x7F;
    std::memcpy(&args.c, data + 4, sizeof args.c);
    tarvik::fuzz::SetReply(data + 8, size - 8);

    Arena out;
    const int result = e.call(args, out);
    const std::set<int>& common = e.digital ? kDigitalCommon : kReadoutCommon;
    if (!common.count(result) && !e.extra.count(result)) std::abort();
    if (!OutputsFollowTheRules(e, result, out)) std::abort();
    return 0;
}

#include "WriteShow.h"

#include <fmt/format.h>

#include "Facts.h"

namespace tarvik::cli {

std::int32_t RunWriteAndShow(Report& r, const WriteAndShow& w) {
    const std::int32_t rc = w.write();
    if (!w.took(rc)) return rc;
    w.showWritten(r);
    const std::int32_t read = w.readBack(r);
    if (w.took(read)) return rc;
    const auto fact = tools::Facts::Get().Result(read);
    r.Warning(fmt::format("the {} took the write, but reading back the {} failed: {}", w.holder, w.what,
                          fact ? fact->name : std::to_string(read)));
    return rc;
}

} // namespace tarvik::cli

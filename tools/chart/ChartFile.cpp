#include "ChartFile.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <stdexcept>

#ifdef _WIN32
#include <process.h>
#include <windows.h>
#else
#include <unistd.h>
#endif

namespace tarvik::chart {
namespace {

int ProcessId() {
#ifdef _WIN32
    return _getpid();
#else
    return static_cast<int>(::getpid());
#endif
}

std::string SystemError(int code) {
    return std::strerror(code);
}

} // namespace

void WriteFileAtomically(const std::string& path, const std::string& content) {
    const std::string temp = path + ".tmp" + std::to_string(ProcessId());
    std::FILE* f = std::fopen(temp.c_str(), "wb");
    if (!f) throw std::runtime_error("cannot write " + path + ": " + SystemError(errno));
    const bool written = std::fwrite(content.data(), 1, content.size(), f) == content.size();
    const int writeError = errno;
    const bool closed = std::fclose(f) == 0;
    if (!written || !closed) {
        const int code = !written ? writeError : errno;
        std::remove(temp.c_str());
        throw std::runtime_error("cannot write " + path + ": " + SystemError(code));
    }
#ifdef _WIN32
    // rename() does not replace an existing file on Windows.
    if (!::MoveFileExA(temp.c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING)) {
        const DWORD code = ::GetLastError();
        std::remove(temp.c_str());
        throw std::runtime_error("cannot replace " + path + ": Windows error " + std::to_string(code));
    }
#else
    if (std::rename(temp.c_str(), path.c_str()) != 0) {
        const int code = errno;
        std::remove(temp.c_str());
        throw std::runtime_error("cannot replace " + path + ": " + SystemError(code));
    }
#endif
}

LiveChart::LiveChart(std::string path, std::string title, RenderOptions options)
    : path_(std::move(path)), title_(std::move(title)), options_(std::move(options)) {
    if (!Write()) throw std::runtime_error(error_);
}

void LiveChart::Add(const std::string& name, const std::string& unit, std::string_view time,
                    std::optional<double> value) {
    // The clock text comes from the tool itself; should it ever not parse, the poll cannot be placed.
    if (const auto t = ParseWallTime(time)) recorder_.Add(name, unit, *t, value);
}

bool LiveChart::Write() {
    try {
        WriteFileAtomically(path_, RenderSvg({title_, recorder_.Collected()}, options_));
        error_.clear();
        return true;
    } catch (const std::exception& e) {
        error_ = e.what();
        return false;
    }
}

} // namespace tarvik::chart

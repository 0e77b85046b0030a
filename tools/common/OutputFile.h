// Every file the tools write (logs, charts, JSON, buffers) goes through here, so that a path that
// is not a regular file keeps what it is: a device node or FIFO is written into, never replaced,
// truncated or created anew; "-" is standard output.
#pragma once

#include <cstdio>
#include <string>
#include <string_view>

namespace tarvik::tools {

// What a path names, looked at before writing (links followed).
enum class PathKind {
    Missing, // nothing there yet: a regular file is made
    Regular, // a regular file
    Stdout,  // "-"
    Stream,  // a character device or FIFO: written into as it is
    Refused, // a directory, socket or block device: never written
};
PathKind KindOfPath(const std::string& path);

// Writes `content` as the whole of `path`. A regular file (or a new one) is replaced in one step
// by a temporary file beside it, so a reader never sees half a document, and nothing is left
// behind on failure; a link to one keeps being a link. A device or FIFO gets `content` written
// into it (a FIFO only while something reads it); "-" writes to standard output. Throws
// std::runtime_error naming the file and the reason; the old file then stays as it was.
void WriteWholeFile(const std::string& path, std::string_view content);

// A file written piece by piece: a log. Opening follows the same rules as WriteWholeFile: a
// regular file is appended to or (Truncate) started anew, a missing one is made; a device or FIFO
// is written into as it is; "-" is standard output.
class OutputFile {
public:
    enum class Mode { Append, Truncate };
    // Throws std::runtime_error naming the file and the reason.
    OutputFile(const std::string& path, Mode mode);
    ~OutputFile();
    OutputFile(const OutputFile&) = delete;
    OutputFile& operator=(const OutputFile&) = delete;

    // False when the bytes could not be written (the disk is full, the reader went away); Error()
    // then says why, and later writes are not tried.
    bool Write(std::string_view text);
    // Hands what was written to the system; false as Write.
    bool Flush();
    const std::string& Error() const { return error_; }
    const std::string& Path() const { return path_; }
    // True when this is the process's standard output ("-", /dev/stdout or the file it names).
    bool IsStdout() const { return isStdout_; }
    // True when the file is a regular file (not a device, FIFO or standard output).
    bool IsRegular() const { return regular_; }

private:
    bool Fail(int code);

    std::string path_;
    std::FILE* file_ = nullptr;
    bool owned_ = false;
    bool isStdout_ = false;
    bool regular_ = false;
    std::string error_;
};

// Flushes standard output and tells whether everything written to it arrived; `error` says why not.
bool StdoutWritten(std::string& error);

// Whether `stream` is a terminal (live progress and redrawn lines only go to one).
bool IsTerminal(std::FILE* stream);

} // namespace tarvik::tools

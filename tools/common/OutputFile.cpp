#include "OutputFile.h"

#include <cerrno>
#include <cstring>
#include <stdexcept>

#include <fcntl.h>
#include <sys/stat.h>

#ifdef _WIN32
#include <io.h>
#include <process.h>
#include <windows.h>
#else
#include <climits>
#include <cstdlib>
#include <unistd.h>
#endif

namespace tarvik::tools {
namespace {

constexpr const char* kStdoutName = "-";

std::runtime_error Failure(const std::string& what, const std::string& path, int code) {
    return std::runtime_error("cannot " + what + " " + path + ": " + std::strerror(code));
}

int ProcessId() {
#ifdef _WIN32
    return _getpid();
#else
    return static_cast<int>(::getpid());
#endif
}

#ifndef _WIN32
// The file a link leads to, so that replacing it keeps the link; `path` itself otherwise.
std::string Resolved(const std::string& path) {
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) return path;
    char real[PATH_MAX];
    return ::realpath(path.c_str(), real) ? std::string(real) : path;
}

bool SameFileAsStdout(int fd) {
    struct stat mine {
    }, out{};
    return ::fstat(fd, &mine) == 0 && ::fstat(STDOUT_FILENO, &out) == 0 && mine.st_dev == out.st_dev &&
           mine.st_ino == out.st_ino;
}
#endif

// Replaces the regular (or missing) file `path` through a temporary file beside it.
void ReplaceRegular(const std::string& path, std::string_view content) {
#ifdef _WIN32
    const std::string target = path;
#else
    const std::string target = Resolved(path);
#endif
    const std::string temp = target + ".tmp" + std::to_string(ProcessId());
    {
        OutputFile out(temp, OutputFile::Mode::Truncate);
        if (!out.Write(content) || !out.Flush()) {
            const std::string why = out.Error();
            std::remove(temp.c_str());
            throw std::runtime_error("cannot write " + path + ": " + why);
        }
    }
    // Something else may have taken the name meanwhile: a file only ever replaces a file.
    const PathKind now = KindOfPath(target);
    if (now != PathKind::Missing && now != PathKind::Regular) {
        std::remove(temp.c_str());
        throw std::runtime_error("cannot replace " + path + ": it is no longer a regular file");
    }
#ifdef _WIN32
    // rename() does not replace an existing file on Windows.
    if (!::MoveFileExA(temp.c_str(), target.c_str(), MOVEFILE_REPLACE_EXISTING)) {
        const DWORD code = ::GetLastError();
        std::remove(temp.c_str());
        throw std::runtime_error("cannot replace " + path + ": Windows error " + std::to_string(code));
    }
#else
    if (std::rename(temp.c_str(), target.c_str()) != 0) {
        const int code = errno;
        std::remove(temp.c_str());
        throw Failure("replace", path, code);
    }
#endif
}

} // namespace

PathKind KindOfPath(const std::string& path) {
    if (path == kStdoutName) return PathKind::Stdout;
#ifdef _WIN32
    struct _stat64 st {};
    if (::_stat64(path.c_str(), &st) != 0) return errno == ENOENT ? PathKind::Missing : PathKind::Refused;
    if ((st.st_mode & _S_IFMT) == _S_IFREG) return PathKind::Regular;
    return (st.st_mode & _S_IFMT) == _S_IFCHR ? PathKind::Stream : PathKind::Refused;
#else
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) return errno == ENOENT ? PathKind::Missing : PathKind::Refused;
    if (S_ISREG(st.st_mode)) return PathKind::Regular;
    return S_ISCHR(st.st_mode) || S_ISFIFO(st.st_mode) ? PathKind::Stream : PathKind::Refused;
#endif
}

void WriteWholeFile(const std::string& path, std::string_view content) {
    const PathKind kind = KindOfPath(path);
    if (kind == PathKind::Missing || kind == PathKind::Regular) return ReplaceRegular(path, content);
    OutputFile out(path, OutputFile::Mode::Truncate); // refuses what is neither; never truncates a device
    if (!out.Write(content) || !out.Flush())
        throw std::runtime_error("cannot write " + out.Path() + ": " + out.Error());
}

OutputFile::OutputFile(const std::string& path, Mode mode) : path_(path) {
    const PathKind kind = KindOfPath(path);
    if (kind == PathKind::Stdout) {
        path_ = "standard output";
        file_ = stdout;
        isStdout_ = true;
        return;
    }
    if (kind == PathKind::Refused) {
        struct stat st {};
        const int code = ::stat(path.c_str(), &st) != 0 ? errno : 0;
        if (code != 0) throw Failure("write", path, code);
        throw std::runtime_error("cannot write " + path + ": " +
                                 ((st.st_mode & S_IFMT) == S_IFDIR
                                      ? "it is a directory"
                                      : "it is not a regular file, character device or FIFO"));
    }
#ifdef _WIN32
    const bool stream = kind == PathKind::Stream;
    file_ = std::fopen(path.c_str(), stream || mode == Mode::Append ? "ab" : "wb");
    if (!file_) throw Failure("write", path, errno);
    regular_ = !stream;
#else
    // Never O_TRUNC or O_CREAT on what is there already: a regular file is emptied only once it is
    // known to be one. A FIFO opens without waiting, and fails when nothing reads it.
    const bool stream = kind == PathKind::Stream;
    int flags = O_WRONLY | O_NOCTTY | O_CLOEXEC | (stream ? O_NONBLOCK : O_CREAT);
    if (mode == Mode::Append && !stream) flags |= O_APPEND;
    const int fd = ::open(path.c_str(), flags, 0666);
    if (fd < 0) {
        if (errno == ENXIO) throw std::runtime_error("cannot write " + path + ": no process reads this FIFO");
        throw Failure("write", path, errno);
    }
    struct stat st {};
    ::fstat(fd, &st);
    regular_ = S_ISREG(st.st_mode);
    if (stream) ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    if (regular_ && mode == Mode::Truncate && ::ftruncate(fd, 0) != 0) {
        const int code = errno;
        ::close(fd);
        throw Failure("write", path, code);
    }
    isStdout_ = SameFileAsStdout(fd);
    file_ = ::fdopen(fd, mode == Mode::Append ? "ab" : "wb");
    if (!file_) {
        const int code = errno;
        ::close(fd);
        throw Failure("write", path, code);
    }
#endif
    owned_ = true;
}

OutputFile::~OutputFile() {
    if (owned_) std::fclose(file_);
}

bool OutputFile::Fail(int code) {
    if (error_.empty()) error_ = code != 0 ? std::strerror(code) : "write failed";
    return false;
}

bool OutputFile::Write(std::string_view text) {
    if (!error_.empty()) return false;
    errno = 0;
    if (std::fwrite(text.data(), 1, text.size(), file_) != text.size()) return Fail(errno);
    return true;
}

bool OutputFile::Flush() {
    if (!error_.empty()) return false;
    errno = 0;
    if (std::fflush(file_) != 0 || std::ferror(file_)) return Fail(errno);
    return true;
}

bool IsTerminal(std::FILE* stream) {
#ifdef _WIN32
    return _isatty(_fileno(stream)) != 0;
#else
    return ::isatty(::fileno(stream)) == 1;
#endif
}

bool StdoutWritten(std::string& error) {
    static std::string first; // the error stays on the stream; its cause is only known once
    errno = 0;
    const bool flushed = std::fflush(stdout) == 0;
    const int code = errno;
    if (flushed && !std::ferror(stdout)) return true;
    if (first.empty()) first = code != 0 ? std::strerror(code) : "a write failed";
    error = first;
    return false;
}

} // namespace tarvik::tools

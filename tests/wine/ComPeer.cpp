#include "ComPeer.h"

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <mutex>
#include <stdexcept>

namespace tarvik::e2e {

namespace {

constexpr int kQuietGapMs = 15; // a request ends after this much silence
constexpr int kPollMs = 1;
constexpr char kPeerPortsVariable[] = "TARVIK_PEER_PORTS";
constexpr std::uint8_t kCarriageReturn = '\r';

} // namespace

std::string PeerDeviceFor(int com) {
    const char* map = std::getenv(kPeerPortsVariable);
    if (map == nullptr) return {};
    const std::string text = map;
    std::size_t pos = 0;
    while (pos < text.size()) {
        std::size_t end = text.find(',', pos);
        if (end == std::string::npos) end = text.size();
        const std::string entry = text.substr(pos, end - pos);
        const std::size_t colon = entry.find(':');
        if (colon != std::string::npos && std::atoi(entry.substr(0, colon).c_str()) == com)
            return entry.substr(colon + 1);
        pos = end + 1;
    }
    return {};
}

ComPeer::ComPeer(int com) {
    const std::string name = PeerDeviceFor(com);
    if (name.empty()) throw std::runtime_error("no peer port wired to COM" + std::to_string(com));
    // The device namespace form opens every COM number (a bare name only COM1 to COM9).
    const std::string device = "\\\\.\\" + name;
    handle_ =
        CreateFileA(device.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (handle_ == INVALID_HANDLE_VALUE)
        throw std::runtime_error("cannot open " + device + ": code " + std::to_string(GetLastError()));
    // A raw 8-bit line without flow control; reads return at once with what is queued.
    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    GetCommState(handle_, &dcb);
    dcb.fBinary = TRUE;
    dcb.fParity = FALSE;
    dcb.Parity = NOPARITY;
    dcb.ByteSize = 8;
    dcb.StopBits = ONESTOPBIT;
    dcb.fOutX = dcb.fInX = FALSE;
    dcb.fOutxCtsFlow = dcb.fOutxDsrFlow = FALSE;
    dcb.fNull = FALSE;
    dcb.fErrorChar = FALSE;
    SetCommState(handle_, &dcb);
    COMMTIMEOUTS t{};
    t.ReadIntervalTimeout = MAXDWORD;
    SetCommTimeouts(handle_, &t);
    PurgeComm(handle_, PURGE_RXCLEAR | PURGE_TXCLEAR);
    thread_ = std::thread([this] { Run(); });
}

ComPeer::~ComPeer() {
    stop_ = true;
    thread_.join();
    CloseHandle(handle_);
}

void ComPeer::Reply(Bytes bytes, int delayMs) {
    std::lock_guard lock(mutex_);
    replies_.push_back({std::move(bytes), delayMs});
}

void ComPeer::ReplySplit(Bytes bytes, std::size_t splitAt, int delayMs, int splitDelayMs) {
    std::lock_guard lock(mutex_);
    replies_.push_back({std::move(bytes), delayMs, splitAt, splitDelayMs});
}

Bytes ComPeer::Received() const {
    std::lock_guard lock(mutex_);
    return received_;
}

std::vector<Bytes> ComPeer::Requests() const {
    std::lock_guard lock(mutex_);
    return requests_;
}

bool ComPeer::WaitForRequests(std::size_t n, int timeoutMs) const {
    const auto until = Clock::now() + std::chrono::milliseconds(timeoutMs);
    std::lock_guard lock(mutex_);
    while (requests_.size() < n) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(until - Clock::now());
        if (left.count() <= 0) return false;
        SleepConditionVariableSRW(&changed_, &mutex_.srw, static_cast<DWORD>(left.count()), 0);
    }
    return true;
}

void ComPeer::Park() {
    parkAsked_ = true;
    while (!parked_ && !stop_)
        Sleep(kPollMs);
}

void ComPeer::Unpark() {
    parkAsked_ = false;
    while (parked_)
        Sleep(kPollMs);
}

void ComPeer::ClearReceived() {
    std::lock_guard lock(mutex_);
    received_.clear();
    requests_.clear();
}

void ComPeer::Send(const Bytes& bytes) {
    Write(bytes.data(), bytes.size());
}

void ComPeer::Write(const std::uint8_t* data, std::size_t n) {
    while (n > 0) {
        DWORD written = 0;
        if (!WriteFile(handle_, data, static_cast<DWORD>(n), &written, nullptr) || written == 0) return;
        data += written;
        n -= written;
    }
}

bool ComPeer::SleepUnlessStopped(int ms) {
    const auto until = Clock::now() + std::chrono::milliseconds(ms);
    while (Clock::now() < until) {
        if (stop_) return false;
        Sleep(kPollMs);
    }
    return !stop_;
}

void ComPeer::Answer(const Scripted& reply, Clock::time_point due) {
    const std::size_t end = reply.bytes.size();
    const std::size_t split = reply.splitAt > 0 && reply.splitAt < end ? reply.splitAt : end;
    if (!SleepUnlessStopped(reply.delayMs)) return;
    lateMs_ = static_cast<int>(std::max<std::int64_t>(
        0, std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - due).count()));
    Write(reply.bytes.data(), split);
    if (split < end && SleepUnlessStopped(reply.splitDelayMs)) Write(reply.bytes.data() + split, end - split);
}

void ComPeer::Run() {
    Bytes current;
    auto lastByte = Clock::now();
    while (!stop_) {
        if (parkAsked_) {
            parked_ = true;
            while (parkAsked_ && !stop_)
                Sleep(kPollMs);
            parked_ = false;
            continue;
        }
        std::uint8_t buf[4096];
        DWORD n = 0;
        if (!ReadFile(handle_, buf, sizeof buf, &n, nullptr)) n = 0;
        bool ended = false;
        if (n > 0) {
            std::lock_guard lock(mutex_);
            received_.insert(received_.end(), buf, buf + n);
            current.insert(current.end(), buf, buf + n);
            lastByte = Clock::now();
            ended = lineMode_ && current.back() == kCarriageReturn;
        } else {
            ended = !current.empty() && Clock::now() - lastByte >= std::chrono::milliseconds(kQuietGapMs);
            if (!ended) Sleep(kPollMs);
        }
        if (!ended) continue;

        bool answer = false;
        Scripted reply;
        {
            std::lock_guard lock(mutex_);
            requests_.push_back(current);
            if (!replies_.empty()) {
                reply = std::move(replies_.front());
                replies_.pop_front();
                answer = true;
            }
        }
        WakeAllConditionVariable(&changed_);
        current.clear();
        if (!answer) continue;
        // The reply delay counts from the last byte of the request, not from the quiet gap.
        const auto due = lastByte + std::chrono::milliseconds(reply.delayMs);
        const auto since = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - lastByte);
        reply.delayMs = std::max(0, reply.delayMs - static_cast<int>(since.count()));
        Answer(reply, due);
    }
}

std::unique_ptr<Peer> MakePeer(int com) {
    return std::make_unique<ComPeer>(com);
}

int AbsentPort() {
    // The highest port number whose "COM<n>" the system does not list.
    std::vector<char> names(65536);
    const DWORD n = QueryDosDeviceA(nullptr, names.data(), static_cast<DWORD>(names.size() - 1));
    for (int port = 40; port >= 1; --port) {
        const std::string wanted = "COM" + std::to_string(port);
        bool listed = false;
        for (std::size_t i = 0, start = 0; i < n; ++i) {
            if (names[i] != '\0') continue;
            listed = listed || std::string(names.data() + start, i - start) == wanted;
            start = i + 1;
        }
        if (!listed) return port;
    }
    return 40;
}

void PauseMs(int ms) {
    Sleep(static_cast<DWORD>(ms));
}

} // namespace tarvik::e2e

// TarvikHartDecode: the universal commands' replies, walked by WalkHartReply (tarvik/HartFields.h),
// as named fields for C hosts. Field names are the walk's keys, the command line's JSON names.
#include <algorithm>
#include <cstring>
#include <optional>
#include <string_view>

#include "HartCInternal.h"
#include "tarvik/HartFields.h"

namespace tarvik::link::c {

namespace {

constexpr int kYearBase = 1900;

class Fields {
public:
    Fields(TarvikHartField* out, std::size_t capacity) : out_(out), capacity_(capacity) {}

    void Integer(const char* name, std::int64_t v) {
        Number(name, TarvikHartInteger, static_cast<double>(v));
    }
    void Real(const char* name, float v) { Number(name, TarvikHartFloat, static_cast<double>(v)); }
    template <class T>
    void Integer(const char* name, const std::optional<T>& v) {
        if (v) Integer(name, static_cast<std::int64_t>(*v));
    }
    void Real(const char* name, const std::optional<float>& v) {
        if (v) Real(name, *v);
    }
    void Text(const char* name, std::string_view text) {
        Raw(name, TarvikHartText, reinterpret_cast<const std::uint8_t*>(text.data()), text.size());
    }
    void Bytes(const char* name, std::span<const std::uint8_t> bytes) {
        Raw(name, TarvikHartBytes, bytes.data(), bytes.size());
    }
    std::size_t Count() const { return count_; }
    bool Overflowed() const { return overflow_; }

private:
    TarvikHartField* Next(const char* name, std::int32_t kind) {
        if (count_ == capacity_) {
            overflow_ = true;
            return nullptr;
        }
        TarvikHartField* f = &out_[count_++];
        *f = TarvikHartField{};
        f->name = name;
        f->kind = kind;
        return f;
    }
    void Number(const char* name, std::int32_t kind, double v) {
        if (TarvikHartField* f = Next(name, kind)) f->number = v;
    }
    void Raw(const char* name, std::int32_t kind, const std::uint8_t* data, std::size_t n) {
        TarvikHartField* f = Next(name, kind);
        if (!f) return;
        n = std::min(n, sizeof f->text - 1); // every codec text fits; the NUL always does
        std::memcpy(f->text, data, n);
        f->size = static_cast<std::uint32_t>(n);
    }

    TarvikHartField* out_;
    std::size_t capacity_, count_ = 0;
    bool overflow_ = false;
};

void AddIdentity(Fields& f, const hart::Identity& id) {
    f.Integer("complete", id.complete ? 1 : 0);
    if (id.complete) f.Bytes("long_address", id.LongAddress().unique);
    f.Integer("expansion", id.expansion);
    f.Integer("manufacturer", id.manufacturer);
    f.Integer("device_type", id.deviceType);
    f.Integer("preambles", id.preambles);
    f.Integer("universal_revision", id.universalRevision);
    f.Integer("device_revision", id.deviceRevision);
    f.Integer("software_revision", id.softwareRevision);
    f.Integer("hardware_revision", id.hardwareRevision);
    f.Integer("signalling", id.signalling);
    f.Integer("flags", id.flags);
    f.Integer("device_id", (id.deviceId[0] << 16) | (id.deviceId[1] << 8) | id.deviceId[2]);
    f.Integer("reply_preambles", id.replyPreambles);
    f.Integer("last_device_variable", id.lastDeviceVariable);
    f.Integer("config_change_counter", id.configChangeCounter);
    f.Integer("extended_status", id.extendedStatus);
    f.Integer("manufacturer_code", id.manufacturerCode);
    f.Integer("private_label", id.privateLabel);
    f.Integer("profile", id.profile);
}

// Renders the walk's values as C fields: numbers as numbers, a measured variable as its value and
// unit code, the date as its three parts.
class CSink final : public HartFieldSink {
public:
    explicit CSink(Fields& f) : f_(f) {}
    void Integer(const HartFieldName& name, std::int64_t value, HartInteger) override {
        f_.Integer(name.key, value);
    }
    void Real(const HartFieldName& name, float value, std::optional<std::uint8_t>) override {
        f_.Real(name.key, value);
    }
    void Measured(const HartFieldName& name, const char* unitKey, std::optional<float> value,
                  std::optional<std::uint8_t> unitCode) override {
        f_.Real(name.key, value);
        f_.Integer(unitKey, unitCode);
    }
    void Text(const HartFieldName& name, std::string_view text) override { f_.Text(name.key, text); }
    void Bytes(const HartFieldName& name, std::span<const std::uint8_t> bytes) override {
        f_.Bytes(name.key, bytes);
    }
    void Date(std::optional<std::uint8_t> day, std::optional<std::uint8_t> month,
              std::optional<std::uint8_t> yearSince1900) override {
        f_.Integer("day", day);
        f_.Integer("month", month);
        if (yearSince1900) f_.Integer("year", kYearBase + *yearSince1900);
    }
    void Identity(const hart::Identity& id) override { AddIdentity(f_, id); }

private:
    Fields& f_;
};

} // namespace

std::int32_t IdentityFields(const hart::Identity& id, TarvikHartField* out, std::size_t capacity,
                            std::int32_t* count) {
    Fields f(out, capacity);
    AddIdentity(f, id);
    *count = static_cast<std::int32_t>(f.Count());
    return f.Overflowed() ? ResultBadLength : ResultOk;
}

std::int32_t DecodeFields(std::uint8_t command, std::span<const std::uint8_t> data, TarvikHartField* out,
                          std::size_t capacity, std::int32_t* count) {
    Fields f(out, capacity);
    CSink sink(f);
    WalkHartReply(command, data, sink);
    *count = static_cast<std::int32_t>(f.Count());
    return f.Overflowed() ? ResultBadLength : ResultOk;
}

} // namespace tarvik::link::c

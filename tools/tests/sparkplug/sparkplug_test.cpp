// Sparkplug B payloads: every encoding is decoded by an independent implementation (the npm package
// `sparkplug-payload`, through decode.js) and compared with what a host must read, and decoded back
// by our own codec.
#include <gtest/gtest.h>

#include <fstream>
#include <limits>
#include <sstream>

#include "Kit.h"
#include "SparkplugPayload.h"

namespace tarvik::sparkplug {
namespace {

using nlohmann::json;

std::string Hex(std::string_view bytes) {
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string out;
    for (const unsigned char c : bytes)
        out.append(1, kDigits[c >> 4]).append(1, kDigits[c & 15]);
    return out;
}

Metric Make(std::string name, DataType t, Value v) {
    Metric m;
    m.name = std::move(name);
    m.timestamp = 1765180800123;
    m.datatype = t;
    m.value = std::move(v);
    return m;
}

struct Case {
    const char* what;
    Payload payload;
    const char* decoded; // as the independent decoder reads it
};

std::vector<Case> Cases() {
    Metric flow = Make("mfc1/flow", DataType::Float, 12.5f);
    flow.engUnit = "l/min";
    flow.quality = kQualityGood;
    Metric old = Make("", DataType::Int8, std::int64_t{-1});
    old.alias = 3;
    old.historical = true;
    old.quality = kQualityStale;
    return {
        {"node birth",
         {1765180800000,
          0,
          {Make("bdSeq", DataType::UInt64, std::uint64_t{255}),
           Make("Node Control/Rebirth", DataType::Boolean, false)}},
         R"({"timestamp":1765180800000,"seq":0,"metrics":[
             {"name":"bdSeq","type":"UInt64","value":255,"timestamp":1765180800123},
             {"name":"Node Control/Rebirth","type":"Boolean","value":false,"timestamp":1765180800123}]})"},
        {"every datatype",
         {1,
          255,
          {flow, Make("i16", DataType::Int16, std::int64_t{-300}),
           Make("i32", DataType::Int32, std::int64_t{std::numeric_limits<std::int32_t>::min()}),
           Make("i64", DataType::Int64, std::int64_t{-5000000000000}),
           Make("u8", DataType::UInt8, std::uint64_t{255}),
           Make("u16", DataType::UInt16, std::uint64_t{65535}),
           Make("u32", DataType::UInt32, std::uint64_t{4000000000}),
           Make("u64", DataType::UInt64, std::uint64_t{9223372036854775809u}),
           Make("d", DataType::Double, 0.1), Make("s", DataType::String, std::string("m\xc3\xa4rz")),
           Make("t", DataType::DateTime, std::uint64_t{1765180800000}),
           Make("b", DataType::Bytes, std::string("\x00\xff", 2)),
           Make("none", DataType::Double, std::monostate{})}},
         R"({"timestamp":1,"seq":255,"metrics":[
             {"name":"mfc1/flow","type":"Float","value":12.5,"timestamp":1765180800123,
              "properties":{"engUnit":{"type":"String","value":"l/min"},"Quality":{"type":"Int32","value":192}}},
             {"name":"i16","type":"Int16","value":-300,"timestamp":1765180800123},
             {"name":"i32","type":"Int32","value":-2147483648,"timestamp":1765180800123},
             {"name":"i64","type":"Int64","value":-5000000000000,"timestamp":1765180800123},
             {"name":"u8","type":"UInt8","value":255,"timestamp":1765180800123},
             {"name":"u16","type":"UInt16","value":65535,"timestamp":1765180800123},
             {"name":"u32","type":"UInt32","value":4000000000,"timestamp":1765180800123},
             {"name":"u64","type":"UInt64","value":"9223372036854775809","timestamp":1765180800123},
             {"name":"d","type":"Double","value":0.1,"timestamp":1765180800123},
             {"name":"s","type":"String","value":"märz","timestamp":1765180800123},
             {"name":"t","type":"DateTime","value":1765180800000,"timestamp":1765180800123},
             {"name":"b","type":"Bytes","value":"00ff","timestamp":1765180800123},
             {"name":"none","type":"Double","value":null,"timestamp":1765180800123}]})"},
        {"data by alias, historical",
         {2, 7, {old}},
         R"({"timestamp":2,"seq":7,"metrics":[{"alias":3,"type":"Int8","value":-1,"timestamp":1765180800123,
             "isHistorical":true,"properties":{"Quality":{"type":"Int32","value":500}}}]})"},
        {"node death: no seq",
         {3, std::nullopt, {Make("bdSeq", DataType::UInt64, std::uint64_t{0})}},
         R"({"timestamp":3,"metrics":[{"name":"bdSeq","type":"UInt64","value":0,"timestamp":1765180800123}]})"},
    };
}

// The decoder's JSON, one line per payload; empty when it cannot run (then the test is skipped).
std::vector<json> DecodeIndependently(const std::vector<std::string>& payloads, std::string& why) {
    const std::string input = testing::TempDir() + "/tarvik-sparkplug-payloads";
    {
        std::ofstream out(input);
        for (const std::string& p : payloads)
            out << Hex(p) << "\n";
    }
    const testkit::ToolRun run = testkit::Shell("node " + testkit::Quoted(TARVIK_SPARKPLUG_DECODER) + " < " +
                                                testkit::Quoted(input) + " 2>&1");
    std::remove(input.c_str());
    if (run.exit != 0) {
        why = "the independent decoder cannot run (node and `npm ci` in tools/tests/sparkplug): " + run.out;
        return {};
    }
    std::vector<json> decoded;
    std::istringstream lines(run.out);
    for (std::string line; std::getline(lines, line);)
        decoded.push_back(json::parse(line));
    return decoded;
}

TEST(Sparkplug, PayloadsAsAnIndependentDecoderReadsThem) {
    const std::vector<Case> cases = Cases();
    std::vector<std::string> encoded;
    for (const Case& c : cases) {
        encoded.push_back(Encode(c.payload));
        ASSERT_FALSE(encoded.back().empty()) << c.what;
        Payload back;
        ASSERT_TRUE(Decode(encoded.back(), back)) << c.what;
        EXPECT_EQ(back, c.payload) << c.what;
    }
    std::string why;
    const std::vector<json> decoded = DecodeIndependently(encoded, why);
    if (decoded.empty()) GTEST_SKIP() << why;
    ASSERT_EQ(decoded.size(), cases.size());
    for (std::size_t i = 0; i < cases.size(); ++i)
        EXPECT_EQ(decoded[i], json::parse(cases[i].decoded))
            << cases[i].what << ": " << json::diff(json::parse(cases[i].decoded), decoded[i]).dump();
}

// A value that its datatype cannot carry is refused, never wrapped: nothing is encoded.
TEST(Sparkplug, ValuesBeyondTheirDatatypeAreRefused) {
    const std::vector<Metric> refused = {
        Make("a", DataType::Int8, std::int64_t{128}),  Make("b", DataType::Int8, std::int64_t{-129}),
        Make("c", DataType::UInt16, std::int64_t{-1}), Make("d", DataType::UInt32, std::uint64_t{1} << 32),
        Make("e", DataType::UInt64, std::int64_t{-1}), Make("f", DataType::Int64, std::uint64_t{1} << 63),
        Make("g", DataType::Int32, std::string("1")),  Make("h", DataType::Float, 1.0),
        Make("i", DataType::Boolean, std::int64_t{1}), Make("j", DataType::String, 1.0f),
    };
    for (const Metric& m : refused) {
        std::string out = "stale";
        EXPECT_FALSE(Encode({1, 0, {m}}, out)) << m.name;
        EXPECT_TRUE(out.empty()) << m.name;
    }
    Payload p;
    EXPECT_FALSE(Decode("\xff\xff\xff", p)); // not a payload
}

} // namespace
} // namespace tarvik::sparkplug

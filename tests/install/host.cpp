// The same header from C++: identity and tag of the device on a port.
// Usage: host_cpp HART_PORT BAUD. Exit status 0 only when both calls succeed.
#include <TarvikDLL.h>

#include <array>
#include <cstdio>
#include <cstdlib>
#include <string>

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: %s HART_PORT BAUD\n", argv[0]);
        return 2;
    }
    const int32_t port = std::atoi(argv[1]), baud = std::atoi(argv[2]);
    std::array<uint8_t, 27> record{};
    uint8_t s1 = 0, s2 = 0;
    const int32_t rc = ReadTAG(port, baud, record.data(), &s1, &s2);
    if (rc != ResultOk && rc != ResultDeviceStatus) {
        std::printf("ReadTAG: %d\n", rc);
        return 1;
    }
    const std::string tag(record.begin(), record.begin() + 8);
    const std::string descriptor(record.begin() + 8, record.begin() + 24);
    std::printf("tag '%s', descriptor '%s', date %u.%u.%u\n", tag.c_str(), descriptor.c_str(), record[24],
                record[25], 1900u + record[26]);
    return 0;
}

// The fast link from the installed package: one open port, several requests.
// Usage: host_link HART_PORT BAUD READOUT_PORT. Exit status 0 only when every request succeeds.
#include <tarvik/Link.h>

#include <cstdio>
#include <cstdlib>

int main(int argc, char** argv) {
    if (argc != 4) {
        std::fprintf(stderr, "usage: %s HART_PORT BAUD READOUT_PORT\n", argv[0]);
        return 2;
    }
    tarvik::link::HartLink hart;
    if (hart.Open(std::atoi(argv[1]), std::atoi(argv[2])) != ResultOk) return 1;
    const auto id = hart.ReadDeviceId();
    std::printf("link: ReadDeviceId %d, address %02X:%02X%02X%02X\n", id.result, id.value.deviceType,
                id.value.idHigh, id.value.idMid, id.value.idLow);
    if (!id.Ok() || !id.hasValue) return 1;
    for (int i = 0; i < 3; ++i) {
        const auto flow = hart.ReadFlow(id.value);
        std::printf("link: ReadFlow %d, flow %g (unit %u)\n", flow.result, flow.value.value,
                    flow.value.units);
        if ((flow.result != ResultOk && flow.result != ResultDeviceStatus) || !flow.hasValue ||
            flow.value.units == 0)
            return 1;
    }
    tarvik::link::ReadoutLink unit;
    if (unit.Open(std::atoi(argv[3])) != ResultOk || !unit.TestComs().Ok()) return 1;
    const auto pv = unit.ReadProcessVariable(1);
    std::printf("link: ReadProcessVariable %d, channel 1 process value %g\n", pv.result, pv.value);
    return pv.Ok() ? 0 : 1;
}

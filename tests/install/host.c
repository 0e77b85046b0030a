/* A host program in plain C: finds the flow device on a port, reads its flow, writes and reads back
 * a set point, and tests a 0731 unit. Usage: host_c HART_PORT BAUD READOUT_PORT. Exit status 0
 * only when every call gave the result expected. */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <TarvikDLL.h>

static int failures = 0;

static void expect(const char* what, int32_t got, int32_t want1, int32_t want2) {
    int ok = got == want1 || got == want2;
    printf("%-28s %6d %s\n", what, (int)got, ok ? "ok" : "UNEXPECTED");
    if (!ok) ++failures;
}

/* The digital family hands floats as their bit patterns. */
static float from_raw(int32_t raw) {
    float f;
    memcpy(&f, &raw, sizeof f);
    return f;
}

static int32_t to_raw(float f) {
    int32_t raw;
    memcpy(&raw, &f, sizeof raw);
    return raw;
}

int main(int argc, char** argv) {
    if (argc != 4) {
        fprintf(stderr, "usage: %s HART_PORT BAUD READOUT_PORT\n", argv[0]);
        return 2;
    }
    const int32_t port = atoi(argv[1]), baud = atoi(argv[2]), unit = atoi(argv[3]);
    uint8_t idHigh = 0, idMid = 0, idLow = 0, type = 0, s1 = 0, s2 = 0, units = 0;
    int32_t value = 0, percent = 0, inUnits = 0;

    expect("ReadFlow on port 0", ReadFlow(0, baud, 0, 0, 0, 0, &value, &units, &s1, &s2), ResultBadPort,
           ResultBadPort);

    expect("ReadDeviceID", ReadDeviceID(0, port, baud, "", 0, &idHigh, &idMid, &idLow, &type, &s1, &s2),
           ResultOk, ResultOk);
    printf("  address %02X:%02X%02X%02X\n", type, idHigh, idMid, idLow);

    expect("ReadFlow", ReadFlow(port, baud, idHigh, idMid, idLow, type, &value, &units, &s1, &s2), ResultOk,
           ResultDeviceStatus);
    printf("  flow %g (unit %u), status %02X %02X\n", from_raw(value), units, s1, s2);

    expect("WriteSetPoint 40 %",
           WriteSetPoint(port, baud, idHigh, idMid, idLow, type, 57, to_raw(40.0f), &s1, &s2), ResultOk,
           ResultDeviceStatus);
    expect("ReadSetPoint",
           ReadSetPoint(port, baud, idHigh, idMid, idLow, type, &percent, &units, &inUnits, &s1, &s2),
           ResultOk, ResultDeviceStatus);
    printf("  set point %g %% = %g (unit %u)\n", from_raw(percent), from_raw(inUnits), units);
    if (from_raw(percent) != 40.0f) {
        printf("  set point did not read back\n");
        ++failures;
    }

    float fullScale = 0;
    expect("TestComs_0731", TestComs_0731(unit), ResultOk, ResultOk);
    expect("ReadFullScale_0731", ReadFullScale_0731(unit, 1, &fullScale), ResultOk, ResultOk);
    printf("  channel 1 full scale %g\n", fullScale);

    printf("%s\n", failures ? "FAILED" : "all as expected");
    return failures ? 1 : 0;
}

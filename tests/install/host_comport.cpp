// The port component from the installed package: open a port, send a request, read the answer
// under a time-out, and count received bytes in a handler run on this (the main) thread.
// Usage: host_comport PORT (COM3, or a device path). Exit status 0 when the port opened.
#include <tarvik/ComPort.h>
#include <tarvik/ComThread.h>

#include <cstdio>

using namespace tarvik::comport;

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s PORT\n", argv[0]);
        return 2;
    }
    TMainThread::Attach(); // synchronised handlers run here, in ProcessEvents
    TComPort port;
    port.SetDeviceName(argv[1]);
    port.SetBaudRate(br9600);
    port.SetParity(paNone);
    port.Timeouts().SetReadInterval(50);  // an answer ends after 50 ms of silence ...
    port.Timeouts().SetReadConstant(500); // ... or 500 ms after the read began
    int events = 0;
    port.SetOnRxChar([&](TCustomComPort&) { ++events; });
    try {
        port.Open();
        port.WriteStr("*IDN?\r");
        char answer[64] = {};
        try {
            port.Read(answer, sizeof answer - 1, true);
        } catch (const EComError& e) {
            if (e.Kind != ekTimeout) throw; // a short answer is normal here
        }
        TMainThread::ProcessEvents(100);
        std::printf("answer '%s', %d receive events\n", answer, events);
        port.Close();
    } catch (const EComError& e) {
        std::fprintf(stderr, "%s: %s (code %d)\n", argv[1], e.what(), e.ErrorCode);
        return 1;
    }
    return 0;
}

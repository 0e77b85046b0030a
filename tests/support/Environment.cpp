// Every test process gets its own port directory before any test runs, so that no test ever
// falls back to the machine's real serial ports.
#include "ScriptedPeer.h"

namespace {
const bool kPortDirReady = !tarvik::test::PortDir().empty();
}

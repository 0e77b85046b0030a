// The port component's public header lives in include/tarvik/ (installed with the library).
#pragma once

#include "../../include/tarvik/ComPort.h"

// The event thread's public header lives in include/tarvik/ (installed with the library).
#pragma once

#include "../../include/tarvik/ComThread.h"

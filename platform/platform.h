// The one door from update/ and checks/ to the operating system. They call
// the platform's operations by the platform's own names; on Windows these are
// the real ones, elsewhere the simulated platform provides exactly the types,
// constants and operations the program uses.
#pragma once

#if defined(_WIN32)
#include <windows.h>
#else
#include "platform/simulated/win32_api.h"
#endif

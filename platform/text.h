// The few string helpers the program needs, so it depends on no C runtime.
#pragma once

#include "platform/platform.h"

// Length of a terminated narrow string.
DWORD TextLength(const char* text);

// Writes folder followed by suffix into path, terminated. Returns FALSE and
// leaves path empty when the whole would not fit in MAX_PATH bytes: a cut
// path would name some other file.
BOOL ComposePath(char (&path)[MAX_PATH], const char* folder, const char* suffix);

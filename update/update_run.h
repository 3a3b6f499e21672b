// The patch program's own entry: the whole update, start to end.
#pragma once

#include "platform/platform.h"

// Runs the update once and returns 0 whatever happened; a failure has been
// shown to the user in one error box by then.
int RunUpdate(HINSTANCE instance);

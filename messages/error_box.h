// The one way a failure reaches the user: a task-modal error box with only an OK button.
#pragma once

#include "platform/platform.h"

// Texts of boxes and captions fit this buffer, terminator included.
inline constexpr int MESSAGE_BUFFER_SIZE = 200;

// Shown when memory runs out; the catalogue may not load then either.
inline constexpr char OUT_OF_MEMORY_TEXT[] = "Out of memory.";

// Empties text, then loads the catalogue text of messageId into it.
// A missing id leaves it empty.
void LoadCatalogueText(HINSTANCE instance, UINT messageId, char (&text)[MESSAGE_BUFFER_SIZE]);

// Shows the catalogue text of messageId; returns when the user has closed the box.
void ShowErrorBox(HINSTANCE instance, UINT messageId, const char* caption);

// Shows a text that is not in the catalogue, in the same style.
void ShowErrorText(const char* text, const char* caption);

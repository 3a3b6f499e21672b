#include "messages/error_box.h"

void LoadCatalogueText(HINSTANCE instance, UINT messageId, char (&text)[MESSAGE_BUFFER_SIZE])
{
    text[0] = '\0';
    LoadStringA(instance, messageId, text, MESSAGE_BUFFER_SIZE);
}

void ShowErrorBox(HINSTANCE instance, UINT messageId, const char* caption)
{
    char message[MESSAGE_BUFFER_SIZE];
    LoadCatalogueText(instance, messageId, message);
    ShowErrorText(message, caption);
}

void ShowErrorText(const char* text, const char* caption)
{
    // No owner window: the program has none. Task-modal so that it stays on top of the user's work.
    MessageBoxA(nullptr, text, caption, MB_OK | MB_ICONERROR | MB_TASKMODAL);
}

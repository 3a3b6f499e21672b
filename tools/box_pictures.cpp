// The two boxes of the patch that no installation laid out on Wine can bring
// about, shown with the program's own calls and texts so that
// scripts/box-pictures can picture them. Built twice:
//   box_out_of_memory.exe      with the program's string table: the version
//                              probe's "Out of memory." box, under the caption
//                              loaded as the run loads it (a heap block of a few
//                              kilobytes is never refused on Wine)
//   box_without_catalogue.exe  without it: the box of an exe whose catalogue
//                              does not load (damaged or altered), where caption
//                              and text load empty
// Each shows its box once and ends when it is closed.
#include "messages/error_box.h"
#include "messages/messages.h"

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int)
{
    char caption[MESSAGE_BUFFER_SIZE];
    LoadCatalogueText(instance, IDS_UPDATE_TITLE, caption);
#if SHOW_OUT_OF_MEMORY
    ShowErrorText(OUT_OF_MEMORY_TEXT, caption);
#else
    ShowErrorBox(instance, IDS_NOT_INSTALLED, caption);
#endif
    return 0;
}

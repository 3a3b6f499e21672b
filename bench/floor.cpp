// The cheapest program that could show this patch's texts: started like
// CorvandelUpdate.exe, it loads one catalogue string and exits with 0.
// A run of the patch can never cost less than a run of this.
#include <windows.h>

extern "C" void WINAPI FloorStart()
{
    char text[200];
    text[0] = '\0';
    LoadStringA(GetModuleHandleA(nullptr), 103, text, 200);
    ExitProcess(0);
}

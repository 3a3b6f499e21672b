#include "tools/box_runner.h"

#include <cstdio>
#include <set>
#include <string>

namespace {

const DWORD POLL_MS = 25;

struct BoxSearch {
    DWORD processId;
    const std::set<HWND>* answered;
    HWND found;
};

// A message box is a visible top-level dialog of the program's process.
BOOL CALLBACK FindBox(HWND window, LPARAM context)
{
    BoxSearch* search = reinterpret_cast<BoxSearch*>(context);
    DWORD owner = 0;
    GetWindowThreadProcessId(window, &owner);
    char className[16] = "";
    GetClassNameA(window, className, sizeof className);
    if (owner == search->processId && IsWindowVisible(window) && std::string(className) == "#32770" &&
        search->answered->count(window) == 0) {
        search->found = window;
        return FALSE;
    }
    return TRUE;
}

} // namespace

RunResult RunAnsweringBoxes(const std::string& program, const std::string& currentDirectory, DWORD timeoutMs)
{
    RunResult result;
    STARTUPINFOA startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process = {};
    char commandLine[MAX_PATH + 2];
    snprintf(commandLine, sizeof commandLine, "\"%s\"", program.c_str());
    if (!CreateProcessA(program.c_str(), commandLine, nullptr, nullptr, FALSE, 0, nullptr, currentDirectory.c_str(),
                        &startup, &process))
        return result;
    result.started = true;

    std::set<HWND> answered;
    const DWORD start = GetTickCount();
    while (WaitForSingleObject(process.hProcess, POLL_MS) == WAIT_TIMEOUT) {
        if (GetTickCount() - start > timeoutMs) {
            result.timedOut = true;
            TerminateProcess(process.hProcess, 1);
            WaitForSingleObject(process.hProcess, 5000);
            break;
        }
        BoxSearch search = {process.dwProcessId, &answered, nullptr};
        EnumWindows(FindBox, reinterpret_cast<LPARAM>(&search));
        if (search.found == nullptr)
            continue;
        char caption[256] = "";
        char text[512] = "";
        GetWindowTextA(search.found, caption, sizeof caption);
        GetDlgItemTextA(search.found, 0xFFFF, text, sizeof text);
        result.boxes.push_back({caption, text});
        answered.insert(search.found);
        PostMessageA(search.found, WM_COMMAND, IDOK, 0);
    }
    GetExitCodeProcess(process.hProcess, &result.exitCode);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    return result;
}

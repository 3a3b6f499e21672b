// Starts a Windows program as a user would start it from a folder, answers
// every message box it shows with OK, and waits for it to end, killing it
// after a timeout. Used by the end-to-end tests and by the packaging dry run.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

struct Box {
    std::string caption;
    std::string text;
};

struct RunResult {
    bool started = false;
    bool timedOut = false;
    DWORD exitCode = 0xDEADBEEF;
    std::vector<Box> boxes;
};

RunResult RunAnsweringBoxes(const std::string& program, const std::string& currentDirectory, DWORD timeoutMs);

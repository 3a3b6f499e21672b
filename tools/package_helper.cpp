// What scripts/package asks of the real platform, run on Wine:
//   package_helper versions FILE...
//       one line per file, in order: its file version as the platform's
//       version functions read it (major.minor.build.revision from the fixed
//       file info), "none" when it carries no readable version resource,
//       "absent" when there is no such file; after a version, a space and the
//       name the resource gives the file (OriginalFilename), if it gives one
//   package_helper run FOLDER PROGRAM SECONDS
//       starts PROGRAM with FOLDER as its current directory, presses OK on
//       every box it shows, and prints each box's caption and text verbatim,
//       then its exit code
// Exit status of run: 0 ended without a box, 1 ended after showing a box,
// 3 still running after SECONDS (killed), 4 could not be started; 2 usage.
#include "tools/box_runner.h"

#include <fcntl.h>
#include <io.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

const int USAGE = 2;

// OriginalFilename in the resource's first translation, or "". The kit's file
// wrote it, so it is printed as plain text on one line: anything but
// printable ASCII becomes '?', and a long name is cut.
std::string OriginalName(std::vector<char>& block)
{
    struct Translation {
        WORD language;
        WORD codePage;
    }* translations = nullptr;
    UINT length = 0;
    if (!VerQueryValueA(block.data(), "\\VarFileInfo\\Translation", reinterpret_cast<void**>(&translations),
                        &length) ||
        translations == nullptr || length < sizeof(Translation))
        return "";
    char query[64];
    snprintf(query, sizeof query, "\\StringFileInfo\\%04x%04x\\OriginalFilename", translations->language,
             translations->codePage);
    char* name = nullptr;
    if (!VerQueryValueA(block.data(), query, reinterpret_cast<void**>(&name), &length) || name == nullptr)
        return "";
    std::string original(name, strnlen(name, length < 100 ? length : 100));
    for (char& c : original)
        if (c < 0x20 || c > 0x7e)
            c = '?';
    return original;
}

std::string FileVersion(const char* path)
{
    if (GetFileAttributesA(path) == INVALID_FILE_ATTRIBUTES)
        return "absent";
    DWORD handle = 0;
    const DWORD size = GetFileVersionInfoSizeA(path, &handle);
    if (size == 0)
        return "none";
    std::vector<char> block(size);
    VS_FIXEDFILEINFO* fixed = nullptr;
    UINT length = 0;
    if (!GetFileVersionInfoA(path, handle, size, block.data()) ||
        !VerQueryValueA(block.data(), "\\", reinterpret_cast<void**>(&fixed), &length) || fixed == nullptr ||
        length < sizeof(VS_FIXEDFILEINFO))
        return "none";
    char text[48];
    snprintf(text, sizeof text, "%u.%u.%u.%u", HIWORD(fixed->dwFileVersionMS), LOWORD(fixed->dwFileVersionMS),
             HIWORD(fixed->dwFileVersionLS), LOWORD(fixed->dwFileVersionLS));
    const std::string original = OriginalName(block);
    return original.empty() ? text : text + (" " + original);
}

int PrintVersions(int count, char** paths)
{
    for (int i = 0; i < count; ++i)
        printf("%s\n", FileVersion(paths[i]).c_str());
    return 0;
}

int RunProgram(const char* folder, const char* program, const char* seconds)
{
    const long timeout = strtol(seconds, nullptr, 10);
    if (timeout <= 0)
        return USAGE;
    const RunResult result = RunAnsweringBoxes(program, folder, static_cast<DWORD>(timeout) * 1000);
    if (!result.started) {
        printf("could not start %s: error %lu\n", program, GetLastError());
        return 4;
    }
    for (const Box& box : result.boxes)
        printf("box: %s\n%s\n", box.caption.c_str(), box.text.c_str());
    if (result.timedOut) {
        printf("still running after %ld s: killed\n", timeout);
        return 3;
    }
    printf("exit code %lu\n", result.exitCode);
    return result.boxes.empty() ? 0 : 1;
}

} // namespace

int main(int argc, char** argv)
{
    // Line feeds as they are: a box's text is printed byte for byte.
    _setmode(_fileno(stdout), _O_BINARY);
    const std::string command = argc > 1 ? argv[1] : "";
    if (command == "versions" && argc > 2)
        return PrintVersions(argc - 2, argv + 2);
    if (command == "run" && argc == 5)
        return RunProgram(argv[2], argv[3], argv[4]);
    fprintf(stderr, "usage: package_helper versions FILE... | package_helper run FOLDER PROGRAM SECONDS\n");
    return USAGE;
}

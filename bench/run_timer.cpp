// Times, from process creation to exit, a successful update by
// CorvandelUpdate.exe against the floor program, alternating the two, and
// prints the medians and their ratio. Before every update run (outside the
// timing) the plan's installation is laid out afresh at its outdated version.
//   run_timer.exe [RUNS]      (default 20, after 3 warm-up runs of each)
#include "tests/wine/fixtures/fixture_name.h"
#include "update/plan.h"

#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

std::string Folder()
{
    char path[MAX_PATH];
    const DWORD length = GetModuleFileNameA(nullptr, path, MAX_PATH);
    std::string folder(path, length);
    return folder.substr(0, folder.find_last_of('\\'));
}

bool Copy(const std::string& from, const std::string& to)
{
    SetFileAttributesA(to.c_str(), FILE_ATTRIBUTE_NORMAL);
    return CopyFileA(from.c_str(), to.c_str(), FALSE) != 0;
}

bool LayOutInstallation(const std::string& fixtures, const std::string& root)
{
    const std::string install = root + "\\Corvandel";
    const std::string downloads = root + "\\Downloads";
    CreateDirectoryA(root.c_str(), nullptr);
    CreateDirectoryA(install.c_str(), nullptr);
    CreateDirectoryA(downloads.c_str(), nullptr);
    HKEY key = nullptr;
    if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, HOST_REGISTRATION_KEY, 0, nullptr, 0, KEY_WRITE, nullptr, &key,
                        nullptr) != 0)
        return false;
    const LONG status = RegSetValueExA(key, HOST_FOLDER_VALUE, 0, REG_SZ,
                                       reinterpret_cast<const BYTE*>(install.c_str()),
                                       static_cast<DWORD>(install.size() + 1));
    RegCloseKey(key);
    if (status != 0)
        return false;
    for (const ComponentUpdate& row : UpdatePlan) {
        if (!Copy(fixtures + "\\" + Fixture(row.sourceName, "outdated") + ".dll", install + row.targetSuffix) ||
            !Copy(fixtures + "\\" + Fixture(row.sourceName, "updated") + ".dll", downloads + "\\" + row.sourceName))
            return false;
    }
    // Any bytes will do for the notes.
    return Copy(fixtures + "\\" + Fixture(UpdatePlan[0].sourceName, "outdated") + ".dll",
                downloads + "\\" + NOTES_SOURCE_NAME);
}

// Milliseconds from CreateProcess to the end of the process; negative on failure.
double TimeRun(const std::string& program, const std::string& currentDirectory)
{
    STARTUPINFOA startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process = {};
    std::string commandLine = "\"" + program + "\"";
    LARGE_INTEGER frequency, start, end;
    QueryPerformanceFrequency(&frequency);
    QueryPerformanceCounter(&start);
    if (!CreateProcessA(program.c_str(), &commandLine[0], nullptr, nullptr, FALSE, 0, nullptr,
                        currentDirectory.c_str(), &startup, &process))
        return -1;
    const DWORD waited = WaitForSingleObject(process.hProcess, 20000);
    QueryPerformanceCounter(&end);
    DWORD exitCode = 1;
    GetExitCodeProcess(process.hProcess, &exitCode);
    if (waited != WAIT_OBJECT_0)
        TerminateProcess(process.hProcess, 1);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    if (waited != WAIT_OBJECT_0 || exitCode != 0)
        return -1;
    return 1000.0 * static_cast<double>(end.QuadPart - start.QuadPart) / static_cast<double>(frequency.QuadPart);
}

double Median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    const size_t middle = values.size() / 2;
    return values.size() % 2 ? values[middle] : (values[middle - 1] + values[middle]) / 2;
}

} // namespace

int main(int argc, char** argv)
{
    const int runs = argc > 1 ? std::max(1, std::atoi(argv[1])) : 20;
    const int warmUps = 3;
    const std::string folder = Folder();
    const std::string update = folder + "\\CorvandelUpdate.exe";
    const std::string floor = folder + "\\bench_floor.exe";
    const std::string root = "C:\\bench-run";
    const std::string downloads = root + "\\Downloads";

    std::vector<double> updateTimes, floorTimes;
    for (int run = 0; run < warmUps + runs; ++run) {
        if (!LayOutInstallation(folder + "\\fixtures", root)) {
            std::fprintf(stderr, "cannot lay out the installation in %s\n", root.c_str());
            return 1;
        }
        const double updateMs = TimeRun(update, downloads);
        const double floorMs = TimeRun(floor, downloads);
        if (updateMs < 0 || floorMs < 0) {
            std::fprintf(stderr, "a run failed or did not end within 20 s (update %.1f, floor %.1f)\n", updateMs,
                         floorMs);
            return 1;
        }
        if (run >= warmUps) {
            updateTimes.push_back(updateMs);
            floorTimes.push_back(floorMs);
        }
    }
    const double updateMedian = Median(updateTimes);
    const double floorMedian = Median(floorTimes);
    std::printf("runs of each:          %d (after %d warm-up runs)\n", runs, warmUps);
    std::printf("successful update:     %.1f ms median (%.1f to %.1f)\n", updateMedian,
                *std::min_element(updateTimes.begin(), updateTimes.end()),
                *std::max_element(updateTimes.begin(), updateTimes.end()));
    std::printf("floor (one LoadString): %.1f ms median (%.1f to %.1f)\n", floorMedian,
                *std::min_element(floorTimes.begin(), floorTimes.end()),
                *std::max_element(floorTimes.begin(), floorTimes.end()));
    std::printf("ratio:                 %.2f (target at most 1.20)\n", updateMedian / floorMedian);
    return 0;
}

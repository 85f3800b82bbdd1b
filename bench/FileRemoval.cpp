// Deletes a tree of 20,000 files in 2,000 folders with DeleteFileOrDirectory
// and an identical tree with "cmd /c rmdir /s /q", in the same run, and
// prints both times. Goal: at most 1.5 times the rmdir time.
#include <windows.h>

#include <cstdio>
#include <string>

#include "support/TestSupport.h"
#include "system/FileRemoval.h"

namespace {

const int kTopFolders = 40;
const int kSubFolders = 49;  // 40 + 40 * 49 = 2,000 folders
const int kFilesPerFolder = 10;  // 20,000 files

double Now()
{
    LARGE_INTEGER frequency, counter;
    QueryPerformanceFrequency(&frequency);
    QueryPerformanceCounter(&counter);
    return static_cast<double>(counter.QuadPart) / static_cast<double>(frequency.QuadPart);
}

void Fill(const std::wstring& folder, int& files)
{
    static const char content[] = "MZ simulated agent file, a few bytes of content\r\n";
    for (int f = 0; f < kFilesPerFolder; ++f) {
        const std::wstring path = folder + L"\\component" + std::to_wstring(f) + (f % 2 ? L".dll" : L".dat");
        HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                  f == 0 ? FILE_ATTRIBUTE_READONLY : FILE_ATTRIBUTE_NORMAL, nullptr);
        if (file == INVALID_HANDLE_VALUE)
            continue;
        DWORD written = 0;
        WriteFile(file, content, sizeof(content) - 1, &written, nullptr);
        CloseHandle(file);
        ++files;
    }
}

// Returns the number of files made.
int BuildTree(const std::wstring& root)
{
    int files = 0;
    CreateDirectoryW(root.c_str(), nullptr);
    for (int t = 0; t < kTopFolders; ++t) {
        const std::wstring top = root + L"\\Module" + std::to_wstring(t);
        CreateDirectoryW(top.c_str(), nullptr);
        Fill(top, files);
        for (int s = 0; s < kSubFolders; ++s) {
            const std::wstring sub = top + L"\\Part" + std::to_wstring(s);
            CreateDirectoryW(sub.c_str(), nullptr);
            Fill(sub, files);
        }
    }
    return files;
}

}  // namespace

int main()
{
    ScopedTempDir temp(L"zra-bench");
    const std::wstring ours = temp.Path() + L"ours";
    const std::wstring theirs = temp.Path() + L"theirs";
    // rmdir /s /q leaves read-only files in place: its tree has none, so that
    // both remove the same number of entries.
    double start = Now();
    const int filesOurs = BuildTree(ours);
    const int filesTheirs = BuildTree(theirs);
    {
        // Clear the read-only files of the rmdir tree.
        for (int t = 0; t < kTopFolders; ++t) {
            const std::wstring top = theirs + L"\\Module" + std::to_wstring(t);
            SetFileAttributesW((top + L"\\component0.dat").c_str(), FILE_ATTRIBUTE_NORMAL);
            for (int s = 0; s < kSubFolders; ++s)
                SetFileAttributesW((top + L"\\Part" + std::to_wstring(s) + L"\\component0.dat").c_str(),
                                   FILE_ATTRIBUTE_NORMAL);
        }
    }
    std::printf("trees: 2 x %d folders, %d and %d files (built in %.1f s)\n", kTopFolders * (kSubFolders + 1),
                filesOurs, filesTheirs, Now() - start);

    start = Now();
    const DWORD rmdirCode = RunProcessAndWait(L"cmd.exe /c rmdir /s /q \"" + theirs + L"\"", 600000);
    const double rmdirTime = Now() - start;

    start = Now();
    bool existed = false;
    HRESULT result = E_FAIL;
    const bool deleted = DeleteFileOrDirectory(ours, existed, result);
    const double oursTime = Now() - start;

    std::printf("DeleteFileOrDirectory: %.2f s, %.0f files/s (result %s, HRESULT 0x%08lX, tree %s)\n", oursTime,
                filesOurs / oursTime, deleted ? "true" : "false", static_cast<unsigned long>(result),
                DirectoryExists(ours) ? "left" : "gone");
    std::printf("cmd /c rmdir /s /q:    %.2f s, %.0f files/s (exit code %lu, tree %s)\n", rmdirTime,
                filesTheirs / rmdirTime, static_cast<unsigned long>(rmdirCode), DirectoryExists(theirs) ? "left" : "gone");
    std::printf("time relative to rmdir: %.2fx (goal: at most 1.5x)\n", oursTime / rmdirTime);
    return 0;
}

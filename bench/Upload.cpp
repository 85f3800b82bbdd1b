// Log archive and upload figures: a text log of ZRA_BENCH_LOG_MIB MiB (50
// by default) is packed into a zip archive and uploaded in 1 MiB chunks to
// the diagnostics service named by ZRA_UPLOAD_BASE_URL (the stand-in
// service on loopback, started by bench/upload_bench.py, which also times
// curl against it). Prints key=value lines. The files stay in C:\zrabench
// for the comparison.
#include <windows.h>
#include <psapi.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "net/HttpEndpoint.h"
#include "net/LogUpload.h"
#include "net/OrroUploader.h"
#include "net/ZipArchive.h"
#include "system/UniqueHandle.h"

namespace {

double Now()
{
    LARGE_INTEGER counter, frequency;
    QueryPerformanceCounter(&counter);
    QueryPerformanceFrequency(&frequency);
    return static_cast<double>(counter.QuadPart) / static_cast<double>(frequency.QuadPart);
}

size_t PeakCommit()
{
    PROCESS_MEMORY_COUNTERS counters = {};
    counters.cb = sizeof(counters);
    GetProcessMemoryInfo(GetCurrentProcess(), &counters, sizeof(counters));
    return counters.PeakPagefileUsage;
}

// A text log of the given size, written piece by piece: lines like the
// tool's own, with counters so that it does not compress to nothing.
bool WriteTextLog(const std::wstring& path, unsigned long long bytes)
{
    UniqueKernelHandle file(CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
    if (!file)
        return false;
    static const char* const operations[] = {"CRegistryKey::DeleteKey", "RegistryStep::RemoveRegistryKeys",
                                             "FileStep::DeleteFiles", "ServiceStep::RemoveService",
                                             "CRegistryKey::QueryValue:RegQueryValueEx: failed with error: 2"};
    std::string piece;
    unsigned long long written = 0;
    unsigned line = 0;
    while (written < bytes) {
        piece.clear();
        while (piece.size() < 60000) {
            char text[256];
            std::snprintf(text, sizeof(text),
                          "2026-12-08 10:%02u:%02u:%03u\t%s Entry HKLM\\SOFTWARE\\Halvora\\Zorander\\Key%u\r\n",
                          (line / 60000) % 60, (line / 1000) % 60, line % 1000, operations[line % 5], line * 7919u);
            piece += text;
            ++line;
        }
        if (piece.size() > bytes - written)
            piece.resize(static_cast<size_t>(bytes - written));
        DWORD done = 0;
        if (!WriteFile(file.get(), piece.data(), static_cast<DWORD>(piece.size()), &done, nullptr))
            return false;
        written += done;
    }
    return true;
}

} // namespace

int main()
{
    const std::wstring baseUrl = GetEndpointOverride(UploadBaseUrlVariable);
    if (baseUrl.empty()) {
        std::printf("skipped: needs the stand-in service (run by make bench through bench/upload_bench.py)\n");
        return 0;
    }
    const char* mibText = std::getenv("ZRA_BENCH_LOG_MIB");
    const unsigned long long mib = mibText != nullptr && std::atoi(mibText) > 0 ? std::atoi(mibText) : 50;

    const std::wstring folder = L"C:\\zrabench\\";
    CreateDirectoryW(folder.c_str(), nullptr);
    const std::wstring logPath = folder + L"CleanupToolLog.txt";
    const std::wstring archivePath = folder + L"ZraCleanupLogs_bench.zip";
    if (!WriteTextLog(logPath, mib << 20)) {
        std::printf("error: cannot write the text log\n");
        return 1;
    }

    // A first request loads WinHTTP and the network libraries: their memory
    // is not the upload's.
    {
        OrroUploader warmUp(baseUrl, UploadUserName, L"", UploadApiKey);
        warmUp.RequestUploadId(1);
    }
    const size_t baseline = PeakCommit();
    const double start = Now();
    HRESULT added;
    {
        ShellZipArchive archive(archivePath);
        added = archive.AddFile(logPath);
    }
    const double archived = Now();
    OrroUploader client(baseUrl, UploadUserName, L"", UploadApiKey);
    const int uploaded = client.AnonymousUpload(archivePath);
    const double end = Now();

    WIN32_FILE_ATTRIBUTE_DATA data = {};
    GetFileAttributesExW(archivePath.c_str(), GetFileExInfoStandard, &data);
    std::printf("log_bytes=%llu\n", mib << 20);
    std::printf("archive_bytes=%lu\n", data.nFileSizeLow);
    std::printf("archive_result=0x%08lx\n", static_cast<unsigned long>(added));
    std::printf("upload_result=%d\n", uploaded);
    std::printf("status=%ls\n", client.GetStatusCode().c_str());
    std::printf("archive_seconds=%.3f\n", archived - start);
    std::printf("upload_seconds=%.3f\n", end - archived);
    std::printf("peak_extra_kib=%lu\n", static_cast<unsigned long>((PeakCommit() - baseline) / 1024));
    return added == S_OK && uploaded == 0 ? 0 : 1;
}

// Result log and configuration figures:
//  - 2,000 items added to "UninstallLog.xml", each followed by a save
//    (shadow copy brought up to date, flushed, atomic replace), as every run
//    does;
//  - the cost per item for 500, 1,000, 2,000 and 4,000 items: a save must
//    cost the same however large the log has grown, so these stay flat;
//  - 2,000 items added section by section, as the steps of a run do;
//  - parsing the shipped configuration document.
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <string>

#include "config/Configuration.h"
#include "logs/LogFolder.h"
#include "logs/UninstallXmlLog.h"
#include "support/TestSupport.h"
#include "system/TextConvert.h"

namespace {

double Seconds(const LARGE_INTEGER& from, const LARGE_INTEGER& to)
{
    LARGE_INTEGER frequency;
    QueryPerformanceFrequency(&frequency);
    return static_cast<double>(to.QuadPart - from.QuadPart) / static_cast<double>(frequency.QuadPart);
}

long long FileSize(const std::wstring& path)
{
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data))
        return 0;
    return (static_cast<long long>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
}

// Item i of a run: the sections a cleanup fills, in turn.
void AddItem(UninstallXmlLog& log, int i)
{
    const std::string name = "HKLM\\SOFTWARE\\Halvora\\Zorander\\Component" + std::to_string(i);
    switch (i % 4) {
    case 0: log.AddItem(CommonXmlLogItem(i % 8 == 0 ? 0 : 2, "Registries", "registry", name)); break;
    case 1: log.AddItem(FileXmlLogItem(true, 0, "C:\\Program Files\\Halvora\\file" + std::to_string(i))); break;
    case 2: log.AddItem(CommonXmlLogItem(1060, "Services", "service", "ZorService" + std::to_string(i))); break;
    default: log.AddItem(MSIXmlLogItem(3010, "Halvora Zorander Plug-in", "{B1F27EC0-3065-5EF9-B9B3-19A7ECF13685}", "7.9.0.12")); break;
    }
}

} // namespace

int main()
{
    ScopedTempDir dir(L"zrabench");
    SetLogFolderOverride(dir.Path());

    const int items = 2000;
    double slowest = 0;
    LARGE_INTEGER start, end;
    {
        UninstallXmlLog log(L"UninstallLog.xml", false);
        const std::wstring path = Utf8ToWide(log.GetFilePath());
        QueryPerformanceCounter(&start);
        for (int i = 0; i < items; ++i) {
            LARGE_INTEGER before, after;
            QueryPerformanceCounter(&before);
            AddItem(log, i);
            QueryPerformanceCounter(&after);
            slowest = std::max(slowest, Seconds(before, after));
        }
        QueryPerformanceCounter(&end);
        const double total = Seconds(start, end);
        std::printf("result log: %d items, one save each: %.2f s total, %.2f ms per item (slowest %.2f ms)\n", items,
                    total, 1000.0 * total / items, 1000.0 * slowest);
        std::printf("result log: %.1f MB written in all, final file %lld bytes\n", log.GetBytesWritten() / 1e6,
                    FileSize(path));
    }

    // The cost per item as the log grows: a new log in a folder of its own
    // for each count; also the cost of the last tenth of the items alone.
    const int counts[] = {500, 1000, 2000, 4000};
    for (int count : counts) {
        ScopedTempDir folder(L"zrabenchn");
        SetLogFolderOverride(folder.Path());
        UninstallXmlLog log(L"UninstallLog.xml", false);
        LARGE_INTEGER lastTenth;
        QueryPerformanceCounter(&start);
        lastTenth = start;
        for (int i = 0; i < count; ++i) {
            if (i == count - count / 10)
                QueryPerformanceCounter(&lastTenth);
            AddItem(log, i);
        }
        QueryPerformanceCounter(&end);
        std::printf("result log: %4d items: %.2f ms per item on average, %.2f ms per item over the last %d, %.1f MB "
                    "written\n",
                    count, 1000.0 * Seconds(start, end) / count, 1000.0 * Seconds(lastTenth, end) / (count / 10),
                    count / 10, log.GetBytesWritten() / 1e6);
    }

    // The items above go to four sections in turn, so most saves rewrite
    // the later sections too. The steps of a run fill the sections in
    // document order: then a save writes little more than its item.
    {
        ScopedTempDir folder(L"zrabencho");
        SetLogFolderOverride(folder.Path());
        UninstallXmlLog log(L"UninstallLog.xml", false);
        const int remainder[] = {3, 2, 1, 0};  // MsiProducts, Services, Files, Registries
        QueryPerformanceCounter(&start);
        for (int r : remainder) {
            for (int i = r; i < items; i += 4)
                AddItem(log, i);
        }
        QueryPerformanceCounter(&end);
        std::printf("result log: %d items section by section: %.2f ms per item, %.1f MB written in all\n", items,
                    1000.0 * Seconds(start, end) / items, log.GetBytesWritten() / 1e6);
    }
    SetLogFolderOverride(dir.Path());

    // Parsing the shipped configuration.
    const std::wstring config = ExtractConfigFile();
    const int rounds = 200;
    bool ok = true;
    QueryPerformanceCounter(&start);
    for (int i = 0; i < rounds; ++i) {
        CConfiguration parsed;
        ok = parsed.Initialize(config) && ok;
    }
    QueryPerformanceCounter(&end);
    std::printf("configuration: %lld bytes parsed in %.2f ms on average over %d rounds (%s)\n", FileSize(config),
                1000.0 * Seconds(start, end) / rounds, rounds, ok ? "all parsed" : "PARSE FAILED");
    SetLogFolderOverride(L"");
    return ok ? 0 : 1;
}

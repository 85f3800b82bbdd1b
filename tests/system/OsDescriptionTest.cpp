#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "support/TestSupport.h"
#include "system/ProgramInfo.h"
#include "system/SystemInfo.h"
#include "system/TextConvert.h"

// Wine takes the Windows version it reports from its registry when a
// process starts, so every version is looked at in a child process: this
// program started again with ZRA_OS_PROBE_FILE set writes what it sees to
// that file and ends before any test runs.
namespace {

const wchar_t* const ProbeVariable = L"ZRA_OS_PROBE_FILE";

struct OsProbe {
    OsProbe()
    {
        wchar_t path[MAX_PATH] = {};
        if (GetEnvironmentVariableW(ProbeVariable, path, MAX_PATH) == 0)
            return;
        // The raw facts, as ntdll tells them without compatibility shims.
        RTL_OSVERSIONINFOEXW info = {};
        info.dwOSVersionInfoSize = sizeof(info);
        typedef LONG(WINAPI * RtlGetVersionFn)(RTL_OSVERSIONINFOEXW*);
        reinterpret_cast<RtlGetVersionFn>(
            reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"ntdll"), "RtlGetVersion")))(&info);
        // The product type the system reports for these facts; "-" when
        // it reports none.
        DWORD productType = 0;
        const std::string type = GetProductInfo(info.dwMajorVersion, info.dwMinorVersion, info.wServicePackMajor,
                                                info.wServicePackMinor, &productType)
                                     ? std::to_string(productType)
                                     : std::string("-");
        const std::string text = GetOSDescription() + "|" + (IsServerOS() ? "server" : "client") + "|" +
                                 std::to_string(info.dwMajorVersion) + "." + std::to_string(info.dwMinorVersion) +
                                 "|" + std::to_string(info.wProductType == VER_NT_WORKSTATION ? 0 : 1) + "|" +
                                 std::to_string(info.dwBuildNumber) + "|" + type;
        if (FILE* out = _wfopen(path, L"wb")) {
            fwrite(text.data(), 1, text.size(), out);
            fclose(out);
        }
        ExitProcess(0);
    }
} osProbe;

// Runs this program as a probe under the given Wine version name.
std::string ProbeUnder(const wchar_t* wineVersion, const std::wstring& outFile)
{
    HKEY wine = nullptr;
    RegCreateKeyExW(HKEY_CURRENT_USER, L"Software\\Wine", 0, nullptr, 0, KEY_ALL_ACCESS | KEY_WOW64_64KEY, nullptr,
                    &wine, nullptr);
    wchar_t saved[64] = {};
    DWORD savedSize = sizeof(saved) - sizeof(wchar_t);
    const bool hadVersion =
        RegQueryValueExW(wine, L"Version", nullptr, nullptr, reinterpret_cast<BYTE*>(saved), &savedSize) == ERROR_SUCCESS;
    RegSetValueExW(wine, L"Version", 0, REG_SZ, reinterpret_cast<const BYTE*>(wineVersion),
                   static_cast<DWORD>((wcslen(wineVersion) + 1) * sizeof(wchar_t)));

    SetEnvironmentVariableW(ProbeVariable, outFile.c_str());
    std::wstring commandLine = L"\"" + GetProgramPath() + L"\"";
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION process = {};
    if (CreateProcessW(nullptr, &commandLine[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &process)) {
        WaitForSingleObject(process.hProcess, 60000);
        CloseHandle(process.hThread);
        CloseHandle(process.hProcess);
    }
    SetEnvironmentVariableW(ProbeVariable, nullptr);

    if (hadVersion)
        RegSetValueExW(wine, L"Version", 0, REG_SZ, reinterpret_cast<const BYTE*>(saved), savedSize);
    else
        RegDeleteValueW(wine, L"Version");
    RegCloseKey(wine);
    return ReadFileBytes(outFile);
}

} // namespace

std::vector<std::string> Split(const std::string& text, char separator)
{
    std::vector<std::string> parts;
    size_t start = 0;
    for (;;) {
        const size_t end = text.find(separator, start);
        parts.push_back(text.substr(start, end == std::string::npos ? std::string::npos : end - start));
        if (end == std::string::npos)
            return parts;
        start = end + 1;
    }
}

std::string ExpectedProduct(const std::string& version, bool server)
{
    if (version == "6.1")
        return server ? "Windows Server 2008 R2" : "Windows 7";
    if (version == "6.2")
        return server ? "Windows Server 2012" : "Windows 8";
    if (version == "6.3")
        return server ? "Windows Server 2012 R2" : "Windows 8.1";
    if (version == "10.0")
        return server ? "Windows Server 2016" : "Windows 10";
    return "";
}

// Only four product types name an edition.
std::string ExpectedEdition(const std::string& productType)
{
    if (productType == "1")
        return " Ultimate";
    if (productType == "2")
        return " HomeBasic";
    if (productType == "4")
        return " Enterprise";
    if (productType == "7")
        return " Standard";
    return "";
}

TEST(OsDescription, ProductNameEditionArchitectureAndBuild)
{
    // Wine 8.0 swaps the product types of its "win7" and "win2008r2"
    // settings, so each probe is checked against the facts it saw, and the
    // names seen across all of them must cover the table.
    const wchar_t* const versions[] = {L"win7", L"win8", L"win81", L"win10", L"win2008r2", L"vista"};
    ScopedTempDir dir(L"osprobe");
    const std::string arch = IsWow64() ? " x64 " : " x86 ";
    std::vector<std::string> seen;
    std::vector<std::string> types;
    for (const wchar_t* version : versions) {
        SCOPED_TRACE(WideToUtf8(version));
        const std::vector<std::string> probe = Split(ProbeUnder(version, dir.Path() + version + L".txt"), '|');
        ASSERT_EQ(6u, probe.size());
        const std::string& description = probe[0];
        const bool server = probe[3] == "1";
        EXPECT_EQ(server ? "server" : "client", probe[1]);
        const std::string product = ExpectedProduct(probe[2], server);
        seen.push_back(product);
        types.push_back(probe[5]);

        // Name, edition, architecture and build number run together.
        EXPECT_EQ(product + ExpectedEdition(probe[5]) + arch + probe[4], description);
    }
    for (const char* name : {"Windows 7", "Windows 8", "Windows 8.1", "Windows 10", "Windows Server 2008 R2", ""}) {
        EXPECT_NE(seen.end(), std::find(seen.begin(), seen.end(), name)) << name;
    }
    // Wine reports a standard server and, for clients, a type outside the
    // four named ones: both the named and the unnamed case were seen.
    EXPECT_NE(types.end(), std::find(types.begin(), types.end(), "7"));
    EXPECT_NE(types.end(), std::find_if(types.begin(), types.end(), [](const std::string& type) {
                  return type != "-" && ExpectedEdition(type).empty();
              }));
}

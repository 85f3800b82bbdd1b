// Test helper: writes the result log the way a cleanup run does.
//
//   xmllog-writer FOLDER run TAG COUNT
//       opens the process's result log in FOLDER\ZraCleanup (continuing it
//       when the resume marker is set), closes the last reboot, adds COUNT
//       items of every kind named TAG-n and one reboot item, then exits
//       (the log stamps its end time).
//   xmllog-writer FOLDER hostile
//       writes a new result log whose item texts and attributes hold what
//       registry names can hold: control characters, lone surrogates and
//       bytes that are not UTF-8; then continues it once.
//   xmllog-writer FOLDER loop
//       opens the log and adds items, saving after each, until it is ended.
#include <windows.h>

#include <cstdlib>
#include <memory>
#include <string>

#include "logs/LogFolder.h"
#include "logs/UninstallXmlLog.h"
#include "system/ProgramInfo.h"
#include "system/TextConvert.h"

int wmain(int argc, wchar_t** argv)
{
    if (argc < 3)
        return 64;
    SetLogFolderOverride(argv[1]);
    const std::wstring mode = argv[2];

    if (mode == L"run" && argc >= 5) {
        UninstallXmlLog& log = UninstallXmlLog::GetInstance();
        const std::string tag = WideToUtf8(argv[3]);
        const int count = _wtoi(argv[4]);
        log.SetValue("MetaData", "Parameter", "/Silent");
        log.UpdateLastItem({{XmlLogField::DoneTime, GetTimeStamp()}}, "Reboots", "reboot");
        for (int i = 0; i < count; ++i) {
            const std::string name = tag + "-" + std::to_string(i);
            log.AddItem(CommonXmlLogItem(i % 2 == 0 ? 0 : 1060, "Services", "service", name));
            log.AddItem(FileXmlLogItem(i % 2 == 0, static_cast<int>(0x80070005), "C:\\" + name));
            log.AddItem(MIXmlLogItem(i % 2 == 0 ? 0 : 3, name));
            log.AddItem(MSIXmlLogItem(i % 2 == 0 ? 3010 : 1603, name, "{00000000-0000-0000-0000-000000000000}", "7.9.0.12"));
        }
        log.AddItem(RebootXmlLogItem(tag));
        return log.LastSaveSucceeded() ? 0 : 1;
    }
    if (mode == L"hostile") {
        std::unique_ptr<UninstallXmlLog> first(new UninstallXmlLog(L"UninstallLog.xml", false));
        UninstallXmlLog& log = *first;
        const std::wstring wideNames[] = {std::wstring(L"ctl\x01one\x1f" L"end"), std::wstring(L"lone\xD800high"),
                                          std::wstring(L"lone\xDC00low"), std::wstring(L"nul\0inside", 10),
                                          std::wstring(L"pair\xD83D\xDE00ok")};
        for (const std::wstring& name : wideNames)
            log.AddItem(CommonXmlLogItem(2, "Registries", "registry", WideToUtf8(name)));
        const std::string raw[] = {"bad\xFF\xFE" "bytes", "cut\xE4\xB8", "overlong\xC0\xAF", "surrogate\xED\xA0\x80",
                                   "del\x7F<&>\"'"};
        for (const std::string& name : raw) {
            log.AddItem(FileXmlLogItem(false, 5, "C:\\" + name));
            log.AddItem(MSIXmlLogItem(1603, name, "{" + name + "}", name + "\x02"));
        }
        log.SetValue("MetaData", "Parameter", "/Silent\x03\xFF");
        log.UpdateLastItem({{XmlLogField::Message, "msg\x04\xC3"}}, "Registries", "registry");
        if (!log.LastSaveSucceeded())
            return 1;
        first.reset();
        UninstallXmlLog continued(L"UninstallLog.xml", true);
        continued.AddItem(CommonXmlLogItem(0, "Services", "service", "after\x05" "continue"));
        return continued.LastSaveSucceeded() ? 0 : 1;
    }
    if (mode == L"loop") {
        UninstallXmlLog& log = UninstallXmlLog::GetInstance();
        for (unsigned long i = 0;; ++i) {
            const std::string name = "item-" + std::to_string(i) + std::string(i % 97, 'x');
            log.AddItem(CommonXmlLogItem(static_cast<int>(i % 3), "Registries", "registry", name));
        }
    }
    return 64;
}

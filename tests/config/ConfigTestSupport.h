#pragma once
#include <string>

#include "logs/Log.h"
#include "support/TestSupport.h"

// Text the process's debug log received since the object was made.
class LogWatch {
public:
    LogWatch()
    {
        GetDebugLog().WriteLine(L"%ws", L"-- test --");
        m_start = ReadFileBytes(GetDebugLog().GetFilePath()).size();
    }
    std::string NewText() const { return ReadFileBytes(GetDebugLog().GetFilePath()).substr(m_start); }

private:
    size_t m_start = 0;
};

// A small document with every section, used as the base of the error cases.
inline std::string MinimalConfig()
{
    return "<!-- test configuration -->\r\n"
           "<config>\r\n"
           "<Installer><Name>Halvora Zorander</Name><Name>{11111111-2222-3333-4444-555555555555}</Name></Installer>\r\n"
           "<UpgradeCodes>"
           "<Product uninstallOrder=\"5\"><name>Product Five</name><GUID>{AAAAAAAA-0000-0000-0000-000000000005}</GUID></Product>"
           "<Product uninstallOrder=\"1\"><name>Product One</name><GUID>{AAAAAAAA-0000-0000-0000-000000000001}</GUID></Product>"
           "<Product uninstallOrder=\"3\"><name>Product Three</name><GUID>{AAAAAAAA-0000-0000-0000-000000000003}</GUID></Product>"
           "</UpgradeCodes>\r\n"
           "<Processes><Process>agent.exe</Process><!-- c --><Note>skip</Note><Process>Agent.EXE</Process></Processes>\r\n"
           "<Services><Service>AgentSvc</Service></Services>\r\n"
           "<Drivers><!-- release 1 --><Driver>drvA</Driver><Driver>drvB</Driver></Drivers>\r\n"
           "<Files><File Wow64Redir=\"YES\">%programfiles%\\A</File><File Wow64Redir=\"no\">%programfiles%\\B</File>"
           "<File Wow64Redir=\"1\">%programfiles%\\C</File><File Wow64Redir=\"true\">%programfiles%\\D</File>"
           "<File Wow64Redir=\"\">%programfiles%\\E</File><File>%systemdrive%\\Users\\*\\F</File></Files>\r\n"
           "<Registry>\r\n"
           "<Values><Value Wow6432node=\"yes\"><KeyName>HKLM\\SOFTWARE\\A</KeyName><ValueName>v1</ValueName></Value>"
           "<Value><KeyName>HKLM\\SOFTWARE\\B</KeyName><ValueName>v2</ValueName></Value></Values>\r\n"
           "<Keys><Key Wow6432node=\"Yes\">HKLM\\SOFTWARE\\K</Key><Key Wow6432node=\"no\">HKU\\*\\Software\\K</Key></Keys>\r\n"
           "<SearchAndRemove>"
           "<Search><Key Wow6432node=\"yes\">HKLM\\S1</Key><Pattern>P1</Pattern><Trailing>InstallProperties</Trailing></Search>"
           "<Search><Key>HKLM\\S2</Key><Pattern>P2</Pattern></Search>"
           "</SearchAndRemove>\r\n"
           "<UpgradeCodes key=\"HKLM\\SOFTWARE\\Classes\\Installer\\UpgradeCodes\">"
           "<upgradeCode>AAAAAAAA000000000000000000000050</upgradeCode><upgradeCode>AAAAAAAA000000000000000000000010</upgradeCode>"
           "</UpgradeCodes>\r\n"
           "</Registry>\r\n"
           "</config>\r\n";
}

// The text with the first occurrence of what replaced by with (the test
// fails when what is missing).
inline std::string Replace(std::string text, const std::string& what, const std::string& with)
{
    const size_t at = text.find(what);
    if (at == std::string::npos)
        return "<!-- replacement target missing: " + what + " -->";
    return text.replace(at, what.size(), with);
}

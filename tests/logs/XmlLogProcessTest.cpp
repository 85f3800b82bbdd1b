// The result log across processes: a run continued by a second process
// while the resume marker is set, and a process ended in the middle of its
// saves.
#include <windows.h>

#include <cstdio>
#include <random>
#include <string>

#include <gtest/gtest.h>
#include <tinyxml2.h>

#include "logs/LogFolder.h"
#include "logs/ResumeMarker.h"
#include "logs/XmlLogText.h"
#include "support/TestSupport.h"
#include "system/ProgramInfo.h"

using tinyxml2::XMLDocument;
using tinyxml2::XMLElement;

namespace {

const wchar_t* const Writer = L"xmllog-writer.exe";

// Starts the writer with the arguments; returns its process handle.
HANDLE StartWriter(const std::wstring& arguments)
{
    const std::wstring program = GetProgramFolder() + Writer;
    std::wstring commandLine = L"\"" + program + L"\" " + arguments;
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION info = {};
    if (!CreateProcessW(program.c_str(), &commandLine[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                        &info))
        return nullptr;
    CloseHandle(info.hThread);
    return info.hProcess;
}

DWORD RunWriter(const std::wstring& arguments)
{
    HANDLE process = StartWriter(arguments);
    if (process == nullptr)
        return 0xFFFFFFFF;
    WaitForSingleObject(process, 120000);
    DWORD code = 0xFFFFFFFF;
    GetExitCodeProcess(process, &code);
    CloseHandle(process);
    return code;
}

int Count(const XMLElement* parent, const char* name)
{
    int n = 0;
    for (const XMLElement* e = parent ? parent->FirstChildElement(name) : nullptr; e; e = e->NextSiblingElement(name))
        ++n;
    return n;
}

std::string Text(const XMLElement* e)
{
    const char* t = e ? e->GetText() : nullptr;
    return t ? t : "";
}

// The marker lives in the test prefix's registry; it is cleared again at
// the end whatever happens.
class MarkerGuard {
public:
    MarkerGuard() { ClearOverwriteLogMarker(); }
    ~MarkerGuard() { ClearOverwriteLogMarker(); }
};

class ResultLogProcesses : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(FileExists(GetProgramFolder() + Writer)) << "the writer is built next to the tests";
        m_folder = m_dir.Path();
        m_folder.pop_back();  // the writer gets the folder without its separator
        m_path = m_dir.Path() + L"ZraCleanup\\UninstallLog.xml";
    }
    ScopedTempDir m_dir{L"zraxmlp"};
    std::wstring m_folder, m_path;
    MarkerGuard m_marker;
};

} // namespace

TEST_F(ResultLogProcesses, SecondRunContinuesTheFirstWhileTheMarkerIsSet)
{
    ASSERT_FALSE(IsOverwriteLogMarkerSet());
    ASSERT_EQ(0u, RunWriter(L"\"" + m_folder + L"\" run first 3"));
    XMLDocument firstDoc;
    ASSERT_TRUE(LoadXmlFile(m_path, firstDoc));
    const std::string startTime = Text(firstDoc.RootElement()->FirstChildElement("MetaData")->FirstChildElement("StartTime"));
    const std::string firstEnd = Text(firstDoc.RootElement()->FirstChildElement("MetaData")->FirstChildElement("EndTime"));
    EXPECT_FALSE(firstEnd.empty()) << "the first process stamped its end";

    // The run asked for a restart; the marker stays set and the next run continues.
    SetOverwriteLogMarker();
    ASSERT_TRUE(IsOverwriteLogMarkerSet());
    Sleep(20);
    ASSERT_EQ(0u, RunWriter(L"\"" + m_folder + L"\" run second 2"));

    XMLDocument doc;
    ASSERT_TRUE(LoadXmlFile(m_path, doc));
    const XMLElement* root = doc.RootElement();
    ASSERT_NE(nullptr, root);
    EXPECT_EQ(1, Count(root, "MetaData"));
    const XMLElement* meta = root->FirstChildElement("MetaData");
    EXPECT_EQ(startTime, Text(meta->FirstChildElement("StartTime"))) << "the first run's metadata is kept";
    EXPECT_EQ(1, Count(meta, "EndTime"));
    EXPECT_GE(Text(meta->FirstChildElement("EndTime")), firstEnd);
    EXPECT_EQ("/Silent", Text(meta->FirstChildElement("Parameter")));

    // Continued, the file keeps its printed form.
    const std::string bytes = ReadFileBytes(m_path);
    EXPECT_EQ(0u, bytes.find("<Uninstall>\r\n    <MetaData>\r\n        <OS>")) << bytes.substr(0, 80);
    EXPECT_EQ(std::string::npos, bytes.find("\r\n\r\n")) << "no blank lines";
    EXPECT_EQ(std::string::npos, bytes.find("\r\r"));
    EXPECT_EQ(std::string::npos, bytes.find("<?xml"));

    // Every item of both runs, in run order.
    const char* const sections[][2] = {
        {"Services", "service"}, {"Files", "File"}, {"MetaInstaller", "metaInstaller"}, {"MsiProducts", "msi"}};
    for (const auto& s : sections) {
        const XMLElement* section = root->FirstChildElement(s[0]);
        ASSERT_EQ(5, Count(section, s[1])) << s[0];
        const XMLElement* e = section->FirstChildElement(s[1]);
        const char* const names[] = {"first-0", "first-1", "first-2", "second-0", "second-1"};
        for (const char* name : names) {
            const std::string text = Text(e);
            EXPECT_NE(std::string::npos, text.find(name)) << s[0] << ": " << text;
            e = e->NextSiblingElement(s[1]);
        }
    }
    // The first run's reboot was closed by the second run; the second's is open.
    const XMLElement* reboots = root->FirstChildElement("Reboots");
    ASSERT_EQ(2, Count(reboots, "reboot"));
    const XMLElement* firstReboot = reboots->FirstChildElement("reboot");
    EXPECT_EQ("first", Text(firstReboot));
    ASSERT_NE(nullptr, firstReboot->Attribute("DoneTime"));
    EXPECT_GE(std::string(firstReboot->Attribute("DoneTime")), std::string(firstReboot->Attribute("RequestTime")));
    EXPECT_EQ(nullptr, reboots->LastChildElement("reboot")->Attribute("DoneTime"));

    // Once the run has completed (marker cleared) a new run starts afresh.
    ClearOverwriteLogMarker();
    ASSERT_EQ(0u, RunWriter(L"\"" + m_folder + L"\" run third 1"));
    XMLDocument fresh;
    ASSERT_TRUE(LoadXmlFile(m_path, fresh));
    EXPECT_EQ(1, Count(fresh.RootElement()->FirstChildElement("Services"), "service"));
    EXPECT_EQ(1, Count(fresh.RootElement()->FirstChildElement("Reboots"), "reboot"));
}

// The marker alone (its run's file gone) gives a new document, quietly.
TEST_F(ResultLogProcesses, MarkerWithoutAFileStartsANewDocument)
{
    SetOverwriteLogMarker();
    ASSERT_FALSE(FileExists(m_path));
    ASSERT_EQ(0u, RunWriter(L"\"" + m_folder + L"\" run only 1"));
    XMLDocument doc;
    ASSERT_TRUE(LoadXmlFile(m_path, doc));
    const XMLElement* root = doc.RootElement();
    ASSERT_NE(nullptr, root);
    EXPECT_EQ(1, Count(root, "MetaData"));
    EXPECT_EQ(10, Count(root->FirstChildElement("MetaData"), nullptr));
    EXPECT_EQ(1, Count(root->FirstChildElement("Services"), "service"));
    EXPECT_EQ(1, Count(root->FirstChildElement("Reboots"), "reboot"));
    const std::string text = ReadFileBytes(m_dir.Path() + L"ZraCleanup\\CleanupToolLog.txt");
    EXPECT_NE(std::string::npos, text.find("Utils::IsPendingReboot Entry")) << "the writer's text log";
    EXPECT_EQ(std::string::npos, text.find("could not be continued")) << text;
}

TEST_F(ResultLogProcesses, EndingTheProcessDuringSavesNeverLeavesABrokenFile)
{
    // Continue across the kills, so that the file grows and every save takes longer.
    SetOverwriteLogMarker();
    std::mt19937 random(5150u);
    int previousItems = -1;
    int kills = 0;
    for (int round = 0; round < 30; ++round) {
        // Process start-up time varies widely (under emulation it is most of
        // a second): wait for the writer's first save, then end it at a
        // random point of the saves that follow.
        const std::string before = FileExists(m_path) ? ReadFileBytes(m_path) : std::string();
        HANDLE process = StartWriter(L"\"" + m_folder + L"\" loop");
        ASSERT_NE(nullptr, process);
        for (int waited = 0; waited < 30000; waited += 10) {
            if (FileExists(m_path) && ReadFileBytes(m_path) != before) break;
            if (WaitForSingleObject(process, 10) == WAIT_OBJECT_0) break;
        }
        Sleep(random() % 250);
        ASSERT_TRUE(TerminateProcess(process, 9));
        WaitForSingleObject(process, 10000);
        CloseHandle(process);
        ++kills;

        if (!FileExists(m_path))
            continue;  // killed before the first save
        XMLDocument doc;
        ASSERT_TRUE(LoadXmlFile(m_path, doc)) << "round " << round << ": the file is not a whole document";
        // Byte for byte what a save of the continued document writes, so a
        // torn write that still parses would show too. (A new document
        // prints its empty metadata as <X></X>, read back they are <X/>:
        // only files of continuing writers are compared.)
        const std::string bytes = ReadFileBytes(m_path);
        if (round > 0 && bytes != before)
            ASSERT_EQ(XmlLogText::PrintWhole(doc), bytes) << "round " << round;
        const XMLElement* root = doc.RootElement();
        ASSERT_NE(nullptr, root);
        ASSERT_STREQ("Uninstall", root->Name());
        EXPECT_EQ(1, Count(root, "MetaData"));
        const int items = Count(root->FirstChildElement("Registries"), "registry");
        EXPECT_GE(items, previousItems) << "round " << round << ": saved items were lost";
        previousItems = items;
    }
    EXPECT_EQ(30, kills);
    EXPECT_GT(previousItems, 0) << "the writer saved items before it was ended";
}

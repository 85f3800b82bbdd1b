#include <windows.h>

#include <string>

#include <gtest/gtest.h>
#include <tinyxml2.h>

#include "logs/Log.h"
#include "logs/PreviewReport.h"
#include "logs/UninstallXmlLog.h"
#include "logs/XmlLogItem.h"
#include "support/TestSupport.h"
#include "system/MachineChanges.h"
#include "system/TextConvert.h"

namespace {

class ScopedPreviewReport {
public:
    ScopedPreviewReport() { StartPreviewReport(true); }
    ~ScopedPreviewReport()
    {
        SetChangeMode(ChangeMode::Apply);
        SetPlannedChangeSink(nullptr);
        SetChangeStep(0);
    }
};

} // namespace

TEST(PreviewReport, LinesAndSummary)
{
    PlannedChange change;
    change.kind = L"Delete service";
    change.target = L"NrvBrokerAgent";
    change.step = 5;
    EXPECT_EQ(L"\tDelete service: NrvBrokerAgent", FormatPlannedChangeLine(change));
    EXPECT_EQ(std::wstring(NothingFoundText), GetPreviewSummaryText(0));
    EXPECT_EQ(L"Preview complete: the cleanup would make 1 change. Nothing was changed.", GetPreviewSummaryText(1));
    EXPECT_EQ(L"Preview complete: the cleanup would make 12 changes. Nothing was changed.",
              GetPreviewSummaryText(12));
}

TEST(PreviewReport, EveryReportedChangeReachesTheTextLog)
{
    const size_t start = ReadFileBytes(GetDebugLog().GetFilePath()).size();
    {
        ScopedPreviewReport preview;
        EXPECT_TRUE(IsPreviewMode());
        SetChangeStep(4);
        EXPECT_TRUE(IsChangePreviewed(L"Terminate process", L"KpaSvc.exe (process id 7)"));
        EXPECT_EQ(1, GetPlannedChangeCount());
    }
    const std::string added = ReadFileBytes(GetDebugLog().GetFilePath()).substr(start);
    EXPECT_NE(std::string::npos, added.find("\tPreview: [Step 4] Terminate process: KpaSvc.exe (process id 7)\r\n"));
}

TEST(PreviewReport, ItemsOfAResultLogStartedInAPreviewCarryThePreviewStatus)
{
    std::wstring path;
    {
        ScopedPreviewReport preview;
        UninstallXmlLog log(L"PreviewReportTest.xml", false);
        path = Utf8ToWide(log.GetFilePath());
        EXPECT_TRUE(log.AddItem(CommonXmlLogItem(0, "Services", "service", "NrvBrokerAgent")));
        EXPECT_TRUE(log.AddItem(FileXmlLogItem(true, 0, "C:\\Program Files\\Halvora")));
    }
    tinyxml2::XMLDocument document;
    ASSERT_TRUE(LoadXmlFile(path, document));
    const tinyxml2::XMLElement* root = document.RootElement();
    const tinyxml2::XMLElement* service = root->FirstChildElement("Services")->FirstChildElement("service");
    ASSERT_NE(nullptr, service);
    EXPECT_STREQ("Preview", service->Attribute("Status"));
    EXPECT_STREQ("NrvBrokerAgent", service->GetText());
    const tinyxml2::XMLElement* file = root->FirstChildElement("Files")->FirstChildElement("File");
    ASSERT_NE(nullptr, file);
    EXPECT_STREQ("Preview", file->Attribute("Status"));
    DeleteFileW(path.c_str());

    // Outside a preview the outcome stands.
    {
        UninstallXmlLog log(L"PreviewReportTest.xml", false);
        EXPECT_TRUE(log.AddItem(CommonXmlLogItem(0, "Services", "service", "NrvBrokerAgent")));
    }
    ASSERT_TRUE(LoadXmlFile(path, document));
    EXPECT_STREQ("Succeeded", document.RootElement()->FirstChildElement("Services")->FirstChildElement("service")->Attribute("Status"));
    DeleteFileW(path.c_str());
}

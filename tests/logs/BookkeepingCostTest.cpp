// Which bookkeeping the cost meter books where: text-log writes as text
// log, the registry backup file and the exports as backup (also the text
// lines an export writes), result-log changes as result log.
#include <windows.h>

#include <memory>
#include <string>

#include <gtest/gtest.h>

#include "logs/Log.h"
#include "logs/UninstallXmlLog.h"
#include "logs/XmlLogItem.h"
#include "support/TestSupport.h"
#include "system/CostMeter.h"
#include "system/RegistryKey.h"

namespace {

struct BookkeepingCost : public ::testing::Test {
    // The process-wide logs start in the prefix's own temp folder, before
    // the fixture moves the temp folder for the logs under test.
    static void SetUpTestSuite()
    {
        GetDebugLog();
        GetRegLog();
    }

    ScopedTempDir temp{L"cost"};
    ScopedTempFolderOverride redirect{temp.Path()};
};

} // namespace

TEST_F(BookkeepingCost, TextLogWritesAreTextLogCost)
{
    CDebugLog log;
    const CostTicks before = GetCostTicks();
    for (int i = 0; i < 20; ++i)
        log.WriteLine(L"%ws Entry", L"Op::Name");
    log.WriteText(L"plain text");
    const CostTicks added = GetCostTicks().Since(before);
    EXPECT_GT(added[CostKind::TextLog], 0);
    EXPECT_EQ(0, added[CostKind::Backup]);
    EXPECT_EQ(0, added[CostKind::ResultLog]);
}

TEST_F(BookkeepingCost, RegistryBackupFileWritesAreBackupCost)
{
    const CostTicks before = GetCostTicks();
    {
        CRegLog backup;
        for (int i = 0; i < 20; ++i)
            backup.WriteBackupText(L"[HKEY_CURRENT_USER\\Software\\Example]");
    }
    const CostTicks added = GetCostTicks().Since(before);
    EXPECT_GT(added[CostKind::Backup], 0);
    EXPECT_EQ(0, added[CostKind::TextLog]);
    EXPECT_EQ(0, added[CostKind::ResultLog]);
}

TEST_F(BookkeepingCost, ResultLogChangesAreResultLogCost)
{
    UninstallXmlLog resultLog(L"CostTest.xml", false);
    const CostTicks before = GetCostTicks();
    resultLog.AddItem(CommonXmlLogItem(0, "Processes", "process", "agent.exe"));
    resultLog.SetValue("MetaData", "Parameter", "/Silent");
    const CostTicks added = GetCostTicks().Since(before);
    EXPECT_GT(added[CostKind::ResultLog], 0);
    EXPECT_EQ(0, added[CostKind::TextLog]);
    EXPECT_EQ(0, added[CostKind::Backup]);
}

// An export of a key whose sub key name the backup cannot hold as it is
// writes an error line to the text log while it exports: that line is part
// of the backup's cost.
TEST_F(BookkeepingCost, TextLinesWrittenDuringAnExportAreBackupCost)
{
    const std::wstring path = L"Software\\Halvora CostTest";
    DeleteRegistryTree(HKEY_CURRENT_USER, path, KEY_WOW64_64KEY);
    HKEY created = CreateRegistryKey(HKEY_CURRENT_USER, path + L"\\Name \x03A9", KEY_WOW64_64KEY);
    ASSERT_NE(nullptr, created);
    RegCloseKey(created);

    const std::wstring logPath = GetDebugLog().GetFilePath();
    const size_t logSize = ReadFileBytes(logPath).size();
    std::shared_ptr<CRegistryKey> key = CRegistryKey::Open(HKEY_CURRENT_USER, L"Software", KEY_READ | KEY_WOW64_64KEY);
    ASSERT_TRUE(key);
    const CostTicks before = GetCostTicks();
    EXPECT_EQ(ERROR_SUCCESS, key->ExportRegistryKeyAndSubkeys(HKEY_CURRENT_USER, path));
    const CostTicks added = GetCostTicks().Since(before);
    DeleteRegistryTree(HKEY_CURRENT_USER, path, KEY_WOW64_64KEY);

    const std::string lines = ReadFileBytes(logPath).substr(logSize);
    ASSERT_NE(std::string::npos, lines.find("cannot be written to the registry backup as it is")) << lines;
    EXPECT_GT(added[CostKind::Backup], 0);
    EXPECT_EQ(0, added[CostKind::TextLog]);
    EXPECT_EQ(0, added[CostKind::ResultLog]);
}

// The result log's saves: after every change the file holds exactly what a
// whole print of the document written to a text-mode file gives (the form
// a resumed run and every reader of the log expect), with and without hard
// links, for new and continued documents.
#include <windows.h>

#include <cerrno>
#include <cstdio>
#include <map>
#include <memory>
#include <random>
#include <string>

#include <gtest/gtest.h>

#include "logs/LogFolder.h"
#include "logs/ShadowedFile.h"
#include "logs/UninstallXmlLog.h"
#include "support/TestSupport.h"

namespace {

const char* const Names[] = {"registry", "File", "service", "msi", "reboot", "process", "Parameter", "EndTime"};

std::string RandomText(std::mt19937& random)
{
    const char* const parts[] = {"C:\\Program Files\\Halvora\\", "<&>\"'", "two\nlines", "tab\t", "\xC3\xA9\xE4\xB8\xAD",
                                 "HKLM\\SOFTWARE\\Halvora", "", "bad\xFF", "ctl\x01", "x"};
    std::string text;
    for (int i = random() % 4; i >= 0; --i)
        text += parts[random() % (sizeof(parts) / sizeof(parts[0]))];
    return text;
}

// One change of any kind the log offers, to any section (also ones that do
// not exist); returns its description.
std::string RandomChange(UninstallXmlLog& log, std::mt19937& random)
{
    const std::string section = random() % 25 == 0 ? "Nowhere" : UninstallXmlLog::Sections[random() % 10];
    const std::string name = Names[random() % 8];
    switch (random() % 8) {
    case 0: log.AddItem(CommonXmlLogItem(random() % 3 == 0 ? 0 : 5, section, name, RandomText(random))); break;
    case 1: log.AddItem(FileXmlLogItem(random() % 2 == 0, static_cast<int>(0x80070005), RandomText(random))); break;
    case 2: log.AddItem(MSIXmlLogItem(1603, RandomText(random), "{UC}", "7.9")); break;
    case 3: log.AddItem(RebootXmlLogItem(RandomText(random))); break;
    case 4: log.AddItem(MIXmlLogItem(3, RandomText(random))); break;
    case 5: log.SetValue(section, name, RandomText(random)); return "set " + section + "/" + name;
    case 6: log.SetValue("MetaData", random() % 2 ? "EndTime" : "FirstMsiFound", RandomText(random)); return "metadata";
    default: {
        std::map<int, std::string> fields;
        for (int f = random() % 3; f >= 0; --f)
            fields[random() % 10] = RandomText(random);
        log.UpdateLastItem(fields, section, name);
        return "update " + section + "/" + name;
    }
    }
    return "add to " + section;
}

class ResultLogSaves : public ::testing::Test {
protected:
    void SetUp() override
    {
        SetLogFolderOverride(m_dir.Path());
        m_path = m_dir.Path() + L"ZraCleanup\\UninstallLog.xml";
    }
    void TearDown() override
    {
        ShadowedFile::AllowHardLinks(true);
        SetLogFolderOverride(L"");
    }
    // The document printed whole and written through a text-mode stream,
    // as every save wrote it before the shadow copy.
    std::string WholeSave(const UninstallXmlLog& log)
    {
        const std::wstring path = m_dir.Path() + L"whole.xml";
        FILE* file = _wfopen(path.c_str(), L"w");
        if (file == nullptr)
            return "<cannot write " + std::to_string(errno) + ">";
        const std::string printed = log.PrintDocument();
        fwrite(printed.data(), 1, printed.size(), file);
        fclose(file);
        return ReadFileBytes(path);
    }
    // Runs the changes, comparing the file after each; returns the number
    // of saves that rewrote only part of the shadow copy.
    int Run(UninstallXmlLog& log, std::mt19937& random, int changes, const std::string& what)
    {
        int partial = 0;
        for (int step = 0; step < changes; ++step) {
            const std::string change = RandomChange(log, random);
            EXPECT_TRUE(log.LastSaveSucceeded()) << what << " step " << step;
            const std::string expected = WholeSave(log);
            const std::string saved = ReadFileBytes(m_path);
            if (expected != saved) {
                ADD_FAILURE() << what << " step " << step << " (" << change << "): the file is not the whole print";
                return partial;
            }
            EXPECT_EQ(expected, log.GetText());
            partial += log.LastSaveWasPartial() ? 1 : 0;
        }
        return partial;
    }

    ScopedTempDir m_dir{L"zraxmls"};
    std::wstring m_path;
};

} // namespace

TEST_F(ResultLogSaves, EverySaveIsTheWholePrint)
{
    for (unsigned seed = 1; seed <= 3; ++seed) {
        std::mt19937 random(seed);
        std::string final;
        {
            UninstallXmlLog log(L"UninstallLog.xml", false);
            EXPECT_EQ(WholeSave(log), ReadFileBytes(m_path)) << "the new document";
            const int partial = Run(log, random, 150, "seed " + std::to_string(seed));
            EXPECT_GE(partial, 140) << "saves after the first write only what changed";
            final = WholeSave(log);
        }
        // The end time was stamped: the file changed once more, still whole.
        const std::string last = ReadFileBytes(m_path);
        EXPECT_NE(final, last);
        EXPECT_NE(std::string::npos, last.find("<EndTime")) << last.substr(0, 400);
        EXPECT_FALSE(FileExists(m_path + L".tmp")) << "no shadow copy after the end";
        EXPECT_FALSE(FileExists(m_path + L".tmp2"));
    }
}

// On a volume without hard links every save writes a whole new file, with
// the same bytes.
TEST_F(ResultLogSaves, WithoutHardLinksTheBytesAreTheSame)
{
    ShadowedFile::AllowHardLinks(false);
    std::mt19937 random(42u);
    {
        UninstallXmlLog log(L"UninstallLog.xml", false);
        EXPECT_EQ(0, Run(log, random, 120, "no links"));
        EXPECT_FALSE(FileExists(m_path + L".tmp")) << "nothing is kept beside the log";
        EXPECT_FALSE(FileExists(m_path + L".tmp2"));
    }
    EXPECT_FALSE(FileExists(m_path + L".tmp"));
    EXPECT_FALSE(FileExists(m_path + L".tmp2"));

    // Hard links that stop working in the middle of a log: same bytes.
    ShadowedFile::AllowHardLinks(true);
    UninstallXmlLog log(L"UninstallLog.xml", true);
    Run(log, random, 30, "links");
    ShadowedFile::AllowHardLinks(false);
    EXPECT_EQ(0, Run(log, random, 30, "links gone"));
}

// A resumed run continues the file it finds: the first saves write whole
// files, then only what changed, and the bytes are the whole print.
TEST_F(ResultLogSaves, AContinuedLogKeepsTheWholePrint)
{
    std::mt19937 random(9u);
    {
        UninstallXmlLog first(L"UninstallLog.xml", false);
        Run(first, random, 60, "first run");
    }
    const std::string firstFile = ReadFileBytes(m_path);
    // A shadow copy left by a killed run must not be taken for this run's.
    WriteFileBytes(m_path + L".tmp", firstFile.substr(0, firstFile.size() / 2));
    WriteFileBytes(m_path + L".tmp2", firstFile);
    {
        UninstallXmlLog second(L"UninstallLog.xml", true);
        EXPECT_EQ(firstFile, ReadFileBytes(m_path)) << "opening changes nothing";
        const int partial = Run(second, random, 100, "continued run");
        EXPECT_GE(partial, 95);
    }
    EXPECT_FALSE(FileExists(m_path + L".tmp"));
    EXPECT_FALSE(FileExists(m_path + L".tmp2"));
}

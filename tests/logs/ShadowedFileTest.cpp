// A file replaced whole on every save through a shadow copy one save
// behind: the file always holds the last save's bytes, whatever happened to
// the shadow in between, and the shadow never outlives its owner.
#include <windows.h>

#include <random>
#include <string>

#include <gtest/gtest.h>

#include "logs/ShadowedFile.h"
#include "support/TestSupport.h"

namespace {

size_t FirstDifference(const std::string& a, const std::string& b)
{
    size_t i = 0;
    while (i < a.size() && i < b.size() && a[i] == b[i])
        ++i;
    return i == a.size() && i == b.size() ? std::string::npos : i;
}

// Bytes that change the way a log does: mostly near the end, now and then
// in the middle or at the very start, growing and shrinking.
std::string NextBytes(const std::string& bytes, std::mt19937& random)
{
    std::string next = bytes;
    const size_t at = next.empty() ? 0 : (random() % 5 == 0 ? random() % next.size() : next.size() - random() % 20 % (next.size() + 1));
    switch (random() % 4) {
    case 0: next.insert(at, std::string(1 + random() % 300, static_cast<char>('a' + random() % 26))); break;
    case 1: next.erase(at, random() % 40); break;
    case 2: if (at < next.size()) next[at] = static_cast<char>('A' + random() % 26); break;
    default: next += "\r\n<item>" + std::to_string(random()) + "</item>"; break;
    }
    return next;
}

class ShadowedFiles : public ::testing::Test {
protected:
    void TearDown() override { ShadowedFile::AllowHardLinks(true); }
    // Saves the bytes and checks the file holds them.
    void SaveAndCheck(ShadowedFile& file, const std::string& bytes, const std::string& step)
    {
        ASSERT_EQ(0u, file.Save(bytes, FirstDifference(m_last, bytes))) << step;
        m_last = bytes;
        ASSERT_EQ(bytes, ReadFileBytes(m_path)) << step;
    }
    ScopedTempDir m_dir{L"zrashadow"};
    std::wstring m_path = m_dir.Path() + L"log.xml";
    std::string m_last;
};

} // namespace

TEST_F(ShadowedFiles, RandomSavesLeaveExactlyTheLastBytes)
{
    for (bool links : {true, false}) {
        ShadowedFile::AllowHardLinks(links);
        DeleteFileW(m_path.c_str());
        m_last.clear();
        std::mt19937 random(links ? 11u : 12u);
        std::string bytes;
        int partial = 0;
        {
            ShadowedFile file(m_path);
            for (int step = 0; step < 300; ++step) {
                bytes = NextBytes(bytes, random);
                SaveAndCheck(file, bytes, (links ? "links, step " : "no links, step ") + std::to_string(step));
                if (HasFatalFailure())
                    return;
                partial += file.LastSaveWasPartial() ? 1 : 0;
            }
            // With links the two first saves write whole files, the rest only
            // what changed; without links every save writes a whole new file.
            if (links)
                EXPECT_EQ(298, partial);
            else
                EXPECT_EQ(0, partial);
            EXPECT_EQ(links, FileExists(file.ShadowPath()));
        }
        EXPECT_FALSE(FileExists(m_path + L".tmp")) << "the shadow goes with its owner";
        EXPECT_FALSE(FileExists(m_path + L".tmp2"));
        EXPECT_EQ(bytes, ReadFileBytes(m_path));
    }
}

// Anything doubtful about the shadow makes that save a whole write; none of
// it ever reaches the file.
TEST_F(ShadowedFiles, ADoubtfulShadowIsNeverWrittenThrough)
{
    ShadowedFile file(m_path);
    std::string bytes = "<Uninstall>\r\n    <Files/>\r\n</Uninstall>\r\n";
    SaveAndCheck(file, bytes, "first");
    SaveAndCheck(file, bytes + "a", "second");
    ASSERT_TRUE(FileExists(file.ShadowPath()));
    SaveAndCheck(file, bytes + "ab", "third");
    EXPECT_TRUE(file.LastSaveWasPartial());

    // Deleted by someone else.
    ASSERT_TRUE(DeleteFileW(file.ShadowPath().c_str()));
    SaveAndCheck(file, bytes + "abc", "deleted shadow");
    EXPECT_FALSE(file.LastSaveWasPartial());
    SaveAndCheck(file, bytes + "abcd", "after the deleted shadow");
    EXPECT_TRUE(file.LastSaveWasPartial()) << "the whole write made a new shadow";

    // Another size than the save one behind had.
    WriteFileBytes(file.ShadowPath(), "short");
    SaveAndCheck(file, bytes + "abcde", "resized shadow");
    EXPECT_FALSE(file.LastSaveWasPartial());

    // A second name of the file itself in the shadow's place: writing
    // there would tear the file.
    ASSERT_TRUE(DeleteFileW(file.ShadowPath().c_str()));
    ASSERT_TRUE(CreateHardLinkW(file.ShadowPath().c_str(), m_path.c_str(), nullptr));
    const std::string next = bytes + "abcdef";
    ASSERT_EQ(0u, file.Save(next, bytes.size() + 5));
    m_last = next;
    EXPECT_FALSE(file.LastSaveWasPartial());
    EXPECT_EQ(next, ReadFileBytes(m_path));

    // A second name of the file where the next link goes.
    SaveAndCheck(file, next + "g", "new shadow");
    const std::wstring other = file.ShadowPath() == m_path + L".tmp" ? m_path + L".tmp2" : m_path + L".tmp";
    ASSERT_TRUE(CreateHardLinkW(other.c_str(), m_path.c_str(), nullptr));
    SaveAndCheck(file, next + "gh", "second name in the way");
    EXPECT_TRUE(file.LastSaveWasPartial());
    SaveAndCheck(file, next + "ghi", "after the second name");
    EXPECT_TRUE(file.LastSaveWasPartial()) << "the links still work";
}

TEST_F(ShadowedFiles, AFailedSaveLeavesTheFileAndTheNextSaveWritesEverything)
{
    ShadowedFile file(m_path);
    SaveAndCheck(file, "one\r\n", "first");
    SaveAndCheck(file, "one\r\ntwo\r\n", "second");
    // A folder in the shadow's place: the save fails, the file stays.
    ASSERT_TRUE(DeleteFileW(file.ShadowPath().c_str()));
    ASSERT_TRUE(CreateDirectoryW(file.ShadowPath().c_str(), nullptr));
    EXPECT_NE(0u, file.Save("one\r\ntwo\r\nthree\r\n", 10));
    EXPECT_EQ("one\r\ntwo\r\n", ReadFileBytes(m_path));
    EXPECT_NE(0u, file.Save("one\r\ntwo\r\nthree\r\nfour\r\n", 17));
    ASSERT_TRUE(RemoveDirectoryW(file.ShadowPath().c_str()));
    // The failed saves' changes are not lost: the changed offsets add up.
    EXPECT_EQ(0u, file.Save("one\r\ntwo\r\nthree\r\nfour\r\nfive\r\n", 23));
    EXPECT_EQ("one\r\ntwo\r\nthree\r\nfour\r\nfive\r\n", ReadFileBytes(m_path));
    m_last = "one\r\ntwo\r\nthree\r\nfour\r\nfive\r\n";
    SaveAndCheck(file, "one\r\nTWO\r\nthree\r\nfour\r\nfive\r\n", "shadow again");
    SaveAndCheck(file, "one\r\nTWO\r\nthree\r\nfour\r\nfive\r\nsix\r\n", "partial again");
    EXPECT_TRUE(file.LastSaveWasPartial());
}

// A file written by someone else (a resumed run's log) is kept whole
// until this object has written it once.
TEST_F(ShadowedFiles, AnExistingFileIsReplacedWhole)
{
    WriteFileBytes(m_path, "an earlier run's file, longer than the new one\r\n");
    WriteFileBytes(m_path + L".tmp", "a shadow left by a killed run");
    ShadowedFile file(m_path);
    SaveAndCheck(file, "new\r\n", "first");
    SaveAndCheck(file, "new\r\nmore\r\n", "second");
    SaveAndCheck(file, "new\r\nmore\r\nagain\r\n", "third");
    EXPECT_TRUE(file.LastSaveWasPartial());
}

// Once the shadow is established, a save that appends writes the appended
// bytes of the last two saves, not the file.
TEST_F(ShadowedFiles, AppendingWritesOnlyTheChangedBytes)
{
    ShadowedFile file(m_path);
    std::string bytes(100000, 'x');
    SaveAndCheck(file, bytes, "first");
    bytes += "0123456789";
    SaveAndCheck(file, bytes, "second");
    const unsigned long long before = file.BytesWritten();
    EXPECT_EQ(200010u, before) << "two whole writes";
    for (int i = 0; i < 50; ++i) {
        bytes += "0123456789";
        SaveAndCheck(file, bytes, "append " + std::to_string(i));
        EXPECT_TRUE(file.LastSaveWasPartial());
    }
    // The first partial save brings the shadow from the first save (11
    // bytes shorter); each later one rewrites the last two appends.
    EXPECT_EQ(20u + 49u * 20u, file.BytesWritten() - before);
}

// A second name of the file itself, of just the size the shadow should
// have, is still never written through: it is the file's only protection
// against a torn write.
TEST_F(ShadowedFiles, ASecondNameOfTheFileIsNotTakenForTheShadow)
{
    ShadowedFile file(m_path);
    SaveAndCheck(file, "aaaa", "first");
    SaveAndCheck(file, "aaab", "second");
    ASSERT_TRUE(DeleteFileW(file.ShadowPath().c_str()));
    ASSERT_TRUE(CreateHardLinkW(file.ShadowPath().c_str(), m_path.c_str(), nullptr));
    ASSERT_EQ(4u, ReadFileBytes(file.ShadowPath()).size());
    SaveAndCheck(file, "aaac", "third");
    EXPECT_FALSE(file.LastSaveWasPartial()) << "a whole new file, not a write into the file";
    SaveAndCheck(file, "aaad", "fourth");
    EXPECT_TRUE(file.LastSaveWasPartial());
}

#include <windows.h>
#include <zlib.h>

#include <cstdint>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "net/ZipArchive.h"
#include "support/TestSupport.h"
#include "system/TextConvert.h"
#include "system/UniqueHandle.h"

namespace {

uint32_t Get32(const std::string& bytes, size_t at)
{
    return static_cast<uint32_t>(static_cast<unsigned char>(bytes[at])) |
           static_cast<uint32_t>(static_cast<unsigned char>(bytes[at + 1])) << 8 |
           static_cast<uint32_t>(static_cast<unsigned char>(bytes[at + 2])) << 16 |
           static_cast<uint32_t>(static_cast<unsigned char>(bytes[at + 3])) << 24;
}

uint16_t Get16(const std::string& bytes, size_t at)
{
    return static_cast<uint16_t>(static_cast<unsigned char>(bytes[at]) |
                                 static_cast<unsigned char>(bytes[at + 1]) << 8);
}

std::string Inflate(const std::string& data, size_t expected)
{
    z_stream stream = {};
    EXPECT_EQ(Z_OK, inflateInit2(&stream, -MAX_WBITS));
    std::string out(expected + 1, '\0');
    stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data()));
    stream.avail_in = static_cast<uInt>(data.size());
    stream.next_out = reinterpret_cast<Bytef*>(&out[0]);
    stream.avail_out = static_cast<uInt>(out.size());
    EXPECT_EQ(Z_STREAM_END, inflate(&stream, Z_FINISH));
    EXPECT_EQ(0u, stream.avail_in) << "data after the end of the deflate stream";
    out.resize(stream.total_out);
    inflateEnd(&stream);
    return out;
}

struct ZipEntry {
    std::string name;
    uint16_t flags;
    std::string data;
};

// Reads the archive through its end record and central directory, checks
// every local header against its directory entry, and inflates the data
// (checked against its CRC-32 and sizes).
std::vector<ZipEntry> ReadArchive(const std::string& bytes)
{
    std::vector<ZipEntry> entries;
    EXPECT_GE(bytes.size(), 22u);
    if (bytes.size() < 22)
        return entries;
    const size_t end = bytes.size() - 22;
    EXPECT_EQ(0x06054B50u, Get32(bytes, end));
    const uint16_t count = Get16(bytes, end + 10);
    EXPECT_EQ(count, Get16(bytes, end + 8));
    const uint32_t directorySize = Get32(bytes, end + 12);
    const uint32_t directoryOffset = Get32(bytes, end + 16);
    EXPECT_EQ(end, static_cast<size_t>(directoryOffset) + directorySize);
    size_t at = directoryOffset;
    for (uint16_t i = 0; i < count && at + 46 <= end; ++i) {
        EXPECT_EQ(0x02014B50u, Get32(bytes, at));
        ZipEntry entry;
        entry.flags = Get16(bytes, at + 8);
        EXPECT_EQ(8, Get16(bytes, at + 10));  // deflate
        const uint32_t crc = Get32(bytes, at + 16);
        const uint32_t compressed = Get32(bytes, at + 20);
        const uint32_t size = Get32(bytes, at + 24);
        const uint16_t nameLength = Get16(bytes, at + 28);
        const size_t extra = Get16(bytes, at + 30) + Get16(bytes, at + 32);
        const uint32_t local = Get32(bytes, at + 42);
        entry.name = bytes.substr(at + 46, nameLength);
        at += 46 + nameLength + extra;

        EXPECT_EQ(0x04034B50u, Get32(bytes, local));
        EXPECT_EQ(entry.flags, Get16(bytes, local + 6));
        EXPECT_EQ(crc, Get32(bytes, local + 14));
        EXPECT_EQ(compressed, Get32(bytes, local + 18));
        EXPECT_EQ(size, Get32(bytes, local + 22));
        EXPECT_EQ(nameLength, Get16(bytes, local + 26));
        EXPECT_EQ(entry.name, bytes.substr(local + 30, nameLength));
        const size_t dataAt = local + 30 + nameLength + Get16(bytes, local + 28);
        entry.data = Inflate(bytes.substr(dataAt, compressed), size);
        EXPECT_EQ(size, entry.data.size());
        EXPECT_EQ(crc, crc32(0, reinterpret_cast<const Bytef*>(entry.data.data()),
                             static_cast<uInt>(entry.data.size())));
        entries.push_back(entry);
    }
    EXPECT_EQ(static_cast<size_t>(directoryOffset) + directorySize, at);
    return entries;
}

std::string RandomBytes(size_t count, unsigned seed)
{
    std::string bytes(count, '\0');
    for (size_t i = 0; i < count; ++i) {
        seed = seed * 1103515245u + 12345u;
        bytes[i] = static_cast<char>(seed >> 16);
    }
    return bytes;
}

class ZipArchiveTest : public ::testing::Test {
protected:
    std::wstring Path(const std::wstring& name) const { return m_dir.Path() + name; }
    ScopedTempDir m_dir{L"zip"};
};

} // namespace

TEST_F(ZipArchiveTest, NewArchiveIsTheEmptyEndRecordAndReplacesAnOldFile)
{
    const std::wstring path = Path(L"logs.zip");
    WriteFileBytes(path, std::string(5000, 'x'));
    ShellZipArchive archive(path);
    EXPECT_EQ(std::string("PK\x05\x06", 4) + std::string(18, '\0'), ReadFileBytes(path));
}

TEST_F(ZipArchiveTest, MissingFileOrEmptyPathAddsNothingAndSucceeds)
{
    const std::wstring path = Path(L"logs.zip");
    ShellZipArchive archive(path);
    EXPECT_EQ(S_OK, archive.AddFile(L""));
    EXPECT_EQ(S_OK, archive.AddFile(Path(L"not there.txt")));
    EXPECT_EQ(S_OK, archive.AddFile(Path(L"no folder\\file.txt")));
    EXPECT_EQ(22u, ReadFileBytes(path).size());
}

TEST_F(ZipArchiveTest, EveryAdditionLeavesAWholeArchive)
{
    std::string log;
    for (int i = 0; i < 20000; ++i)
        log += "2026-12-08 10:00:00:000\tCRegistryKey::DeleteKey Entry " + std::to_string(i) + "\r\n";
    const std::string random = RandomBytes(300 * 1024, 7);
    WriteFileBytes(Path(L"CleanupToolLog.txt"), log);
    WriteFileBytes(Path(L"UninstallLog.xml"), random);
    WriteFileBytes(Path(L"empty.txt"), "");
    WriteFileBytes(Path(L"Zo\u00EB \u03A9.xml"), "<a/>");

    const std::wstring path = Path(L"logs.zip");
    ShellZipArchive archive(path);
    ASSERT_EQ(S_OK, archive.AddFile(Path(L"CleanupToolLog.txt")));
    std::vector<ZipEntry> entries = ReadArchive(ReadFileBytes(path));
    ASSERT_EQ(1u, entries.size());
    EXPECT_EQ("CleanupToolLog.txt", entries[0].name);
    EXPECT_EQ(log, entries[0].data);
    EXPECT_LT(ReadFileBytes(path).size(), log.size() / 5) << "text is compressed";

    ASSERT_EQ(S_OK, archive.AddFile(Path(L"UninstallLog.xml")));
    ASSERT_EQ(S_OK, archive.AddFile(Path(L"empty.txt")));
    ASSERT_EQ(S_OK, archive.AddFile(Path(L"Zo\u00EB \u03A9.xml")));
    entries = ReadArchive(ReadFileBytes(path));
    ASSERT_EQ(4u, entries.size());
    EXPECT_EQ(log, entries[0].data);
    EXPECT_EQ("UninstallLog.xml", entries[1].name);
    EXPECT_EQ(random, entries[1].data);
    EXPECT_EQ("empty.txt", entries[2].name);
    EXPECT_EQ("", entries[2].data);
    EXPECT_EQ(0, entries[2].flags);
    // A name beyond ASCII is stored as UTF-8 and flagged so.
    EXPECT_EQ(WideToUtf8(L"Zo\u00EB \u03A9.xml"), entries[3].name);
    EXPECT_EQ(0x0800, entries[3].flags);
    EXPECT_EQ("<a/>", entries[3].data);
}

TEST_F(ZipArchiveTest, RefusedAdditionsLeaveTheArchiveAsItWas)
{
    WriteFileBytes(Path(L"a.txt"), "first");
    const std::wstring path = Path(L"logs.zip");
    ShellZipArchive archive(path);
    ASSERT_EQ(S_OK, archive.AddFile(Path(L"a.txt")));
    const std::string before = ReadFileBytes(path);

    // The same name again, from another folder and in other letters.
    CreateDirectoryW(Path(L"other").c_str(), nullptr);
    WriteFileBytes(Path(L"other\\A.TXT"), "second");
    EXPECT_EQ(HRESULT_FROM_WIN32(ERROR_FILE_EXISTS), archive.AddFile(Path(L"other\\A.TXT")));
    EXPECT_EQ(before, ReadFileBytes(path));

    // A folder is not a file.
    EXPECT_EQ(HRESULT_FROM_WIN32(ERROR_DIRECTORY), archive.AddFile(Path(L"other")));
    EXPECT_EQ(before, ReadFileBytes(path));

    // A file held without sharing cannot be read.
    WriteFileBytes(Path(L"locked.txt"), "locked");
    UniqueKernelHandle locked(CreateFileW(Path(L"locked.txt").c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                          OPEN_EXISTING, 0, nullptr));
    ASSERT_TRUE(locked.valid());
    EXPECT_EQ(HRESULT_FROM_WIN32(ERROR_SHARING_VIOLATION), archive.AddFile(Path(L"locked.txt")));
    locked.reset();
    EXPECT_EQ(before, ReadFileBytes(path));

    // Afterwards the next file goes in as usual.
    WriteFileBytes(Path(L"b.txt"), "third");
    ASSERT_EQ(S_OK, archive.AddFile(Path(L"b.txt")));
    const std::vector<ZipEntry> entries = ReadArchive(ReadFileBytes(path));
    ASSERT_EQ(2u, entries.size());
    EXPECT_EQ("first", entries[0].data);
    EXPECT_EQ("third", entries[1].data);
}

TEST_F(ZipArchiveTest, ArchiveThatCannotBeWrittenFailsTheAddition)
{
    WriteFileBytes(Path(L"a.txt"), "text");
    // A folder of that name stands where the archive would go.
    CreateDirectoryW(Path(L"logs.zip").c_str(), nullptr);
    ShellZipArchive archive(Path(L"logs.zip"));
    EXPECT_TRUE(FAILED(archive.AddFile(Path(L"a.txt"))));

    // The archive deleted under it: the addition fails, nothing crashes.
    ShellZipArchive gone(Path(L"gone.zip"));
    DeleteFileW(Path(L"gone.zip").c_str());
    EXPECT_EQ(HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND), gone.AddFile(Path(L"a.txt")));
    EXPECT_FALSE(FileExists(Path(L"gone.zip")));
}

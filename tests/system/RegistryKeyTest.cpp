#include <windows.h>

#include <algorithm>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "logs/Log.h"
#include "support/TestSupport.h"
#include "system/AsciiText.h"
#include "system/RegistryKey.h"
#include "system/TextConvert.h"
#include "system/UniqueHandle.h"

namespace {

// What the text log received since the object was made.
class LogWatch {
public:
    LogWatch() : m_start(ReadFileBytes(GetDebugLog().GetFilePath()).size()) {}
    std::string Added() const { return ReadFileBytes(GetDebugLog().GetFilePath()).substr(m_start); }

private:
    size_t m_start;
};

class RegBackupWatch {
public:
    RegBackupWatch() : m_start(ReadFileBytes(GetRegLog().GetFilePath()).size()) {}
    std::string Added() const { return ReadFileBytes(GetRegLog().GetFilePath()).substr(m_start); }

private:
    size_t m_start;
};

std::vector<BYTE> Text(const std::wstring& text, bool terminator = true)
{
    const BYTE* begin = reinterpret_cast<const BYTE*>(text.c_str());
    return std::vector<BYTE>(begin, begin + (text.size() + (terminator ? 1 : 0)) * sizeof(wchar_t));
}

class RegistryKeyTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        DeleteRegistryTree(HKEY_CURRENT_USER, kPath, KEY_WOW64_64KEY);
        HKEY key = nullptr;
        ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExW(HKEY_CURRENT_USER, kPath, 0, nullptr, 0,
                                                 KEY_ALL_ACCESS | KEY_WOW64_64KEY, nullptr, &key, nullptr));
        RegCloseKey(key);
        m_key = CRegistryKey::Open(HKEY_CURRENT_USER, kPath, KEY_ALL_ACCESS | KEY_WOW64_64KEY);
        ASSERT_TRUE(m_key);
    }
    void TearDown() override
    {
        m_key.reset();
        DeleteRegistryTree(HKEY_CURRENT_USER, kPath, KEY_WOW64_64KEY);
    }
    void Set(const std::wstring& name, DWORD type, const std::vector<BYTE>& data)
    {
        ASSERT_EQ(ERROR_SUCCESS, RegSetValueExW(m_key->GetHandle(), name.c_str(), 0, type,
                                                data.empty() ? nullptr : data.data(), static_cast<DWORD>(data.size())));
    }
    std::wstring Line(DWORD type, const std::wstring& name, const std::vector<BYTE>& data)
    {
        std::wstring line = L"left over";
        m_key->GetValueDataPair(type, name, static_cast<DWORD>(name.size()), data.empty() ? nullptr : data.data(),
                                static_cast<DWORD>(data.size()), line);
        return line;
    }

    static constexpr const wchar_t* kPath = L"Software\\Halvora KeyTest";
    std::shared_ptr<CRegistryKey> m_key;
};

TEST_F(RegistryKeyTest, StringLinesEscapeAndFallBackToHex)
{
    EXPECT_EQ(L"@=\"default\"", Line(REG_SZ, L"", Text(L"default")));
    EXPECT_EQ(L"\"path\"=\"C:\\\\dir\\\\ \\\"q\\\"\"", Line(REG_SZ, L"path", Text(L"C:\\dir\\ \"q\"")));
    EXPECT_EQ(L"\"a\\\\b\"=\"\"", Line(REG_SZ, L"a\\b", Text(L"")));
    // A quotation mark in the name is escaped too: unescaped, the importer
    // would end the name there and drop the value.
    EXPECT_EQ(L"\"say \\\"hi\\\"\"=\"x\"", Line(REG_SZ, L"say \"hi\"", Text(L"x")));
    EXPECT_EQ(L"\"p\"=\"100% %s\"", Line(REG_SZ, L"p", Text(L"100% %s")));
    // Data the quoted form would not give back exactly goes out as hex(1):
    // text beyond 7-bit ASCII, control characters, no terminator, bytes after
    // the terminator, odd sizes, no data at all.
    EXPECT_EQ(L"\"n\"=hex(1):e9,00,00,00", Line(REG_SZ, L"n", Text(L"\u00e9")));
    EXPECT_EQ(L"\"n\"=hex(1):2d,4e,00,00", Line(REG_SZ, L"n", Text(L"\u4e2d")));
    EXPECT_EQ(L"\"n\"=hex(1):61,00,0a,00,00,00", Line(REG_SZ, L"n", Text(L"a\n")));
    EXPECT_EQ(L"\"n\"=hex(1):61,00,62,00", Line(REG_SZ, L"n", Text(L"ab", false)));
    EXPECT_EQ(L"\"n\"=hex(1):61,00,00,00,62,00,00,00", Line(REG_SZ, L"n", Text(std::wstring(L"a\0b", 3))));
    EXPECT_EQ(L"\"n\"=hex(1):61,00,62", Line(REG_SZ, L"n", {0x61, 0, 0x62}));
    EXPECT_EQ(L"\"n\"=hex(1):", Line(REG_SZ, L"n", {}));
}

TEST_F(RegistryKeyTest, DwordAndHexLines)
{
    EXPECT_EQ(L"\"d\"=dword:0000001a", Line(REG_DWORD, L"d", {0x1a, 0, 0, 0}));
    EXPECT_EQ(L"@=dword:ffffffff", Line(REG_DWORD, L"", {0xff, 0xff, 0xff, 0xff}));
    // A REG_DWORD of another size keeps its exact bytes.
    EXPECT_EQ(L"\"d\"=hex(4):01,00,00,00,00,00,00,00", Line(REG_DWORD, L"d", {1, 0, 0, 0, 0, 0, 0, 0}));
    EXPECT_EQ(L"\"d\"=hex(4):01,02", Line(REG_DWORD, L"d", {1, 2}));
    EXPECT_EQ(L"\"d\"=hex(4):", Line(REG_DWORD, L"d", {}));
    EXPECT_EQ(L"\"q\"=hex(b):01,02,03,04", Line(REG_QWORD, L"q", {1, 2, 3, 4}));

    EXPECT_EQ(L"\"e\"=hex(2):61,00,62,00,00,00", Line(REG_EXPAND_SZ, L"e", Text(L"ab")));
    EXPECT_EQ(L"\"m\"=hex(7):61,00,00,00,00,00", Line(REG_MULTI_SZ, L"m", Text(std::wstring(L"a\0", 2))));
    EXPECT_EQ(L"\"q\"=hex(b):01,02,03,04,05,06,07,08", Line(REG_QWORD, L"q", {1, 2, 3, 4, 5, 6, 7, 8}));
    EXPECT_EQ(L"\"x\"=hex(1234abcd):00", Line(0x1234abcd, L"x", {0}));
    EXPECT_EQ(L"\"e\"=hex:", Line(REG_BINARY, L"e", {}));
}

TEST_F(RegistryKeyTest, LongHexDataWrapsAtColumn75)
{
    std::vector<BYTE> data(40);
    for (size_t i = 0; i < data.size(); ++i)
        data[i] = static_cast<BYTE>(i);
    // "bin"=hex: is 10 columns; the 22nd byte takes the count to 76.
    EXPECT_EQ(L"\"bin\"=hex:00,01,02,03,04,05,06,07,08,09,0a,0b,0c,0d,0e,0f,10,11,12,13,14,15,\\\n"
              L"  16,17,18,19,1a,1b,1c,1d,1e,1f,20,21,22,23,24,25,26,27",
              Line(REG_BINARY, L"bin", data));
    // Exactly 22 bytes: the count passes 75 at the last byte, which is never
    // followed by a continuation.
    data.resize(22);
    const std::wstring line = Line(REG_BINARY, L"bin", data);
    EXPECT_EQ(L"\"bin\"=hex:00,01,02,03,04,05,06,07,08,09,0a,0b,0c,0d,0e,0f,10,11,12,13,14,15", line);
    // Continued lines hold 25 bytes each.
    data.assign(22 + 25 + 1, 0xee);
    const std::wstring wrapped = Line(REG_BINARY, L"bin", data);
    const size_t first = wrapped.find(L"\\\n  ");
    const size_t second = wrapped.find(L"\\\n  ", first + 1);
    ASSERT_NE(std::wstring::npos, second);
    EXPECT_EQ(4u + 25 * 3, second - first);
    EXPECT_EQ(L"\\\n  ee", wrapped.substr(second));
}

TEST_F(RegistryKeyTest, TypedQueries)
{
    Set(L"text", REG_SZ, Text(L"hello"));
    Set(L"expand", REG_EXPAND_SZ, Text(L"%TEMP%"));
    Set(L"short", REG_DWORD, {1, 2});
    Set(L"dword", REG_DWORD, {0x78, 0x56, 0x34, 0x12});
    Set(L"multi", REG_MULTI_SZ, Text(std::wstring(L"abc\0", 4)));
    Set(L"multi2", REG_MULTI_SZ, Text(std::wstring(L"a\0b\0", 4), false));
    Set(L"multi3", REG_MULTI_SZ, Text(std::wstring(L"a\0b\0", 4)));
    Set(L"multiEmpty", REG_MULTI_SZ, {});
    Set(L"empty", REG_BINARY, {});

    DWORD value = 0;
    EXPECT_EQ(ERROR_SUCCESS, m_key->QueryDwordValue(L"dword", value));
    EXPECT_EQ(0x12345678u, value);
    LogWatch log;
    EXPECT_EQ(ERROR_DATATYPE_MISMATCH, m_key->QueryDwordValue(L"text", value));
    EXPECT_EQ(ERROR_INVALID_DATA, m_key->QueryDwordValue(L"short", value));
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, m_key->QueryDwordValue(L"missing", value));
    const std::string added = log.Added();
    EXPECT_NE(std::string::npos, added.find("\tCRegistryKey::QueryDwordValue: failed with invalid registry value type: "
                                            "expected type: 4 retrieved type: 1\r\n"));
    EXPECT_NE(std::string::npos, added.find("\tCRegistryKey::QueryDwordValue: failed with invalid registry value size: "
                                            "expected size: 4 retrieved size: 2\r\n"));
    EXPECT_NE(std::string::npos, added.find("\tCRegistryKey::QueryValue:RegQueryValueEx: failed with error: 2\r\n"));

    std::wstring text = L"old";
    EXPECT_EQ(ERROR_SUCCESS, m_key->QueryStringValue(L"text", text));
    EXPECT_EQ(L"hello", text);
    std::vector<std::wstring> list;
    {
        // A value of another type is refused without a message.
        LogWatch silent;
        EXPECT_EQ(ERROR_DATATYPE_MISMATCH, m_key->QueryStringValue(L"expand", text));
        EXPECT_EQ(ERROR_DATATYPE_MISMATCH, m_key->QueryMulStringValue(L"text", list));
        EXPECT_EQ("", silent.Added());
    }
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, m_key->QueryStringValue(L"missing", text));

    // The elements are added to what the list already holds.
    list.assign(1, L"kept");
    EXPECT_EQ(ERROR_SUCCESS, m_key->QueryMulStringValue(L"multi", list));
    EXPECT_EQ((std::vector<std::wstring>{L"kept", L"abc", L""}), list);
    list.clear();
    EXPECT_EQ(ERROR_SUCCESS, m_key->QueryMulStringValue(L"multi2", list));
    EXPECT_EQ((std::vector<std::wstring>{L"a", L"b"}), list);
    list.clear();
    EXPECT_EQ(ERROR_SUCCESS, m_key->QueryMulStringValue(L"multi3", list));
    EXPECT_EQ((std::vector<std::wstring>{L"a", L"b", L""}), list);
    EXPECT_EQ(ERROR_SUCCESS, m_key->QueryMulStringValue(L"multiEmpty", list));
    EXPECT_TRUE(list.empty());

    DWORD type = 0;
    std::vector<BYTE> data{1};
    EXPECT_EQ(ERROR_INVALID_DATA, m_key->QueryValue(L"empty", type, data));
    EXPECT_TRUE(data.empty());
}

TEST_F(RegistryKeyTest, WritesRefuseEmptyArgumentsAndMissingThingsAreSilent)
{
    LogWatch log;
    EXPECT_EQ(ERROR_BAD_ARGUMENTS, m_key->DeleteValue(L""));
    EXPECT_EQ(ERROR_BAD_ARGUMENTS, m_key->SetStringValue(L"s", L""));
    std::string added = log.Added();
    EXPECT_NE(std::string::npos, added.find("\tCRegistryKey::DeleteValue: failed with ERROR_BAD_ARGUMENTS\r\n"));
    EXPECT_NE(std::string::npos, added.find("\tCRegistryKey::SetStringValue: failed with ERROR_BAD_ARGUMENTS\r\n"));

    LogWatch quiet;
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, m_key->DeleteValue(L"missing"));
    EXPECT_FALSE(CRegistryKey::Open(HKEY_CURRENT_USER, L"Software\\Halvora KeyTest\\missing", KEY_READ));
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, m_key->ExportRegistryKeyAndSubkeys(HKEY_CURRENT_USER, L"Software\\nothing here"));
    EXPECT_EQ("", quiet.Added());

    EXPECT_EQ(ERROR_SUCCESS, m_key->SetStringValue(L"s", L"v"));
    DWORD type = 0;
    std::vector<BYTE> data;
    EXPECT_EQ(ERROR_SUCCESS, m_key->QueryValue(L"s", type, data));
    EXPECT_EQ(Text(L"v"), data);  // the terminator is stored too

    // A key opened for reading only cannot be written: the failure is logged
    // with the operation's name and the code comes back.
    std::shared_ptr<CRegistryKey> reader = CRegistryKey::Open(HKEY_LOCAL_MACHINE, L"Software", KEY_READ);
    ASSERT_TRUE(reader);
    LogWatch denied;
    EXPECT_NE(ERROR_SUCCESS, reader->SetDwordValue(L"HalvoraNeverWritten", 1));
    EXPECT_NE(std::string::npos, denied.Added().find("\tCRegistryKey::SetDwordValue: failed with error: "));
}

TEST_F(RegistryKeyTest, EnumeratesNamesOfAnyLength)
{
    const std::wstring longName(600, L'n');
    Set(L"", REG_SZ, Text(L"d"));
    Set(L"short", REG_SZ, Text(L"s"));
    Set(longName, REG_SZ, Text(L"l"));
    std::vector<std::wstring> names{L"stale"};
    EXPECT_EQ(ERROR_SUCCESS, m_key->EnumerateValueNames(names));
    std::sort(names.begin(), names.end());
    EXPECT_EQ((std::vector<std::wstring>{L"", longName, L"short"}), names);

    for (const wchar_t* name : {L"b", L"a", L"c"}) {
        HKEY sub = nullptr;
        RegCreateKeyExW(m_key->GetHandle(), name, 0, nullptr, 0, KEY_ALL_ACCESS | KEY_WOW64_64KEY, nullptr, &sub,
                        nullptr);
        RegCloseKey(sub);
    }
    std::vector<std::wstring> subkeys{L"stale"};
    m_key->EnumerateSubkeyNames(subkeys);
    std::sort(subkeys.begin(), subkeys.end());
    EXPECT_EQ((std::vector<std::wstring>{L"a", L"b", L"c"}), subkeys);
}

TEST_F(RegistryKeyTest, DeletesThreeLevelsDeepestFirstInTheKeysView)
{
    for (REGSAM view : {static_cast<REGSAM>(KEY_WOW64_64KEY), static_cast<REGSAM>(KEY_WOW64_32KEY)}) {
        const std::wstring top = L"Software\\Halvora DeleteTest";
        for (const wchar_t* path : {L"\\a\\b\\c", L"\\a\\b2", L"\\x"}) {
            HKEY sub = nullptr;
            ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExW(HKEY_LOCAL_MACHINE, (top + path).c_str(), 0, nullptr, 0,
                                                     KEY_ALL_ACCESS | view, nullptr, &sub, nullptr));
            RegSetValueExW(sub, L"v", 0, REG_SZ, Text(L"x").data(), 4);
            RegCloseKey(sub);
        }
        // The same path in the other view must survive.
        const REGSAM other = view == KEY_WOW64_64KEY ? KEY_WOW64_32KEY : KEY_WOW64_64KEY;
        HKEY keep = nullptr;
        ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExW(HKEY_LOCAL_MACHINE, (top + L"\\a\\keep").c_str(), 0, nullptr, 0,
                                                 KEY_ALL_ACCESS | other, nullptr, &keep, nullptr));
        RegCloseKey(keep);

        std::shared_ptr<CRegistryKey> key = CRegistryKey::Open(HKEY_LOCAL_MACHINE, top, KEY_READ | DELETE | view);
        ASSERT_TRUE(key);
        EXPECT_EQ(ERROR_SUCCESS, key->DeleteKeyAndSubkeys());
        key.reset();
        EXPECT_FALSE(CRegistryKey::Open(HKEY_LOCAL_MACHINE, top, KEY_READ | view));
        EXPECT_TRUE(CRegistryKey::Open(HKEY_LOCAL_MACHINE, top + L"\\a\\keep", KEY_READ | other));
        DeleteRegistryTree(HKEY_LOCAL_MACHINE, top, other);
    }
}

TEST_F(RegistryKeyTest, ExportWritesHeaderValuesSeparatorAndSubkeysDepthFirst)
{
    Set(L"", REG_SZ, Text(L"top"));
    Set(L"n", REG_DWORD, {2, 0, 0, 0});
    Set(L"bad", REG_DWORD, {1, 2});
    HKEY sub = nullptr;
    RegCreateKeyExW(m_key->GetHandle(), L"child\\grandchild", 0, nullptr, 0, KEY_ALL_ACCESS | KEY_WOW64_64KEY, nullptr,
                    &sub, nullptr);
    RegSetValueExW(sub, L"g", 0, REG_BINARY, Text(L"").data(), 2);
    RegCloseKey(sub);

    RegBackupWatch backup;
    EXPECT_EQ(ERROR_SUCCESS, m_key->ExportRegistryKeyAndSubkeys(HKEY_CURRENT_USER, kPath));
    EXPECT_EQ(0, m_key->ExportRegistryKeyAndSubkeys(m_key->GetHandle(), L""));
    // Values come in the registry's enumeration order: compare as sets.
    const std::string added = backup.Added();
    const std::string top = "[HKEY_CURRENT_USER\\Software\\Halvora KeyTest]\r\n";
    ASSERT_EQ(0u, added.find(top)) << added;
    const size_t separator = added.find("\r\n\r\n");
    const std::string values = added.substr(top.size(), separator + 2 - top.size());
    std::vector<std::string> lines;
    for (size_t start = 0, end; (end = values.find("\r\n", start)) != std::string::npos; start = end + 2)
        lines.push_back(values.substr(start, end - start));
    std::sort(lines.begin(), lines.end());
    EXPECT_EQ((std::vector<std::string>{"\"bad\"=hex(4):01,02", "\"n\"=dword:00000002", "@=\"top\""}), lines)
        << values;
    EXPECT_EQ("[HKEY_CURRENT_USER\\Software\\Halvora KeyTest\\child]\r\n\r\n"
              "[HKEY_CURRENT_USER\\Software\\Halvora KeyTest\\child\\grandchild]\r\n\"g\"=hex:00,00\r\n\r\n",
              added.substr(separator + 4));
}

TEST_F(RegistryKeyTest, NamesTheBackupCannotHoldAreReportedAndKeptOnOneLine)
{
    Set(L"\u540d\u524d", REG_SZ, Text(L"value"));
    Set(L"line\nbreak", REG_DWORD, {1, 0, 0, 0});
    RegBackupWatch backup;
    LogWatch log;
    EXPECT_EQ(ERROR_SUCCESS, m_key->ExportRegistryKeyAndSubkeys(HKEY_CURRENT_USER, kPath));
    const std::string added = backup.Added();
    EXPECT_NE(std::string::npos, added.find("\r\n\"??\"=\"value\"\r\n")) << added;
    EXPECT_NE(std::string::npos, added.find("\r\n\"line?break\"=dword:00000001\r\n")) << added;
    const std::string logged = log.Added();
    EXPECT_NE(std::string::npos,
              logged.find("CRegistryKey::ExportRegistryKeyAndSubkeys: Error: The value name \"<U+540D><U+524D>\" of "
                          "key HKEY_CURRENT_USER\\Software\\Halvora KeyTest cannot be written"))
        << logged;
    EXPECT_NE(std::string::npos, logged.find("The value name \"line<U+000A>break\""));
}

TEST(RegistryKey, OpenKeepsTheViewAndLogsFailures)
{
    std::shared_ptr<CRegistryKey> software =
        CRegistryKey::Open(HKEY_LOCAL_MACHINE, L"Software", KEY_READ | KEY_WOW64_32KEY);
    ASSERT_TRUE(software);
    EXPECT_EQ(static_cast<REGSAM>(KEY_WOW64_32KEY), software->GetViewFlags());
    EXPECT_STREQ(L"", GetRootKeyName(software->GetHandle()));
    EXPECT_STREQ(L"HKEY_USERS", GetRootKeyName(HKEY_USERS));

    LogWatch log;
    EXPECT_FALSE(CRegistryKey::Open(reinterpret_cast<HKEY>(static_cast<ULONG_PTR>(0x1234)), L"x", KEY_READ));
    EXPECT_NE(std::string::npos,
              log.Added().find("\tCRegistryKey::Open:RegOpenKeyEx: failed for key name: x with error: 6\r\n"))
        << log.Added();
}

} // namespace

namespace {

struct Translated {
    bool ok;
    std::wstring root, path;
    bool operator==(const Translated& other) const
    {
        return ok == other.ok && root == other.root && path == other.path;
    }
};

Translated Translate(const std::wstring& kernelName, HKEY root)
{
    Translated result{false, L"", L""};
    result.ok = TranslateKernelKeyName(kernelName, root, L"\\REGISTRY\\USER\\S-1-5-21-7-8-9-1001", result.root,
                                       result.path);
    return result;
}

void PrintTo(const Translated& t, std::ostream* os)
{
    *os << t.ok << " " << WideToUtf8(t.root) << " " << WideToUtf8(t.path);
}

} // namespace

TEST(RegistryKeyLocation, KernelNamesBecomeRegistrationEntryPaths)
{
    const std::wstring user = L"\\REGISTRY\\USER\\S-1-5-21-7-8-9-1001";
    EXPECT_EQ((Translated{true, L"HKEY_LOCAL_MACHINE", L"SOFTWARE\\Wow6432Node\\Halvora"}),
              Translate(L"\\REGISTRY\\MACHINE\\SOFTWARE\\Wow6432Node\\Halvora", HKEY_LOCAL_MACHINE));
    // Wine spells the roots in mixed case.
    EXPECT_EQ((Translated{true, L"HKEY_LOCAL_MACHINE", L"Software\\Classes\\Wow6432Node\\CLSID"}),
              Translate(L"\\Registry\\Machine\\Software\\Classes\\Wow6432Node\\CLSID", HKEY_CLASSES_ROOT));
    EXPECT_EQ((Translated{true, L"HKEY_LOCAL_MACHINE", L""}), Translate(L"\\REGISTRY\\MACHINE", HKEY_LOCAL_MACHINE));
    // The current user's keys keep their HKEY_CURRENT_USER form; its classes
    // (a hive of their own) are named where HKEY_CURRENT_USER shows them.
    EXPECT_EQ((Translated{true, L"HKEY_CURRENT_USER", L"Software\\Halvora"}),
              Translate(user + L"\\Software\\Halvora", HKEY_CURRENT_USER));
    EXPECT_EQ((Translated{true, L"HKEY_CURRENT_USER", L"Software\\Classes\\Wow6432Node\\CLSID\\{x}"}),
              Translate(user + L"_Classes\\Wow6432Node\\CLSID\\{x}", HKEY_CURRENT_USER));
    EXPECT_EQ((Translated{true, L"HKEY_CURRENT_USER", L"Software\\Classes"}),
              Translate(user + L"_Classes", HKEY_CLASSES_ROOT));
    // Keys reached through HKEY_USERS (a loaded hive, another user) stay there.
    EXPECT_EQ((Translated{true, L"HKEY_USERS", L"S-1-5-21-7-8-9-1001\\Software\\Halvora"}),
              Translate(user + L"\\Software\\Halvora", HKEY_USERS));
    EXPECT_EQ((Translated{true, L"HKEY_USERS", L"S-1-5-21-7-8-9-10012\\Software"}),
              Translate(user + L"2\\Software", HKEY_CURRENT_USER));
    EXPECT_EQ((Translated{true, L"HKEY_USERS", L"jdoe\\Software\\Halvora"}),
              Translate(L"\\REGISTRY\\USER\\jdoe\\Software\\Halvora", HKEY_USERS));
    EXPECT_FALSE(Translate(L"\\REGISTRY\\USER", HKEY_USERS).ok);
    EXPECT_FALSE(Translate(L"\\REGISTRY\\MACHINEX\\Software", HKEY_LOCAL_MACHINE).ok);
    EXPECT_FALSE(Translate(L"", HKEY_LOCAL_MACHINE).ok);
}

// A key of the 32-bit view lives under Wow6432Node on 64-bit Windows: its
// kernel name says so, and the export names it there.
TEST(RegistryKeyLocation, ExportNamesThe32BitViewWhereItLives)
{
    const std::wstring top = L"Software\\Halvora Location";
    DeleteRegistryTree(HKEY_LOCAL_MACHINE, top, KEY_WOW64_32KEY);
    DeleteRegistryTree(HKEY_LOCAL_MACHINE, top, KEY_WOW64_64KEY);
    {
        const UniqueRegKey created(CreateRegistryKey(HKEY_LOCAL_MACHINE, top + L"\\Sub", KEY_WOW64_32KEY));
        ASSERT_TRUE(created);
        UniqueRegKey other;
        ASSERT_NE(ERROR_SUCCESS, RegOpenKeyExW(HKEY_LOCAL_MACHINE, top.c_str(), 0, KEY_READ | KEY_WOW64_64KEY,
                                               other.put()))
            << "the 64-bit test bed has separate registry views";
    }

    std::shared_ptr<CRegistryKey> key = CRegistryKey::Open(HKEY_LOCAL_MACHINE, top, KEY_ALL_ACCESS | KEY_WOW64_32KEY);
    ASSERT_TRUE(key);
    std::wstring kernelName;
    ASSERT_TRUE(QueryKernelKeyName(key->GetHandle(), kernelName));
    std::wstring root, path;
    ASSERT_TRUE(TranslateKernelKeyName(kernelName, HKEY_LOCAL_MACHINE, L"", root, path)) << WideToUtf8(kernelName);
    EXPECT_EQ(L"HKEY_LOCAL_MACHINE", root);
    EXPECT_TRUE(EqualsAsciiNoCase(std::wstring(L"Software\\Wow6432Node\\Halvora Location"), path))
        << WideToUtf8(path);

    RegBackupWatch backup;
    EXPECT_EQ(ERROR_SUCCESS, key->ExportRegistryKeyAndSubkeys(HKEY_LOCAL_MACHINE, top));
    const std::string added = backup.Added();
    const std::string header = "[HKEY_LOCAL_MACHINE\\" + WideToUtf8(path) + "]\r\n\r\n";
    EXPECT_EQ(header + "[HKEY_LOCAL_MACHINE\\" + WideToUtf8(path) + "\\Sub]\r\n\r\n", added);

    // A key of the current user keeps its HKEY_CURRENT_USER name.
    {
        const UniqueRegKey userKey(CreateRegistryKey(HKEY_CURRENT_USER, L"Software\\Halvora Location", KEY_WOW64_64KEY));
        ASSERT_TRUE(userKey);
        const DWORD one = 1;
        RegSetValueExW(userKey.get(), L"v", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&one), sizeof(one));
    }
    RegBackupWatch userBackup;
    std::shared_ptr<CRegistryKey> user =
        CRegistryKey::Open(HKEY_CURRENT_USER, L"Software\\Halvora Location", KEY_READ | KEY_WOW64_64KEY);
    ASSERT_TRUE(user);
    EXPECT_EQ(ERROR_SUCCESS, user->ExportRegistryValue(HKEY_CURRENT_USER, L"Software\\Halvora Location", L"v"));
    EXPECT_EQ(ERROR_SUCCESS, user->ExportRegistryKeyAndSubkeys(HKEY_CURRENT_USER, L"Software\\Halvora Location"));
    const std::string userBlock = "[HKEY_CURRENT_USER\\Software\\Halvora Location]\r\n\"v\"=dword:00000001\r\n\r\n";
    EXPECT_EQ(userBlock + userBlock, userBackup.Added());

    key.reset();
    user.reset();
    DeleteRegistryTree(HKEY_CURRENT_USER, L"Software\\Halvora Location", KEY_WOW64_64KEY);
    DeleteRegistryTree(HKEY_LOCAL_MACHINE, top, KEY_WOW64_32KEY);
}

// The registry backup must bring back exactly what was deleted: trees with
// every kind of value are exported with CRegistryKey, deleted with
// DeleteKeyAndSubkeys and imported again with the system's own reg.exe, in
// both registry views.
#include <windows.h>

#include <map>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "logs/Log.h"
#include "support/TestSupport.h"
#include "system/RegistryKey.h"
#include "system/TextConvert.h"

namespace {

// "key path below the top : value name" -> (type, data) of every value; a
// key without values still shows as "path :".
typedef std::map<std::wstring, std::pair<DWORD, std::vector<BYTE>>> Tree;

void ReadTree(HKEY root, const std::wstring& path, REGSAM view, const std::wstring& relative, Tree& tree)
{
    HKEY key = nullptr;
    ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyExW(root, path.c_str(), 0, KEY_READ | view, &key)) << WideToUtf8(path);
    tree[relative + L" :"];
    std::vector<wchar_t> name(16384 + 1);
    std::vector<BYTE> data(1 << 16);
    for (DWORD index = 0;; ++index) {
        DWORD nameLength = static_cast<DWORD>(name.size()), size = static_cast<DWORD>(data.size()), type = 0;
        if (RegEnumValueW(key, index, name.data(), &nameLength, nullptr, &type, data.data(), &size) != ERROR_SUCCESS)
            break;
        tree[relative + L" : " + std::wstring(name.data(), nameLength)] =
            std::make_pair(type, std::vector<BYTE>(data.begin(), data.begin() + size));
    }
    std::vector<std::wstring> subkeys;
    wchar_t subkey[256];
    for (DWORD index = 0, length = 256;
         RegEnumKeyExW(key, index, subkey, &length, nullptr, nullptr, nullptr, nullptr) == ERROR_SUCCESS;
         ++index, length = 256)
        subkeys.emplace_back(subkey, length);
    RegCloseKey(key);
    for (const std::wstring& sub : subkeys)
        ReadTree(root, path + L"\\" + sub, view, relative + L"\\" + sub, tree);
}

std::vector<BYTE> Bytes(const std::wstring& text, bool terminator = true)
{
    const BYTE* begin = reinterpret_cast<const BYTE*>(text.c_str());
    return std::vector<BYTE>(begin, begin + (text.size() + (terminator ? 1 : 0)) * sizeof(wchar_t));
}

// Sets exactly the given bytes. RegSetValueExW counts a string's terminator
// in when the caller left it out but the character after the data is NUL
// (Windows NT does this, and Wine with it), so the bytes are followed by a
// non-NUL guard that keeps an unterminated string as it was given.
void SetRaw(HKEY key, const std::wstring& name, DWORD type, const std::vector<BYTE>& data)
{
    std::vector<BYTE> guarded(data);
    guarded.insert(guarded.end(), {0xAA, 0xAA, 0xAA, 0xAA});
    ASSERT_EQ(ERROR_SUCCESS, RegSetValueExW(key, name.c_str(), 0, type, data.empty() ? nullptr : guarded.data(),
                                            static_cast<DWORD>(data.size())))
        << WideToUtf8(name);
}

HKEY CreateKey(HKEY root, const std::wstring& path, REGSAM view)
{
    HKEY key = nullptr;
    EXPECT_EQ(ERROR_SUCCESS, RegCreateKeyExW(root, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS | view, nullptr,
                                             &key, nullptr));
    return key;
}

// A tree with every kind of value the backup has to carry.
void BuildTree(const std::wstring& top, REGSAM view)
{
    HKEY key = CreateKey(HKEY_LOCAL_MACHINE, top, view);
    ASSERT_NE(nullptr, key);
    SetRaw(key, L"", REG_SZ, Bytes(L"the default value"));
    SetRaw(key, L"Quoted", REG_SZ, Bytes(L"say \"hello\" to C:\\Program Files\\ and \\\\server\\"));
    SetRaw(key, L"Accented", REG_SZ, Bytes(L"Gr\u00fc\u00dfe aus K\u00f6ln"));
    SetRaw(key, L"Wide", REG_SZ, Bytes(L"\u4e2d\u6587 \u0436 \U0001F600"));
    SetRaw(key, L"Lines", REG_SZ, Bytes(L"first\r\nsecond\ttabbed"));
    SetRaw(key, L"Percent", REG_SZ, Bytes(L"100% %d %ws %n"));
    SetRaw(key, L"EmptyText", REG_SZ, Bytes(L""));
    SetRaw(key, L"NoData", REG_SZ, {});
    SetRaw(key, L"Unterminated", REG_SZ, Bytes(L"abc", false));
    // (String data of odd size is exported as hex(1): too, but Wine's
    // importer pads it to whole characters; its line is checked on its own.)
    SetRaw(key, L"AfterNul", REG_SZ, Bytes(std::wstring(L"shown\0hidden", 12)));
    SetRaw(key, L"Expand", REG_EXPAND_SZ, Bytes(L"%SystemRoot%\\system32\\halvora.dll"));
    SetRaw(key, L"Multi", REG_MULTI_SZ, Bytes(std::wstring(L"one\0\0three\0\0", 13)));
    SetRaw(key, L"MultiEmpty", REG_MULTI_SZ, Bytes(std::wstring(L"\0", 1)));
    std::vector<BYTE> binary(300);
    for (size_t i = 0; i < binary.size(); ++i)
        binary[i] = static_cast<BYTE>(i * 7 + 3);
    SetRaw(key, L"LongBinary", REG_BINARY, binary);
    SetRaw(key, L"EmptyBinary", REG_BINARY, {});
    SetRaw(key, L"Dword", REG_DWORD, {0x1a, 0, 0, 0});
    SetRaw(key, L"DwordMax", REG_DWORD, {0xff, 0xff, 0xff, 0xff});
    SetRaw(key, L"ShortDword", REG_DWORD, {0x34, 0x12});
    SetRaw(key, L"LongDword", REG_DWORD, {1, 2, 3, 4, 5, 6, 7, 8});
    SetRaw(key, L"ShortQword", REG_QWORD, {1, 2, 3});
    SetRaw(key, L"BigEndian", REG_DWORD_BIG_ENDIAN, {1, 2, 3, 4});
    SetRaw(key, L"Qword", REG_QWORD, {1, 2, 3, 4, 5, 6, 7, 8});
    SetRaw(key, L"None", REG_NONE, {});
    SetRaw(key, L"NoneWithData", REG_NONE, {9, 8, 7});
    SetRaw(key, L"OddType", 0x1234, {0xde, 0xad, 0xbe, 0xef});
    SetRaw(key, L"name \"with\" quotes", REG_SZ, Bytes(L"q"));
    SetRaw(key, L"back\\slash\\", REG_DWORD, {1, 0, 0, 0});
    SetRaw(key, L"both\\\"", REG_BINARY, {1});
    SetRaw(key, L"[bracket]=x", REG_SZ, Bytes(L"=[]@"));
    RegCloseKey(key);

    key = CreateKey(HKEY_LOCAL_MACHINE, top + L"\\Level 1\\Level 2\\Level 3", view);
    SetRaw(key, L"Deep", REG_SZ, Bytes(L"deepest"));
    SetRaw(key, L"", REG_EXPAND_SZ, Bytes(L"%TEMP%"));
    RegCloseKey(key);
    key = CreateKey(HKEY_LOCAL_MACHINE, top + L"\\Level 1", view);
    SetRaw(key, L"Middle", REG_QWORD, {0, 0, 0, 0, 0, 0, 0, 0x80});
    RegCloseKey(key);
    RegCloseKey(CreateKey(HKEY_LOCAL_MACHINE, top + L"\\Level 1\\Empty key", view));
    key = CreateKey(HKEY_LOCAL_MACHINE, top + L"\\Sibling", view);
    SetRaw(key, L"s", REG_SZ, Bytes(L"sibling"));
    RegCloseKey(key);
}

bool KeyExists(HKEY root, const std::wstring& path, REGSAM view)
{
    HKEY key = nullptr;
    if (RegOpenKeyExW(root, path.c_str(), 0, KEY_READ | view, &key) != ERROR_SUCCESS)
        return false;
    RegCloseKey(key);
    return true;
}

const char kRegHeader[] = "Windows Registry Editor Version 5.00\r\n\r\n";

// Wine's reg.exe applies the REGEDIT4 rules to the hex(1)/hex(2)/hex(7) data
// of any file without a byte-order mark (it widens every byte), where
// Windows applies the rules of the file's header. The backup holds 8-bit
// text only, so the same text as UTF-16 with a byte-order mark is lossless
// and makes Wine read it by its header, as Windows does.
void WriteForImport(const std::wstring& path, const std::string& text)
{
    std::string utf16 = "\xff\xfe";
    for (char c : text) {
        utf16 += c;
        utf16 += '\0';
    }
    WriteFileBytes(path, utf16);
}

// The machine's own reg.exe (64-bit on 64-bit Windows, as a double-click
// on the file uses regedit): /reg:64 keeps a 32-bit test process from
// starting the 32-bit copy, which would put the keys in the 32-bit view.
DWORD ImportRegFile(const std::wstring& path)
{
    wchar_t folder[MAX_PATH + 1] = {};
    GetSystemDirectoryW(folder, MAX_PATH);
    return RunProcessAndWait(L"\"" + std::wstring(folder) + L"\\reg.exe\" import \"" + path + L"\" /reg:64");
}

class RegistryRoundTrip : public ::testing::TestWithParam<REGSAM> {
};

TEST_P(RegistryRoundTrip, RestoresTheTreeExactly)
{
    const REGSAM view = GetParam();
    const bool view32 = view == KEY_WOW64_32KEY;
    const std::wstring top = L"Software\\Halvora RoundTrip";
    const std::wstring redirected = L"Software\\Wow6432Node\\Halvora RoundTrip";

    DeleteRegistryTree(HKEY_LOCAL_MACHINE, top, KEY_WOW64_64KEY);
    DeleteRegistryTree(HKEY_LOCAL_MACHINE, top, KEY_WOW64_32KEY);
    BuildTree(top, view);
    if (view32) {
        // The 32-bit view really is a separate place.
        ASSERT_TRUE(KeyExists(HKEY_LOCAL_MACHINE, redirected + L"\\Level 1\\Level 2\\Level 3", KEY_WOW64_64KEY));
        ASSERT_FALSE(KeyExists(HKEY_LOCAL_MACHINE, top, KEY_WOW64_64KEY));
    }
    Tree before;
    ReadTree(HKEY_LOCAL_MACHINE, top, view, L"", before);
    ASSERT_EQ(6u + 29 + 4, before.size());

    CRegLog& backup = GetRegLog();
    ASSERT_TRUE(backup.IsOpen());
    const size_t start = ReadFileBytes(backup.GetFilePath()).size();
    {
        std::shared_ptr<CRegistryKey> key = CRegistryKey::Open(HKEY_LOCAL_MACHINE, top, KEY_ALL_ACCESS | view);
        ASSERT_TRUE(key);
        EXPECT_EQ(view, key->GetViewFlags());
        EXPECT_EQ(ERROR_SUCCESS, key->ExportRegistryKeyAndSubkeys(HKEY_LOCAL_MACHINE, top));
        EXPECT_EQ(ERROR_SUCCESS, key->DeleteKeyAndSubkeys());
    }
    EXPECT_FALSE(KeyExists(HKEY_LOCAL_MACHINE, top, view));
    const std::string file = ReadFileBytes(backup.GetFilePath());
    ASSERT_EQ(0u, file.find(kRegHeader));
    const std::string exported = file.substr(start);
    // Each key is named where it lives: the 32-bit view under Wow6432Node.
    const std::string where = view32 ? "Software\\Wow6432Node\\Halvora RoundTrip" : "Software\\Halvora RoundTrip";
    EXPECT_EQ(0u, exported.find("[HKEY_LOCAL_MACHINE\\" + where + "]\r\n@=\"the default value\"\r\n"));
    EXPECT_NE(std::string::npos, exported.find("\r\n[HKEY_LOCAL_MACHINE\\" + where + "\\Level 1\\Level 2\\Level 3]\r\n"));
    // A REG_DWORD or REG_QWORD of another size keeps its exact bytes.
    EXPECT_NE(std::string::npos, exported.find("\r\n\"ShortDword\"=hex(4):34,12\r\n"));
    EXPECT_NE(std::string::npos, exported.find("\r\n\"LongDword\"=hex(4):01,02,03,04,05,06,07,08\r\n"));
    EXPECT_NE(std::string::npos, exported.find("\r\n\"ShortQword\"=hex(b):01,02,03\r\n"));
    // Nothing in the file needs more than 7-bit text, and no value line is
    // over long.
    size_t lineStart = 0;
    for (size_t i = 0; i < exported.size(); ++i) {
        EXPECT_LT(static_cast<unsigned char>(exported[i]), 0x80u) << "at " << i;
        if (exported[i] == '\n') {
            EXPECT_EQ('\r', exported[i - 1]);
            if (exported[lineStart] != '[')
                EXPECT_LE(i - lineStart, 81u) << exported.substr(lineStart, i - lineStart);
            lineStart = i + 1;
        }
    }

    ScopedTempDir folder(L"roundtrip");
    const std::wstring regFile = folder.Path() + L"restore.reg";
    WriteForImport(regFile, kRegHeader + exported);
    // Restored as a double-click restores it: in the machine's own view,
    // without a view switch, whichever view the keys were read through.
    ASSERT_EQ(0u, ImportRegFile(regFile)) << "reg import failed";

    if (view32) {
        EXPECT_TRUE(KeyExists(HKEY_LOCAL_MACHINE, redirected + L"\\Level 1\\Level 2\\Level 3", KEY_WOW64_64KEY));
        EXPECT_FALSE(KeyExists(HKEY_LOCAL_MACHINE, top, KEY_WOW64_64KEY));
    }
    Tree after;
    ReadTree(HKEY_LOCAL_MACHINE, top, view, L"", after);
    // The backup carries the unterminated string's exact bytes, but every
    // importer writes it through RegSetValueExW, which adds the terminator
    // when its own buffer has a NUL after the data (see the set-value test
    // below). Either form counts as restored; everything else is exact.
    EXPECT_NE(std::string::npos, exported.find("\"Unterminated\"=hex(1):61,00,62,00,63,00\r\n"));
    const std::pair<DWORD, std::vector<BYTE>> unterminated = after[L" : Unterminated"];
    EXPECT_EQ(static_cast<DWORD>(REG_SZ), unterminated.first);
    EXPECT_TRUE(unterminated.second == Bytes(L"abc", false) || unterminated.second == Bytes(L"abc", true));
    after[L" : Unterminated"] = before[L" : Unterminated"];
    EXPECT_EQ(before, after);
    DeleteRegistryTree(HKEY_LOCAL_MACHINE, top, view);
}

INSTANTIATE_TEST_SUITE_P(BothViews, RegistryRoundTrip, ::testing::Values(KEY_WOW64_64KEY, KEY_WOW64_32KEY),
                         [](const ::testing::TestParamInfo<REGSAM>& info) {
                             return info.param == KEY_WOW64_64KEY ? std::string("View64") : std::string("View32");
                         });

TEST(RegistryRoundTrip, SingleValueExportRestoresTheValue)
{
    const std::wstring path = L"Software\\Halvora SingleValue";
    HKEY key = CreateKey(HKEY_LOCAL_MACHINE, path, KEY_WOW64_64KEY);
    SetRaw(key, L"keep", REG_SZ, Bytes(L"stays"));
    SetRaw(key, L"Target \"x\"", REG_MULTI_SZ, Bytes(std::wstring(L"\u00e9t\u00e9\0", 4)));
    SetRaw(key, L"Empty", REG_BINARY, {});
    RegCloseKey(key);

    CRegLog& backup = GetRegLog();
    const size_t start = ReadFileBytes(backup.GetFilePath()).size();
    std::shared_ptr<CRegistryKey> wrapper =
        CRegistryKey::Open(HKEY_LOCAL_MACHINE, path, KEY_ALL_ACCESS | KEY_WOW64_64KEY);
    ASSERT_TRUE(wrapper);
    EXPECT_EQ(ERROR_SUCCESS, wrapper->ExportRegistryValue(HKEY_LOCAL_MACHINE, path, L"Target \"x\""));
    // An empty value is deleted like any other, so it is backed up too.
    EXPECT_EQ(ERROR_SUCCESS, wrapper->ExportRegistryValue(HKEY_LOCAL_MACHINE, path, L"Empty"));
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, wrapper->ExportRegistryValue(HKEY_LOCAL_MACHINE, path, L"missing"));
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, wrapper->ExportRegistryValue(HKEY_LOCAL_MACHINE, path + L"\\missing", L"x"));
    EXPECT_EQ(-1, wrapper->ExportRegistryValue(wrapper->GetHandle(), L"", L"keep"));
    const std::string exported = ReadFileBytes(backup.GetFilePath()).substr(start);
    EXPECT_EQ("[HKEY_LOCAL_MACHINE\\Software\\Halvora SingleValue]\r\n"
              "\"Target \\\"x\\\"\"=hex(7):e9,00,74,00,e9,00,00,00,00,00\r\n\r\n"
              "[HKEY_LOCAL_MACHINE\\Software\\Halvora SingleValue]\r\n"
              "\"Empty\"=hex:\r\n\r\n",
              exported);
    EXPECT_EQ(ERROR_SUCCESS, wrapper->DeleteValue(L"Target \"x\""));
    EXPECT_EQ(ERROR_SUCCESS, wrapper->DeleteValue(L"Empty"));

    ScopedTempDir folder(L"single");
    WriteForImport(folder.Path() + L"v.reg", kRegHeader + exported);
    ASSERT_EQ(0u, ImportRegFile(folder.Path() + L"v.reg"));
    Tree after;
    ReadTree(HKEY_LOCAL_MACHINE, path, KEY_WOW64_64KEY, L"", after);
    EXPECT_EQ(4u, after.size());
    EXPECT_EQ(std::make_pair(static_cast<DWORD>(REG_MULTI_SZ), Bytes(std::wstring(L"\u00e9t\u00e9\0", 4))),
              after[L" : Target \"x\""]);
    EXPECT_EQ(std::make_pair(static_cast<DWORD>(REG_BINARY), std::vector<BYTE>()), after[L" : Empty"]);
    wrapper.reset();
    DeleteRegistryTree(HKEY_LOCAL_MACHINE, path, KEY_WOW64_64KEY);
}

// Why an unterminated string cannot come back byte for byte through any
// importer: the system itself extends the count of string data whose
// character after the given bytes is NUL.
TEST(RegistrySetValue, StringDataIsExtendedOverAFollowingNul)
{
    const std::wstring path = L"Software\\Halvora SetValue";
    HKEY key = CreateRegistryKey(HKEY_LOCAL_MACHINE, path, KEY_WOW64_64KEY);
    ASSERT_NE(nullptr, key);
    const wchar_t followedByNul[] = L"abc";
    const wchar_t followedByText[] = L"abcd";
    ASSERT_EQ(ERROR_SUCCESS, RegSetValueExW(key, L"nul", 0, REG_SZ, reinterpret_cast<const BYTE*>(followedByNul), 6));
    ASSERT_EQ(ERROR_SUCCESS, RegSetValueExW(key, L"text", 0, REG_SZ, reinterpret_cast<const BYTE*>(followedByText), 6));
    DWORD size = 0;
    EXPECT_EQ(ERROR_SUCCESS, RegQueryValueExW(key, L"nul", nullptr, nullptr, nullptr, &size));
    EXPECT_EQ(8u, size);
    EXPECT_EQ(ERROR_SUCCESS, RegQueryValueExW(key, L"text", nullptr, nullptr, nullptr, &size));
    EXPECT_EQ(6u, size);
    RegCloseKey(key);
    DeleteRegistryTree(HKEY_LOCAL_MACHINE, path, KEY_WOW64_64KEY);
}

} // namespace

#include "steps/RegistryStep.h"

#include <shlwapi.h>

#include <utility>

#include "logs/Log.h"
#include "steps/RegistryText.h"
#include "steps/RemovalRecord.h"
#include "system/AsciiText.h"
#include "system/Privileges.h"
#include "system/RegistryKey.h"
#include "system/SystemInfo.h"
#include "system/TextConvert.h"

namespace {

const wchar_t* const kAddOperationPermission = L"RegistryStep::AddOperationPermission";
const wchar_t* const kRemoveRegistryValues = L"RegistryStep::RemoveRegistryValues";
const wchar_t* const kRemoveUpgradeCodesKeys = L"RegistryStep::RemoveUpgradeCodesKeys";
const wchar_t* const kRemoveRegistryKeys = L"RegistryStep::RemoveRegistryKeys";
const wchar_t* const kSearchAndRemoveRegistryKeys = L"RegistryStep::SearchAndRemoveRegistryKeys";
const wchar_t* const kSearchAndRemoveOneRegistryKey = L"RegistryStep::SearchAndRemoveOneRegistryKey";
const wchar_t* const kSearchSelfAndSubkeyValue = L"SearchSelfAndSubkeyValue";

const wchar_t* const kBackupPrivilege = L"SeBackupPrivilege";
const wchar_t* const kRestorePrivilege = L"SeRestorePrivilege";

// Splits a configured key name and resolves its hive token; an unknown
// token is logged under the operation's name.
bool ResolveKeyName(const wchar_t* operation, const std::string& keyName, HKEY& root, std::wstring& path,
                    std::string* token = nullptr)
{
    const ConfiguredKeyName name = SplitConfiguredKeyName(keyName);
    if (!ParsePredefinedKey(name.token, root)) {
        WriteDebugLine(L"%ws: Error: unrecognized predefined Key %ws", operation, Utf8ToWide(name.token).c_str());
        return false;
    }
    path = Utf8ToWide(name.path);
    if (token != nullptr)
        *token = name.token;
    return true;
}

// The text after a failed key deletion: the configured entry's view is
// named when it is the 32-bit view of a 64-bit system.
const wchar_t* ViewSuffix(bool wow6432Node)
{
    return wow6432Node && IsWow64() ? L"  (Wow6432Node) " : L"";
}

void RecordRegistryRemoval(const std::wstring& itemName, LONG code,
                           IfAlreadyGone ifGone = IfAlreadyGone::RecordCode)
{
    RecordRemoval(RemovalKind::Registry, itemName, static_cast<long>(code), ifGone);
}

// Whether root\path itself is a registry link (a key whose "SymbolicLinkValue"
// sends every open elsewhere).
bool IsRegistryLink(HKEY root, const std::wstring& path, REGSAM view)
{
    UniqueRegKey key;
    if (RegOpenKeyExW(root, path.c_str(), REG_OPTION_OPEN_LINK, KEY_QUERY_VALUE | view, key.put()) != ERROR_SUCCESS)
        return false;
    DWORD type = REG_NONE;
    DWORD size = 0;
    return RegQueryValueExW(key.get(), L"SymbolicLinkValue", nullptr, &type, nullptr, &size) == ERROR_SUCCESS &&
           type == REG_LINK;
}

} // namespace

REGSAM ConfiguredView(bool wow6432Node)
{
    return wow6432Node ? KEY_WOW64_32KEY : KEY_WOW64_64KEY;
}

RegistryStep::RegistryStep(int number, const std::string& name)
    : BaseStep(name, number)
{
    const CConfiguration& config = CConfiguration::GetInstance();
    m_lists.values = config.GetRegistryValues();
    m_lists.upgradeCodeKeys = config.GetUpgradeCodeKeys();
    m_lists.keys = config.GetRegistryKeys();
    m_lists.searches = config.GetRegistrySearches();
    m_lists.drivers = config.GetDrivers();
}

RegistryStep::RegistryStep(int number, const std::string& name, const RegistryStepLists& lists)
    : BaseStep(name, number), m_lists(lists)
{
}

RegistryStep::~RegistryStep()
{
    ReleaseOperationPermission();
}

void RegistryStep::BeforeOperation(const wchar_t* name)
{
    if (m_beforeOperation)
        m_beforeOperation(name);
}

void RegistryStep::Run(RunOptions* options)
{
    BaseStep::Run(options);
    // The backup file exists from the start of the step, with its header,
    // even when nothing is deleted.
    GetRegLog();
    RunBody([this] {
        // The hives loaded and the privileges enabled here are given back
        // on every way out of the body, an exception included.
        auto release = MakeScopeExit([this] { ReleaseOperationPermission(); });
        BeforeOperation(kAddOperationPermission);
        AddOperationPermission();
        BeforeOperation(L"RegistryStep::RestoreRDPValues");
        RestoreRDPValues();
        BeforeOperation(kRemoveRegistryValues);
        RemoveRegistryValues();
        BeforeOperation(kRemoveUpgradeCodesKeys);
        RemoveUpgradeCodesKeys();
        BeforeOperation(kRemoveRegistryKeys);
        RemoveRegistryKeys();
        BeforeOperation(kSearchAndRemoveRegistryKeys);
        SearchAndRemoveRegistryKeys();
        BeforeOperation(L"RegistryStep::RestoreRegistryValues");
        RestoreRegistryValues();
        BeforeOperation(L"RegistryStep::RestoreKbdMouseValues");
        RestoreKbdMouseValues();
        BeforeOperation(L"RegistryStep::ReleaseOperationPermission");
        ReleaseOperationPermission();
        BeforeOperation(L"RegistryStep::RemoveVideoSubKeys");
        RemoveVideoSubKeys();
        BeforeOperation(L"RegistryStep::RemovePnpDevice");
        RemovePnpDevice();
        SetStatus(StatusContinue);
    });
}

void RegistryStep::AddOperationPermission()
{
    const wchar_t* const op = kAddOperationPermission;
    WriteDebugLine(L"%ws Entry", op);
    if (!m_token) {
        if (OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, m_token.put())) {
            m_privileges.reserve(2);
            m_privileges.emplace_back(m_token.get(), kBackupPrivilege);
            m_privileges.emplace_back(m_token.get(), kRestorePrivilege);
        }
    }

    std::vector<wchar_t> buffer(8192, L'\0');
    const DWORD length = ExpandEnvironmentStringsW(L"%USERPROFILE%", buffer.data(), static_cast<DWORD>(buffer.size()));
    if (length == 0 || length > buffer.size())
        return;
    const std::wstring profile(buffer.data());
    const size_t slash = profile.rfind(L'\\');
    if (slash == std::wstring::npos)
        return;
    const std::wstring folder = profile.substr(0, slash + 1);

    WIN32_FIND_DATAW found;
    UniqueFindHandle search(FindFirstFileExW((folder + L"*").c_str(), FindExInfoStandard, &found,
                                             FindExSearchLimitToDirectories, nullptr, 0));
    if (!search)
        return;
    do {
        if ((found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0)
            continue;
        const std::wstring entry = found.cFileName;
        if (entry == L"." || entry == L"..")
            continue;
        const std::wstring hiveFile = folder + entry + L"\\NTUSER.DAT";
        if (!PathFileExistsW(hiveFile.c_str()))
            continue;
        bool alreadyLoaded = false;
        for (const LoadedUserHive& hive : m_hives)
            alreadyLoaded = alreadyLoaded || EqualsAsciiNoCase(hive.GetName(), entry);
        if (alreadyLoaded)
            continue;
        LoadedUserHive hive(entry, hiveFile);
        const bool loaded = hive.IsLoaded();
        if (loaded)
            m_hives.push_back(std::move(hive));
        // The user's name stays out of the log.
        WriteDebugLine(L"%ws: Load user profile for %ws %ws", op, L"*****", loaded ? L"succeeded" : L"failed");
    } while (FindNextFileW(search.get(), &found));
}

void RegistryStep::ReleaseOperationPermission()
{
    for (LoadedUserHive& hive : m_hives)
        hive.Unload();
    m_hives.clear();
    for (EnabledPrivilege& privilege : m_privileges)
        privilege.Disable();
    m_privileges.clear();
    m_token.reset();
}

std::vector<std::wstring> RegistryStep::GetLoadedHives() const
{
    std::vector<std::wstring> names;
    for (const LoadedUserHive& hive : m_hives) {
        if (hive.IsLoaded())
            names.push_back(hive.GetName());
    }
    return names;
}

LONG RegistryStep::BackUpAndDeleteKey(const wchar_t* operation, HKEY root, const std::wstring& path,
                                      CRegistryKey& key)
{
    if (IsProtectedRegistryKey(root, path)) {
        WriteDebugLine(L"%ws: Error: The key %ws\\%ws is a protected system key; it is not deleted", operation,
                       GetRootKeyName(root), path.c_str());
        return ERROR_ACCESS_DENIED;
    }
    if (IsRegistryLink(root, path, key.GetViewFlags())) {
        WriteDebugLine(L"%ws: Error: The key %ws\\%ws is a registry link; neither it nor what it leads to is deleted",
                       operation, GetRootKeyName(root), path.c_str());
        return ERROR_ACCESS_DENIED;
    }
    key.ExportRegistryKeyAndSubkeys(root, path);
    return key.DeleteKeyAndSubkeys();
}

void RegistryStep::RemoveRegistryValues()
{
    const wchar_t* const op = kRemoveRegistryValues;
    WriteDebugLine(L"%ws Entry", op);
    if (m_lists.values.empty()) {
        WriteDebugLine(L"%ws: Error: reg values count is %d", op, 0);
        return;
    }
    for (const RegValueEntry& entry : m_lists.values) {
        HKEY root = nullptr;
        std::wstring path;
        if (!ResolveKeyName(op, entry.keyName, root, path))
            continue;
        std::shared_ptr<CRegistryKey> key =
            CRegistryKey::Open(root, path, KEY_SET_VALUE | ConfiguredView(entry.wow6432Node));
        if (!key)
            continue;
        const std::wstring valueName = Utf8ToWide(entry.valueName);
        key->ExportRegistryValue(root, path, valueName);
        const LONG code = key->DeleteValue(valueName);
        RecordRegistryRemoval(Utf8ToWide(entry.keyName + "--value:" + entry.valueName), code,
                              IfAlreadyGone::RecordNothing);
    }
    WriteDebugLine(L"%ws Exit", op);
}

void RegistryStep::RemoveUpgradeCodesKeys()
{
    const wchar_t* const op = kRemoveUpgradeCodesKeys;
    WriteDebugLine(L"%ws Entry", op);
    if (m_lists.upgradeCodeKeys.empty()) {
        WriteDebugLine(L"%ws: No upgradecodes in config.xml ", op);
        return;
    }
    for (const std::string& keyName : m_lists.upgradeCodeKeys) {
        HKEY root = nullptr;
        std::wstring path;
        if (!ResolveKeyName(op, keyName, root, path))
            continue;
        std::shared_ptr<CRegistryKey> key = CRegistryKey::Open(root, path, KEY_ALL_ACCESS);
        if (!key)
            continue;
        DWORD valueCount = 0;
        DWORD longestName = 0;
        const LONG info = RegQueryInfoKeyW(key->GetHandle(), nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                                           &valueCount, &longestName, nullptr, nullptr, nullptr);
        if (info != ERROR_SUCCESS) {
            WriteDebugLine(L"%ws: Error:RegQueryInfoKey failed with %ld", op, static_cast<long>(info));
            continue;
        }
        if (valueCount > 0) {
            std::vector<wchar_t> name(static_cast<size_t>(longestName) + 1, L'\0');
            for (DWORD index = 0;; ++index) {
                DWORD length = static_cast<DWORD>(name.size());
                if (RegEnumValueW(key->GetHandle(), index, name.data(), &length, nullptr, nullptr, nullptr,
                                  nullptr) != ERROR_SUCCESS)
                    break;
                const std::wstring productCode(name.data(), length);
                // A packed product code names one key below Installer\Products;
                // the default value or a name with a backslash names none.
                if (productCode.empty() || productCode.find(L'\\') != std::wstring::npos)
                    continue;
                const std::wstring productPath = L"Installer\\Products\\" + productCode;
                std::shared_ptr<CRegistryKey> product =
                    CRegistryKey::Open(HKEY_CLASSES_ROOT, productPath, KEY_ALL_ACCESS);
                if (!product)
                    continue;
                const LONG code = BackUpAndDeleteKey(op, HKEY_CLASSES_ROOT, productPath, *product);
                const std::wstring itemName = L"HKEY_CLASSES_ROOT\\" + productPath;
                RecordRegistryRemoval(itemName, code);
                if (code != ERROR_SUCCESS)
                    WriteDebugLine(L"%ws: Error: Delete key %ws failed with error: %ld", op, itemName.c_str(),
                                   static_cast<long>(code));
            }
        }
        const LONG code = BackUpAndDeleteKey(op, root, path, *key);
        if (code != ERROR_SUCCESS)
            WriteDebugLine(L"%ws: Error: Delete key %ws failed with error: %ld", op, Utf8ToWide(keyName).c_str(),
                           static_cast<long>(code));
    }
}

void RegistryStep::RemoveRegistryKeys()
{
    const wchar_t* const op = kRemoveRegistryKeys;
    WriteDebugLine(L"%ws Entry", op);
    if (m_lists.keys.empty()) {
        WriteDebugLine(L"%ws: Error: reg keys count is %d", op, 0);
        return;
    }
    for (const RegKeyEntry& entry : m_lists.keys) {
        HKEY root = nullptr;
        std::wstring path;
        std::string token;
        if (!ResolveKeyName(op, entry.keyPath, root, path, &token))
            continue;
        const REGSAM access = KEY_READ | ConfiguredView(entry.wow6432Node);
        if (path.find(L'*') == std::wstring::npos) {
            std::shared_ptr<CRegistryKey> key = CRegistryKey::Open(root, path, access);
            if (!key)
                continue;
            const LONG code = BackUpAndDeleteKey(op, root, path, *key);
            RecordRegistryRemoval(Utf8ToWide(entry.keyPath), code);
            if (code != ERROR_SUCCESS)
                WriteDebugLine(L"%ws: Error: Delete key %ws%ws failed with error: %ld", op,
                               Utf8ToWide(entry.keyPath).c_str(), ViewSuffix(entry.wow6432Node),
                               static_cast<long>(code));
            continue;
        }
        KeyWildcard wildcard;
        if (!ParseKeyWildcard(path, wildcard))
            continue;
        std::shared_ptr<CRegistryKey> parent = CRegistryKey::Open(root, wildcard.parent, access);
        if (!parent)
            continue;
        std::vector<std::wstring> names;
        parent->EnumerateSubkeyNames(names);
        for (const std::wstring& name : names) {
            // A matched name that is a registry link leads out of the
            // parent: it is not followed.
            if (!StartsWithNoCase(name, wildcard.prefix) || IsRegistryLink(parent->GetHandle(), name, parent->GetViewFlags()))
                continue;
            std::shared_ptr<CRegistryKey> target = CRegistryKey::Open(parent->GetHandle(), name, access);
            if (!target)
                continue;
            if (!wildcard.rest.empty()) {
                target = CRegistryKey::Open(target->GetHandle(), wildcard.rest, access);
                if (!target)
                    continue;
            }
            const std::wstring targetPath = JoinWildcardMatch(wildcard, name, true);
            const LONG code = BackUpAndDeleteKey(op, root, targetPath, *target);
            const std::wstring itemName = Utf8ToWide(token) + L"\\" + targetPath;
            RecordRegistryRemoval(itemName, code);
            if (code != ERROR_SUCCESS)
                WriteDebugLine(L"%ws: Error: Delete key %ws%ws failed with error: %ld", op, itemName.c_str(),
                               ViewSuffix(entry.wow6432Node), static_cast<long>(code));
        }
    }
    WriteDebugLine(L"%ws Exit", op);
}

void RegistryStep::SearchAndRemoveRegistryKeys()
{
    const wchar_t* const op = kSearchAndRemoveRegistryKeys;
    WriteDebugLine(L"%ws Entry", op);
    if (m_lists.searches.empty()) {
        WriteDebugLine(L"%ws: Error: search entries count is %d", op, 0);
        return;
    }
    for (const RegSearchEntry& entry : m_lists.searches) {
        HKEY root = nullptr;
        std::wstring path;
        std::string token;
        if (!ResolveKeyName(op, entry.key, root, path, &token))
            continue;
        if (path.find(L'*') == std::wstring::npos) {
            SearchAndRemoveOneRegistryKey(entry.key, entry.pattern, entry.trailing, entry.wow6432Node);
            continue;
        }
        KeyWildcard wildcard;
        if (!ParseKeyWildcard(path, wildcard))
            continue;
        std::shared_ptr<CRegistryKey> parent =
            CRegistryKey::Open(root, wildcard.parent, KEY_READ | ConfiguredView(entry.wow6432Node));
        if (!parent)
            continue;
        std::vector<std::wstring> names;
        parent->EnumerateSubkeyNames(names);
        for (const std::wstring& name : names) {
            if (!StartsWithNoCase(name, wildcard.prefix) ||
                IsRegistryLink(parent->GetHandle(), name, parent->GetViewFlags()))
                continue;
            const std::string keyName = token + "\\" + WideToUtf8(JoinWildcardMatch(wildcard, name, true));
            SearchAndRemoveOneRegistryKey(keyName, entry.pattern, entry.trailing, entry.wow6432Node);
        }
    }
    WriteDebugLine(L"%ws Exit", op);
}

void RegistryStep::SearchAndRemoveOneRegistryKey(const std::string& keyName, const std::string& pattern,
                                                 const std::string& trailing, bool wow6432Node)
{
    const wchar_t* const op = kSearchAndRemoveOneRegistryKey;
    HKEY root = nullptr;
    std::wstring path;
    std::string token;
    if (!ResolveKeyName(op, keyName, root, path, &token))
        return;
    const REGSAM access = KEY_READ | ConfiguredView(wow6432Node);
    std::shared_ptr<CRegistryKey> key = CRegistryKey::Open(root, path, access);
    if (!key)
        return;
    std::vector<std::wstring> list;
    SearchSelfAndSubkeyValue(path, *key, Utf8ToWide(pattern), list);
    key.reset();
    const std::wstring trailingText = Utf8ToWide(trailing);
    for (const std::wstring& matched : list) {
        std::wstring targetPath;
        if (!CutAtTrailing(matched, trailingText, targetPath))
            continue;
        LONG code = -1;
        if (std::shared_ptr<CRegistryKey> target = CRegistryKey::Open(root, targetPath, access))
            code = BackUpAndDeleteKey(op, root, targetPath, *target);
        RecordRegistryRemoval(Utf8ToWide(token) + L"\\" + targetPath, code);
    }
}

namespace {

// The search below one open key (handle in the given view).
void SearchKey(const std::wstring& path, HKEY key, REGSAM view, const std::wstring& pattern,
               std::vector<std::wstring>& list)
{
    const wchar_t* const op = kSearchSelfAndSubkeyValue;
    DWORD subkeyCount = 0, longestSubkey = 0, valueCount = 0, longestValueName = 0, longestData = 0;
    LONG result = RegQueryInfoKeyW(key, nullptr, nullptr, nullptr, &subkeyCount, &longestSubkey, nullptr, &valueCount,
                                   &longestValueName, &longestData, nullptr, nullptr);
    if (result != ERROR_SUCCESS) {
        WriteDebugLine(L"%ws: Error: RegQueryInfoKey failed with %ld", op, static_cast<long>(result));
        return;
    }
    if (valueCount > 0) {
        std::vector<wchar_t> name(static_cast<size_t>(longestValueName) + 1, L'\0');
        std::vector<BYTE> data(static_cast<size_t>(longestData) + 2, 0);
        for (DWORD index = 0;; ++index) {
            DWORD nameLength = static_cast<DWORD>(name.size());
            DWORD dataSize = static_cast<DWORD>(data.size());
            DWORD type = REG_NONE;
            result = RegEnumValueW(key, index, name.data(), &nameLength, nullptr, &type, data.data(), &dataSize);
            if (result != ERROR_SUCCESS) {
                if (result != ERROR_NO_MORE_ITEMS)
                    WriteDebugLine(L"%ws: Error: RegEnumValue failed with %ld", op, static_cast<long>(result));
                break;
            }
            if (type != REG_SZ)
                continue;
            std::wstring text(reinterpret_cast<const wchar_t*>(data.data()), dataSize / sizeof(wchar_t));
            const size_t nul = text.find(L'\0');
            if (nul != std::wstring::npos)
                text.resize(nul);
            if (IsSearchMatch(text, pattern)) {
                list.push_back(path);
                return;
            }
        }
    }
    if (subkeyCount > 0) {
        std::vector<wchar_t> name(static_cast<size_t>(longestSubkey) + 1, L'\0');
        for (DWORD index = 0;; ++index) {
            DWORD length = static_cast<DWORD>(name.size());
            result = RegEnumKeyExW(key, index, name.data(), &length, nullptr, nullptr, nullptr, nullptr);
            if (result != ERROR_SUCCESS) {
                if (result != ERROR_NO_MORE_ITEMS)
                    WriteDebugLine(L"%ws: Error: RegEnumKeyEx failed with %ld", op, static_cast<long>(result));
                break;
            }
            const std::wstring subkeyName(name.data(), length);
            // Opened as itself when it is a registry link, which is not
            // followed: what it leads to lies elsewhere (and may be this
            // very key again).
            UniqueRegKey subkey;
            const LONG opened =
                RegOpenKeyExW(key, subkeyName.c_str(), REG_OPTION_OPEN_LINK, view | KEY_READ, subkey.put());
            if (opened != ERROR_SUCCESS) {
                if (opened != ERROR_FILE_NOT_FOUND)
                    WriteDebugLine(L"%ws:RegOpenKeyEx: failed for key name: %ws with error: %ld",
                                   L"CRegistryKey::Open", subkeyName.c_str(), static_cast<long>(opened));
                continue;
            }
            DWORD type = REG_NONE;
            DWORD size = 0;
            if (RegQueryValueExW(subkey.get(), L"SymbolicLinkValue", nullptr, &type, nullptr, &size) == ERROR_SUCCESS &&
                type == REG_LINK)
                continue;
            SearchKey(path + L"\\" + subkeyName, subkey.get(), view, pattern, list);
        }
    }
}

} // namespace

void SearchSelfAndSubkeyValue(const std::wstring& path, CRegistryKey& key, const std::wstring& pattern,
                              std::vector<std::wstring>& list)
{
    SearchKey(path, key.GetHandle(), key.GetViewFlags(), pattern, list);
}

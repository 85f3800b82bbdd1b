#include "system/RegistryKey.h"

#include <algorithm>
#include <cstring>

#include "system/AsciiText.h"
#include "system/CostMeter.h"
#include "system/Diagnostics.h"
#include "system/Format.h"
#include "system/MachineChanges.h"
#include "system/RegistryBackup.h"
#include "system/SystemInfo.h"
#include "system/UniqueHandle.h"

namespace {

// One read of a value through RegQueryValueExW (data may be null to ask for
// the type and size only); a failure is logged under the calling operation's
// name.
LONG QueryValueLogged(HKEY key, const wchar_t* op, const std::wstring& name, DWORD& type, BYTE* data, DWORD& size)
{
    const LONG result = RegQueryValueExW(key, name.c_str(), nullptr, &type, data, &size);
    if (result != ERROR_SUCCESS)
        WriteDiagnosticLine(L"%ws:RegQueryValueEx: failed with error: %ld", op, result);
    return result;
}

const REGSAM kViewMask = KEY_WOW64_64KEY | KEY_WOW64_32KEY;

// Longest registry value name, in characters, without its terminator.
const DWORD kMaxValueNameLength = 16383;

typedef LONG(WINAPI* RegDeleteKeyExWFn)(HKEY, LPCWSTR, REGSAM, DWORD);

template <typename Fn>
Fn LookUp(HMODULE module, const char* name)
{
    if (module == nullptr)
        return nullptr;
    return reinterpret_cast<Fn>(reinterpret_cast<void*>(GetProcAddress(module, name)));
}

// Deletes the key behind the handle itself; fails while it has sub keys.
LONG DeleteOwnKey(HKEY handle, REGSAM viewFlags)
{
    if (IsWow64()) {
        HMODULE advapi = GetModuleHandleW(L"AdvAPI32.dll");
        if (advapi == nullptr)
            advapi = LoadLibraryW(L"AdvAPI32.dll");
        const RegDeleteKeyExWFn deleteKeyEx = LookUp<RegDeleteKeyExWFn>(advapi, "RegDeleteKeyExW");
        if (deleteKeyEx != nullptr)
            return deleteKeyEx(handle, L"", viewFlags, 0);
    }
    return RegDeleteKeyW(handle, L"");
}

// Text the 8-bit backup file holds exactly, whatever code page reads it
// back: printable ASCII.
bool IsPortableText(const std::wstring& text)
{
    for (wchar_t c : text) {
        if (c < 0x20 || c > 0x7E)
            return false;
    }
    return true;
}

// A key or value name goes into the backup as it is when every character
// fits one byte and none is a control character (which would break the line
// format). Other characters are replaced there; the caller logs the name.
bool IsWritableName(const std::wstring& name)
{
    for (wchar_t c : name) {
        if (c < 0x20 || c > 0xFF)
            return false;
    }
    return true;
}

std::wstring ToWritableName(const std::wstring& name)
{
    std::wstring result = name;
    for (wchar_t& c : result) {
        if (c < 0x20 || c > 0xFF)
            c = L'?';
    }
    return result;
}

// The name for the text log with every character the logs cannot show
// spelled as <U+XXXX>.
std::wstring DescribeName(const std::wstring& name)
{
    static const wchar_t digits[] = L"0123456789ABCDEF";
    std::wstring result;
    for (wchar_t c : name) {
        if (c < 0x20 || c > 0xFF) {
            result += L"<U+";
            for (int shift = 12; shift >= 0; shift -= 4)
                result += digits[(c >> shift) & 0xF];
            result += L'>';
        } else {
            result += c;
        }
    }
    return result;
}

void AppendEscaped(std::wstring& line, const std::wstring& text, bool escapeQuotes)
{
    for (wchar_t c : text) {
        if (c == L'\\')
            line += L"\\\\";
        else if (c == L'"' && escapeQuotes)
            line += L"\\\"";
        else
            line += c;
    }
}

// The backup is the user's only way back; when it cannot be opened or a
// write to it fails, the text log says so once.
void CheckBackupFile(const wchar_t* operation)
{
    static bool reported = false;
    if (reported)
        return;
    RegistryBackupTarget* backup = GetRegistryBackupTarget();
    if (backup == nullptr || !backup->IsBackupOpen()) {
        reported = true;
        const std::wstring path = backup != nullptr ? backup->GetBackupFilePath() : std::wstring();
        WriteDiagnosticLine(L"%ws: Error: The registry backup file %ws could not be opened; registry data is not backed up",
                            operation, path.c_str());
    } else if (backup->HasBackupWriteFailed()) {
        reported = true;
        WriteDiagnosticLine(L"%ws: Error: Writing to the registry backup file %ws failed; the backup is incomplete",
                            operation, backup->GetBackupFilePath().c_str());
    }
}

const wchar_t* const kExportKey = L"CRegistryKey::ExportRegistryKeyAndSubkeys";
const wchar_t* const kExportValue = L"CRegistryKey::ExportRegistryValue";

void CheckKeyName(const wchar_t* operation, const wchar_t* rootName, const std::wstring& path, const std::wstring& name)
{
    if (!IsWritableName(name))
        WriteDiagnosticLine(L"%ws: Error: The key name %ws\\%ws cannot be written to the registry backup as it is; "
                       L"its characters beyond 8-bit text are written as '?'",
                       operation, rootName, DescribeName(path).c_str());
}

void CheckValueName(const wchar_t* operation, const wchar_t* rootName, const std::wstring& path,
                    const std::wstring& name)
{
    if (!IsWritableName(name))
        WriteDiagnosticLine(L"%ws: Error: The value name \"%ws\" of key %ws\\%ws cannot be written to the registry backup "
                       L"as it is; its characters beyond 8-bit text are written as '?'",
                       operation, DescribeName(name).c_str(), rootName, DescribeName(path).c_str());
}

// "prefix" itself or "prefix\..." at the start of name (ASCII case folded);
// rest is what follows the separator.
bool StartsWithKeyPath(const std::wstring& name, const std::wstring& prefix, std::wstring& rest)
{
    if (prefix.empty() || name.size() < prefix.size() ||
        !EqualsAsciiNoCase(name.substr(0, prefix.size()), prefix))
        return false;
    if (name.size() == prefix.size()) {
        rest.clear();
        return true;
    }
    if (name[prefix.size()] != L'\\')
        return false;
    rest = name.substr(prefix.size() + 1);
    return true;
}

typedef LONG(NTAPI* NtQueryKeyFn)(HANDLE, int, PVOID, ULONG, PULONG);
const int kKeyNameInformation = 3;
const LONG kStatusBufferOverflow = static_cast<LONG>(0x80000005L);
const LONG kStatusBufferTooSmall = static_cast<LONG>(0xC0000023L);

// The kernel's name of HKEY_CURRENT_USER ("\REGISTRY\USER\<SID>"), read
// once; empty when it cannot be read.
const std::wstring& CurrentUserKernelName()
{
    static bool read = false;
    static std::wstring name;
    if (!read) {
        read = true;
        UniqueRegKey user;
        if (RegOpenCurrentUser(KEY_READ, user.put()) == ERROR_SUCCESS)
            QueryKernelKeyName(user.get(), name);
    }
    return name;
}

// The root name and path the backup gives the open key: where it really
// lives when that can be read and differs from what was asked for (the
// 32-bit view on 64-bit Windows), else the name asked for.
void ResolveHeader(HKEY root, HKEY key, std::wstring& headerRoot, std::wstring& headerPath)
{
    std::wstring kernelName, realRoot, realPath;
    if (!QueryKernelKeyName(key, kernelName) ||
        !TranslateKernelKeyName(kernelName, root, CurrentUserKernelName(), realRoot, realPath)) {
        static bool reported = false;
        if (!reported) {
            reported = true;
            WriteDiagnosticLine(L"%ws: Error: where the key %ws\\%ws lives cannot be read; keys are backed up under "
                                L"the path they were asked for",
                                kExportKey, headerRoot.c_str(), DescribeName(headerPath).c_str());
        }
        return;
    }
    if (realRoot == headerRoot && EqualsAsciiNoCase(realPath, headerPath))
        return;
    headerRoot = realRoot;
    headerPath = realPath;
}

} // namespace

const wchar_t* GetRootKeyName(HKEY root)
{
    struct Entry {
        HKEY key;
        const wchar_t* name;
    };
    static const Entry table[] = {
        {HKEY_CLASSES_ROOT, L"HKEY_CLASSES_ROOT"},
        {HKEY_CURRENT_USER, L"HKEY_CURRENT_USER"},
        {HKEY_LOCAL_MACHINE, L"HKEY_LOCAL_MACHINE"},
        {HKEY_USERS, L"HKEY_USERS"},
        {HKEY_PERFORMANCE_DATA, L"HKEY_PERFORMANCE_DATA"},
        {HKEY_CURRENT_CONFIG, L"HKEY_CURRENT_CONFIG"},
        {HKEY_DYN_DATA, L"HKEY_DYN_DATA"},
    };
    for (const Entry& entry : table) {
        if (entry.key == root)
            return entry.name;
    }
    return L"";
}

bool QueryKernelKeyName(HKEY key, std::wstring& name)
{
    static const NtQueryKeyFn queryKey = LookUp<NtQueryKeyFn>(GetModuleHandleW(L"ntdll.dll"), "NtQueryKey");
    name.clear();
    if (queryKey == nullptr || key == nullptr)
        return false;
    // KEY_NAME_INFORMATION: the name's length in bytes, then the name.
    std::vector<ULONG> buffer(130);
    for (int attempt = 0; attempt < 4; ++attempt) {
        const ULONG size = static_cast<ULONG>(buffer.size() * sizeof(ULONG));
        ULONG needed = 0;
        const LONG status = queryKey(key, kKeyNameInformation, buffer.data(), size, &needed);
        if (status == 0) {
            const ULONG length = std::min<ULONG>(buffer[0], size - sizeof(ULONG));
            name.assign(reinterpret_cast<const wchar_t*>(buffer.data() + 1), length / sizeof(wchar_t));
            return !name.empty();
        }
        if (status != kStatusBufferOverflow && status != kStatusBufferTooSmall)
            return false;
        buffer.resize(std::max<size_t>(buffer.size() * 2, needed / sizeof(ULONG) + 2));
    }
    return false;
}

bool TranslateKernelKeyName(const std::wstring& kernelName, HKEY root, const std::wstring& currentUserName,
                            std::wstring& rootName, std::wstring& path)
{
    std::wstring rest;
    if (StartsWithKeyPath(kernelName, L"\\REGISTRY\\MACHINE", rest)) {
        rootName = L"HKEY_LOCAL_MACHINE";
        path = rest;
        return true;
    }
    if (root == HKEY_CURRENT_USER || root == HKEY_CLASSES_ROOT) {
        // The same key for whoever restores the backup as this user; a
        // restore by another user then reaches that user's own key, as the
        // HKEY_CURRENT_USER entries of the configuration mean.
        if (StartsWithKeyPath(kernelName, currentUserName, rest)) {
            rootName = L"HKEY_CURRENT_USER";
            path = rest;
            return true;
        }
        if (!currentUserName.empty() && StartsWithKeyPath(kernelName, currentUserName + L"_Classes", rest)) {
            rootName = L"HKEY_CURRENT_USER";
            path = rest.empty() ? L"Software\\Classes" : L"Software\\Classes\\" + rest;
            return true;
        }
    }
    if (StartsWithKeyPath(kernelName, L"\\REGISTRY\\USER", rest) && !rest.empty()) {
        rootName = L"HKEY_USERS";
        path = rest;
        return true;
    }
    return false;
}


namespace {

// False only when the value is known to be missing; the key may have been
// opened without the right to query it.
bool MayHoldValue(HKEY key, REGSAM viewFlags, const std::wstring& name)
{
    LONG result = RegQueryValueExW(key, name.c_str(), nullptr, nullptr, nullptr, nullptr);
    if (result == ERROR_ACCESS_DENIED) {
        UniqueRegKey reader;
        if (RegOpenKeyExW(key, L"", 0, KEY_QUERY_VALUE | viewFlags, reader.put()) != ERROR_SUCCESS)
            return true;
        result = RegQueryValueExW(reader.get(), name.c_str(), nullptr, nullptr, nullptr, nullptr);
    }
    return result != ERROR_FILE_NOT_FOUND;
}

} // namespace

std::wstring GetOpenKeyName(HKEY key)
{
    std::wstring kernelName;
    if (!QueryKernelKeyName(key, kernelName))
        return std::wstring();
    std::wstring rootName;
    std::wstring path;
    if (!TranslateKernelKeyName(kernelName, HKEY_LOCAL_MACHINE, std::wstring(), rootName, path))
        return kernelName;
    return path.empty() ? rootName : rootName + L"\\" + path;
}

CRegistryKey::CRegistryKey(HKEY handle, REGSAM viewFlags, std::wstring displayPath)
    : m_handle(handle), m_viewFlags(viewFlags), m_displayPath(std::move(displayPath))
{
}

std::wstring CRegistryKey::GetDisplayPath() const
{
    std::wstring shown = m_displayPath;
    if ((m_viewFlags & KEY_WOW64_32KEY) != 0)
        shown += L" (32-bit view)";
    return shown;
}

std::shared_ptr<CRegistryKey> CRegistryKey::Open(HKEY root, const std::wstring& path, REGSAM access)
{
    UniqueRegKey handle;
    const LONG result = RegOpenKeyExW(root, path.c_str(), 0, access, handle.put());
    if (result != ERROR_SUCCESS) {
        if (result != ERROR_FILE_NOT_FOUND)
            WriteDiagnosticLine(L"%ws:RegOpenKeyEx: failed for key name: %ws with error: %ld", L"CRegistryKey::Open",
                                path.c_str(), result);
        return std::shared_ptr<CRegistryKey>();
    }
    const wchar_t* const rootName = GetRootKeyName(root);
    std::wstring displayPath = *rootName != L'\0' ? std::wstring(rootName) : std::wstring();
    if (!displayPath.empty() && !path.empty())
        displayPath += L'\\';
    displayPath += path;
    std::unique_ptr<CRegistryKey> key(new CRegistryKey(handle.get(), access & kViewMask, std::move(displayPath)));
    handle.release();
    return std::shared_ptr<CRegistryKey>(std::move(key));
}

CRegistryKey::~CRegistryKey()
{
    const LONG result = RegCloseKey(m_handle);
    if (result != ERROR_SUCCESS)
        WriteDiagnosticLine(L"CRegistryKey::RegCloseKey: failed with error: %ld", result);
}

HKEY CRegistryKey::GetHandle() const
{
    return m_handle;
}

REGSAM CRegistryKey::GetViewFlags() const
{
    return m_viewFlags;
}

LONG CRegistryKey::DeleteValue(const std::wstring& name)
{
    const wchar_t* const op = L"CRegistryKey::DeleteValue";
    if (name.empty()) {
        WriteDiagnosticLine(L"%ws: failed with ERROR_BAD_ARGUMENTS", op);
        return ERROR_BAD_ARGUMENTS;
    }
    if (IsPreviewMode()) {
        // A missing value is already gone in a real run too: nothing to list.
        if (!MayHoldValue(m_handle, m_viewFlags, name))
            return ERROR_FILE_NOT_FOUND;
        IsChangePreviewed(L"Delete registry value", GetDisplayPath() + L" : " + name);
        return ERROR_SUCCESS;
    }
    const LONG result = RegDeleteValueW(m_handle, name.c_str());
    if (result != ERROR_SUCCESS && result != ERROR_FILE_NOT_FOUND)
        WriteDiagnosticLine(L"%ws:failed for value name: %ws with error: %ld", op, name.c_str(), result);
    return result;
}

LONG CRegistryKey::SetDwordValue(const std::wstring& name, DWORD value)
{
    if (IsChangePreviewed(L"Set registry value",
                          FormatWide(L"%ws : %ws = %lu", GetDisplayPath().c_str(), name.c_str(),
                                     static_cast<unsigned long>(value))))
        return ERROR_SUCCESS;
    const LONG result = RegSetValueExW(m_handle, name.c_str(), 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value),
                                       sizeof(value));
    if (result != ERROR_SUCCESS)
        WriteDiagnosticLine(L"%ws: failed with error: %ld", L"CRegistryKey::SetDwordValue", result);
    return result;
}

LONG CRegistryKey::SetStringValue(const std::wstring& name, const std::wstring& text)
{
    const wchar_t* const op = L"CRegistryKey::SetStringValue";
    if (text.empty()) {
        WriteDiagnosticLine(L"%ws: failed with ERROR_BAD_ARGUMENTS", op);
        return ERROR_BAD_ARGUMENTS;
    }
    if (IsChangePreviewed(L"Set registry value",
                          FormatWide(L"%ws : %ws = \"%ws\"", GetDisplayPath().c_str(), name.c_str(), text.c_str())))
        return ERROR_SUCCESS;
    const LONG result = RegSetValueExW(m_handle, name.c_str(), 0, REG_SZ, reinterpret_cast<const BYTE*>(text.c_str()),
                                       static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t)));
    if (result != ERROR_SUCCESS)
        WriteDiagnosticLine(L"%ws:RegSetValueEx: failed with error: %ld", op, result);
    return result;
}

LONG CRegistryKey::QueryValue(const std::wstring& name, DWORD& type, std::vector<BYTE>& data)
{
    const wchar_t* const op = L"CRegistryKey::QueryValue";
    data.clear();
    DWORD size = 0;
    LONG result = QueryValueLogged(m_handle, op, name, type, nullptr, size);
    if (result != ERROR_SUCCESS)
        return result;
    if (size == 0) {
        WriteDiagnosticLine(L"%ws:RegQueryValueEx: failed with invalid registry value size", op);
        return ERROR_INVALID_DATA;
    }
    data.assign(size, 0);
    result = QueryValueLogged(m_handle, op, name, type, data.data(), size);
    if (result != ERROR_SUCCESS)
        return result;
    // The value may have shrunk between the two reads.
    data.resize(size);
    return ERROR_SUCCESS;
}

LONG CRegistryKey::QueryDwordValue(const std::wstring& name, DWORD& value)
{
    const wchar_t* const op = L"CRegistryKey::QueryDwordValue";
    DWORD type = REG_NONE;
    std::vector<BYTE> data;
    const LONG result = QueryValue(name, type, data);
    if (result != ERROR_SUCCESS)
        return result;
    if (type != REG_DWORD) {
        WriteDiagnosticLine(L"%ws: failed with invalid registry value type: expected type: %ld retrieved type: %ld", op,
                       static_cast<long>(REG_DWORD), static_cast<long>(type));
        return ERROR_DATATYPE_MISMATCH;
    }
    if (data.size() != sizeof(DWORD)) {
        WriteDiagnosticLine(L"%ws: failed with invalid registry value size: expected size: %ld retrieved size: %ld", op,
                       static_cast<long>(sizeof(DWORD)), static_cast<long>(data.size()));
        return ERROR_INVALID_DATA;
    }
    std::memcpy(&value, data.data(), sizeof(DWORD));
    return ERROR_SUCCESS;
}

LONG CRegistryKey::QueryStringValue(const std::wstring& name, std::wstring& text)
{
    const wchar_t* const op = L"CRegistryKey::QueryStringValue";
    DWORD type = REG_NONE;
    DWORD size = 0;
    LONG result = QueryValueLogged(m_handle, op, name, type, nullptr, size);
    if (result != ERROR_SUCCESS)
        return result;
    if (type != REG_SZ)
        return ERROR_DATATYPE_MISMATCH;
    text.clear();
    if (size == 0)
        return ERROR_SUCCESS;
    std::vector<BYTE> buffer(size, 0);
    result = QueryValueLogged(m_handle, op, name, type, buffer.data(), size);
    if (result != ERROR_SUCCESS)
        return result;
    const size_t count = std::min<size_t>(size, buffer.size()) / sizeof(wchar_t);
    std::wstring stored(count, L'\0');
    if (count > 0)
        std::memcpy(&stored[0], buffer.data(), count * sizeof(wchar_t));
    const size_t end = stored.find(L'\0');
    text = end == std::wstring::npos ? stored : stored.substr(0, end);
    return ERROR_SUCCESS;
}

LONG CRegistryKey::QueryMulStringValue(const std::wstring& name, std::vector<std::wstring>& values)
{
    const wchar_t* const op = L"CRegistryKey::QueryMulStringValue";
    DWORD type = REG_NONE;
    DWORD size = 0;
    LONG result = QueryValueLogged(m_handle, op, name, type, nullptr, size);
    if (result != ERROR_SUCCESS)
        return result;
    if (type != REG_MULTI_SZ)
        return ERROR_DATATYPE_MISMATCH;
    if (size == 0) {
        values.clear();
        return ERROR_SUCCESS;
    }
    std::vector<BYTE> buffer(size, 0);
    DWORD read = size;
    result = QueryValueLogged(m_handle, op, name, type, buffer.data(), read);
    if (result == ERROR_SUCCESS)
        size = std::min(read, size);
    // Split at every NUL code unit on an even offset; what follows the last
    // NUL is not an element.
    size_t start = 0;
    while (start + 1 < size) {
        size_t nul = start;
        while (nul + 1 < size && (buffer[nul] != 0 || buffer[nul + 1] != 0))
            nul += 2;
        if (nul + 1 >= size)
            break;
        std::wstring element((nul - start) / sizeof(wchar_t), L'\0');
        if (!element.empty())
            std::memcpy(&element[0], buffer.data() + start, nul - start);
        values.push_back(element);
        start = nul + 2;
    }
    return result;
}

void CRegistryKey::EnumerateSubkeyNames(std::vector<std::wstring>& names)
{
    names.clear();
    wchar_t buffer[256];
    for (DWORD index = 0;; ++index) {
        DWORD length = 256;
        const LONG result = RegEnumKeyExW(m_handle, index, buffer, &length, nullptr, nullptr, nullptr, nullptr);
        if (result != ERROR_SUCCESS) {
            if (result != ERROR_NO_MORE_ITEMS)
                WriteDiagnosticLine(L"%ws:RegEnumKeyEx: failed with error: %ld", L"CRegistryKey::EnumerateSubkeyNames",
                               result);
            return;
        }
        names.emplace_back(buffer, length);
    }
}

LONG CRegistryKey::EnumerateValueNames(std::vector<std::wstring>& names)
{
    names.clear();
    std::vector<wchar_t> buffer(256);
    for (DWORD index = 0;;) {
        DWORD length = static_cast<DWORD>(buffer.size());
        const LONG result =
            RegEnumValueW(m_handle, index, buffer.data(), &length, nullptr, nullptr, nullptr, nullptr);
        if (result == ERROR_SUCCESS) {
            names.emplace_back(buffer.data(), length);
            ++index;
        } else if (result == ERROR_MORE_DATA) {
            buffer.assign(buffer.size() + 256, L'\0');
        } else if (result == ERROR_NO_MORE_ITEMS) {
            return ERROR_SUCCESS;
        } else {
            WriteDiagnosticLine(L"%ws:RegEnumValue: failed with error: %ld", L"CRegistryKey::EnumerateValueNames", result);
            return result;
        }
    }
}

LONG CRegistryKey::DeleteKeyAndSubkeys()
{
    if (IsChangePreviewed(L"Delete registry key", GetDisplayPath()))
        return ERROR_SUCCESS;
    LONG result = DeleteOwnKey(m_handle, m_viewFlags);
    if (result == ERROR_SUCCESS)
        return result;
    // Still has sub keys: remove them depth first, then this key again. A
    // sub key that is a registry link is opened as the link itself, so that
    // the link goes and the tree it leads to (elsewhere in the registry)
    // stays untouched.
    std::vector<std::wstring> names;
    EnumerateSubkeyNames(names);
    for (const std::wstring& name : names) {
        UniqueRegKey handle;
        const LONG opened = RegOpenKeyExW(m_handle, name.c_str(), REG_OPTION_OPEN_LINK, m_viewFlags | KEY_READ,
                                          handle.put());
        if (opened != ERROR_SUCCESS) {
            if (opened != ERROR_FILE_NOT_FOUND)
                WriteDiagnosticLine(L"%ws:RegOpenKeyEx: failed for key name: %ws with error: %ld", L"CRegistryKey::Open",
                                    name.c_str(), opened);
            continue;
        }
        std::unique_ptr<CRegistryKey> subkey(new CRegistryKey(handle.get(), m_viewFlags, m_displayPath + L"\\" + name));
        handle.release();
        subkey->DeleteKeyAndSubkeys();
    }
    return DeleteOwnKey(m_handle, m_viewFlags);
}

void CRegistryKey::GetValueDataPair(DWORD type, const std::wstring& name, DWORD nameLength, const BYTE* data,
                                    DWORD size, std::wstring& line)
{
    line.clear();
    if (data == nullptr)
        size = 0;
    const size_t length = std::min<size_t>(nameLength, name.size());
    if (length == 0) {
        line += L"@=";
    } else {
        line += L'"';
        AppendEscaped(line, name.substr(0, length), true);
        line += L"\"=";
    }

    if (type == REG_SZ) {
        // The quoted form restores as the text and one terminator. Data it
        // would not restore exactly (no terminator, bytes after it, text the
        // 8-bit file cannot carry) is written as hex(1): instead.
        const size_t count = size / sizeof(wchar_t);
        std::wstring text(count, L'\0');
        if (count > 0)
            std::memcpy(&text[0], data, count * sizeof(wchar_t));
        const size_t end = text.find(L'\0');
        if (end != std::wstring::npos && (end + 1) * sizeof(wchar_t) == size) {
            text.resize(end);
            if (IsPortableText(text)) {
                line += L'"';
                AppendEscaped(line, text, true);
                line += L'"';
                return;
            }
        }
    } else if (type == REG_DWORD && size == sizeof(DWORD)) {
        DWORD value = 0;
        std::memcpy(&value, data, sizeof(value));
        wchar_t digits[16];
        swprintf(digits, 16, L"%08x", static_cast<unsigned>(value));
        line += L"dword:";
        line += digits;
        return;
    }
    // A REG_DWORD of another size has no dword: form; it is deleted like any
    // other value, so it is written in its exact hex(4): form.

    if (type == REG_BINARY) {
        line += L"hex:";
    } else {
        wchar_t prefix[24];
        swprintf(prefix, 24, L"hex(%x):", static_cast<unsigned>(type));
        line += prefix;
    }
    static const wchar_t digits[] = L"0123456789abcdef";
    line.reserve(line.size() + size * 3 + (size / 24 + 1) * 4);
    size_t column = line.size();
    for (DWORD i = 0; i < size; ++i) {
        line += digits[data[i] >> 4];
        line += digits[data[i] & 0xF];
        if (i + 1 < size)
            line += L',';
        column += 3;
        if (column > 75 && i + 1 < size) {
            line += L"\\\n  ";
            column = 2;
        }
    }
}

LONG CRegistryKey::ExportRegistryKeyAndSubkeys(HKEY root, const std::wstring& path)
{
    // A preview deletes nothing, so it backs nothing up.
    if (IsPreviewMode())
        return ERROR_SUCCESS;
    ScopedCost meter(CostKind::Backup);
    const wchar_t* rootName = GetRootKeyName(root);
    if (*rootName == L'\0')
        return ERROR_SUCCESS;
    if (!IsWritableName(path))
        CheckKeyName(kExportKey, rootName, path, path);
    return ExportTree(root, rootName, path, nullptr, std::wstring(), rootName, path);
}

LONG CRegistryKey::ExportTree(HKEY root, const wchar_t* rootName, const std::wstring& path, HKEY parent,
                              const std::wstring& nameInParent, const std::wstring& headerRoot,
                              const std::wstring& headerPath)
{
    // Opening a sub key through its parent is the same key, and much cheaper
    // than walking the whole path from the root again.
    UniqueRegKey owned;
    LONG result = parent != nullptr
                      ? RegOpenKeyExW(parent, nameInParent.c_str(), 0, m_viewFlags | KEY_READ, owned.put())
                      : RegOpenKeyExW(root, path.c_str(), 0, m_viewFlags | KEY_READ, owned.put());
    if (result != ERROR_SUCCESS)
        return result;
    const HKEY key = owned.get();
    DWORD maxNameLength = 0;
    DWORD maxDataSize = 0;
    result = RegQueryInfoKeyW(key, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, &maxNameLength,
                              &maxDataSize, nullptr, nullptr);
    if (result != ERROR_SUCCESS)
        return result;
    std::vector<wchar_t> nameBuffer(static_cast<size_t>(maxNameLength) + 2);
    std::vector<BYTE> dataBuffer(std::max<DWORD>(maxDataSize, 1));

    std::wstring keyRoot = headerRoot;
    std::wstring keyPath = headerPath;
    ResolveHeader(root, key, keyRoot, keyPath);

    // The key's block (header, value lines, separator) goes to the backup
    // in one write.
    std::wstring block = L"[";
    block += keyRoot;
    block += L"\\";
    block += ToWritableName(keyPath);
    block += L"]\n";

    std::wstring line;
    int retries = 0;
    for (DWORD index = 0;;) {
        std::fill(nameBuffer.begin(), nameBuffer.end(), L'\0');
        DWORD nameLength = static_cast<DWORD>(nameBuffer.size());
        DWORD dataSize = static_cast<DWORD>(dataBuffer.size());
        DWORD type = REG_NONE;
        result = RegEnumValueW(key, index, nameBuffer.data(), &nameLength, nullptr, &type, dataBuffer.data(),
                               &dataSize);
        if (result == ERROR_NO_MORE_ITEMS)
            break;
        if (result == ERROR_MORE_DATA) {
            // The value grew since the key was measured: measure again
            // rather than leave it out of the backup.
            if (++retries > 4) {
                WriteDiagnosticLine(L"%ws:RegEnumValue: failed with error: %ld", kExportKey, result);
                retries = 0;
                ++index;
                continue;
            }
            DWORD names = 0, data = 0;
            if (RegQueryInfoKeyW(key, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, &names, &data,
                                 nullptr, nullptr) == ERROR_SUCCESS) {
                nameBuffer.assign(std::max<size_t>(nameBuffer.size(), static_cast<size_t>(names) + 2), L'\0');
                dataBuffer.assign(std::max<size_t>(dataBuffer.size(), data), 0);
            }
            if (nameBuffer.size() < kMaxValueNameLength + 2)
                nameBuffer.assign(kMaxValueNameLength + 2, L'\0');
            dataBuffer.assign(std::max<size_t>(dataBuffer.size() * 2, dataSize), 0);
            continue;
        }
        if (result != ERROR_SUCCESS) {
            WriteDiagnosticLine(L"%ws:RegEnumValue: failed with error: %ld", kExportKey, result);
            break;
        }
        retries = 0;
        ++index;
        const std::wstring name(nameBuffer.data(), nameLength);
        if (!IsWritableName(name))
            CheckValueName(kExportKey, rootName, path, name);
        GetValueDataPair(type, ToWritableName(name), nameLength, dataBuffer.data(), dataSize, line);
        if (!line.empty()) {
            block += line;
            block += L'\n';
        }
    }
    // The target ends the text with the separator's line end.
    if (RegistryBackupTarget* backup = GetRegistryBackupTarget())
        backup->WriteBackupText(block);
    CheckBackupFile(kExportKey);

    wchar_t subkeyName[1024];
    for (DWORD index = 0;; ++index) {
        DWORD length = 1024;
        result = RegEnumKeyExW(key, index, subkeyName, &length, nullptr, nullptr, nullptr, nullptr);
        if (result == ERROR_NO_MORE_ITEMS) {
            result = ERROR_SUCCESS;
            break;
        }
        if (result == ERROR_MORE_DATA)
            continue;
        if (result != ERROR_SUCCESS) {
            WriteDiagnosticLine(L"%ws:RegEnumKeyEx: failed with error: %ld", kExportKey, result);
            break;
        }
        if (length == 0)
            continue;
        const std::wstring subkey(subkeyName, length);
        const std::wstring subkeyPath = path + L"\\" + subkey;
        if (!IsWritableName(subkey))
            CheckKeyName(kExportKey, rootName, subkeyPath, subkey);
        const LONG subkeyResult =
            ExportTree(root, rootName, subkeyPath, key, subkey, keyRoot, keyPath + L"\\" + subkey);
        if (subkeyResult != ERROR_SUCCESS)
            WriteDiagnosticLine(L"%ws: Error for Subkey - %s, ErrorCode: %ld", kExportKey, subkeyPath.c_str(),
                                subkeyResult);
    }
    return result;
}

LONG CRegistryKey::ExportRegistryValue(HKEY root, const std::wstring& path, const std::wstring& valueName)
{
    if (IsPreviewMode())
        return ERROR_SUCCESS;
    ScopedCost meter(CostKind::Backup);
    const wchar_t* rootName = GetRootKeyName(root);
    if (*rootName == L'\0')
        return -1;
    UniqueRegKey owned;
    LONG result = RegOpenKeyExW(root, path.c_str(), 0, m_viewFlags | KEY_READ, owned.put());
    if (result != ERROR_SUCCESS)
        return result;
    const HKEY key = owned.get();
    DWORD type = REG_NONE;
    DWORD size = 0;
    result = RegQueryValueExW(key, valueName.c_str(), nullptr, &type, nullptr, &size);
    std::vector<BYTE> data;
    for (int attempt = 0; result == ERROR_SUCCESS || (result == ERROR_MORE_DATA && attempt < 4); ++attempt) {
        // An empty value is backed up too (as an empty hex: line): it is
        // deleted like any other.
        data.assign(std::max<DWORD>(size, 1), 0);
        size = static_cast<DWORD>(data.size());
        result = RegQueryValueExW(key, valueName.c_str(), nullptr, &type, data.data(), &size);
        if (result != ERROR_MORE_DATA)
            break;
    }
    if (result == ERROR_SUCCESS) {
        std::wstring line;
        if (!IsWritableName(path))
            CheckKeyName(kExportValue, rootName, path, path);
        if (!IsWritableName(valueName))
            CheckValueName(kExportValue, rootName, path, valueName);
        GetValueDataPair(type, ToWritableName(valueName), static_cast<DWORD>(valueName.size()), data.data(), size,
                         line);
        std::wstring keyRoot = rootName;
        std::wstring keyPath = path;
        ResolveHeader(root, key, keyRoot, keyPath);
        // Header, value line (when there is one), then the separator's
        // line end, which the target adds.
        std::wstring block = L"[";
        block += keyRoot;
        block += L"\\";
        block += ToWritableName(keyPath);
        block += L"]\n";
        if (!line.empty()) {
            block += line;
            block += L'\n';
        }
        if (RegistryBackupTarget* backup = GetRegistryBackupTarget())
            backup->WriteBackupText(block);
        CheckBackupFile(kExportValue);
    } else if (result != ERROR_FILE_NOT_FOUND) {
        WriteDiagnosticLine(L"%ws: RegQueryValueEx: failed with error: %ld", kExportValue, result);
    }
    return result;
}

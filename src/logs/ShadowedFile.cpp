#include "logs/ShadowedFile.h"

#include <windows.h>

#include <algorithm>

#include "system/UniqueHandle.h"

namespace {

bool g_hardLinksAllowed = true;

// The thread's last Win32 error, or ERROR_WRITE_FAULT when there is none.
DWORD LastError()
{
    const DWORD error = GetLastError();
    return error != ERROR_SUCCESS ? error : ERROR_WRITE_FAULT;
}

// Writes the bytes at the file's current position; 0 or the Win32 code.
DWORD WriteAll(HANDLE file, const char* data, size_t size)
{
    while (size > 0) {
        const DWORD chunk = static_cast<DWORD>(std::min<size_t>(size, 1u << 24));
        DWORD written = 0;
        if (!WriteFile(file, data, chunk, &written, nullptr))
            return LastError();
        if (written == 0)
            return ERROR_WRITE_FAULT;
        data += written;
        size -= written;
    }
    return ERROR_SUCCESS;
}

// Deletes the name; true when it is gone (or never was).
bool DeleteName(const std::wstring& path)
{
    return DeleteFileW(path.c_str()) || GetLastError() == ERROR_FILE_NOT_FOUND;
}

} // namespace

void ShadowedFile::AllowHardLinks(bool allowed)
{
    g_hardLinksAllowed = allowed;
}

ShadowedFile::ShadowedFile(const std::wstring& path)
    : m_path(path), m_shadowPaths{path + L".tmp", path + L".tmp2"}
{
}

ShadowedFile::~ShadowedFile()
{
    RemoveShadow();
}

void ShadowedFile::RemoveShadow()
{
    m_shadowUsable = false;
    // Deleting a name never touches the data of another name of the same
    // file, so a leftover link to the file itself is harmless to delete.
    DeleteFileW(m_shadowPaths[0].c_str());
    DeleteFileW(m_shadowPaths[1].c_str());
}

bool ShadowedFile::HardLinksUsable() const
{
    return g_hardLinksAllowed && !m_hardLinksFailed;
}

unsigned long ShadowedFile::Save(const std::string& bytes, size_t changedFrom)
{
    m_pendingFrom = std::min(m_pendingFrom, changedFrom);
    m_lastSavePartial = false;
    if (m_shadowUsable && HardLinksUsable()) {
        if (SaveThroughShadow(bytes) == ERROR_SUCCESS) {
            m_lastSavePartial = true;
            return ERROR_SUCCESS;
        }
        // The shadow is gone; a whole write starts a new one.
    }
    return SaveWhole(bytes);
}

unsigned long ShadowedFile::SaveThroughShadow(const std::string& bytes)
{
    // The shadow holds an earlier save; bring it up to the bytes from the
    // first offset at which either of the last two saves changed anything.
    m_shadowUsable = false;
    size_t from = std::min(m_shadowFrom, m_pendingFrom);
    from = std::min(from, bytes.size());
    UniqueKernelHandle file(CreateFileW(ShadowPath().c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                        FILE_ATTRIBUTE_NORMAL, nullptr));
    unsigned long long shadowSize = 0;
    DWORD error = ERROR_SUCCESS;
    if (!file) {
        error = LastError();
    } else {
        // Only a file of its own, of the size this object left it, is used;
        // a second name would mean writing into the file itself.
        BY_HANDLE_FILE_INFORMATION info;
        if (!GetFileInformationByHandle(file.get(), &info)) {
            error = LastError();
        } else {
            shadowSize = (static_cast<unsigned long long>(info.nFileSizeHigh) << 32) | info.nFileSizeLow;
            if (info.nNumberOfLinks != 1 || (m_shadowFrom != 0 && shadowSize != m_shadowSize))
                error = ERROR_INVALID_DATA;
            else if (from > shadowSize)
                from = static_cast<size_t>(shadowSize);
        }
    }
    if (error == ERROR_SUCCESS) {
        LARGE_INTEGER position;
        position.QuadPart = static_cast<LONGLONG>(from);
        if (!SetFilePointerEx(file.get(), position, nullptr, FILE_BEGIN))
            error = LastError();
        else
            error = WriteAll(file.get(), bytes.data() + from, bytes.size() - from);
        if (error == ERROR_SUCCESS)
            m_bytesWritten += bytes.size() - from;
        // A longer file ends where the bytes end already.
        if (error == ERROR_SUCCESS && shadowSize > bytes.size() && !SetEndOfFile(file.get()))
            error = LastError();
        if (error == ERROR_SUCCESS && !FlushFileBuffers(file.get()))
            error = LastError();
    }
    file.reset();
    if (error != ERROR_SUCCESS) {
        RemoveShadow();
        return error;
    }
    return Replace(bytes);
}

unsigned long ShadowedFile::SaveWhole(const std::string& bytes)
{
    // A new file under the shadow's name: whatever has that name now goes
    // first, so that nothing is ever written through a stale link.
    m_shadowUsable = false;
    if (!DeleteName(ShadowPath()))
        return LastError();
    DeleteName(m_shadowPaths[1 - m_shadow]);
    UniqueKernelHandle file(CreateFileW(ShadowPath().c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                        FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file)
        return LastError();
    DWORD error = WriteAll(file.get(), bytes.data(), bytes.size());
    if (error == ERROR_SUCCESS)
        m_bytesWritten += bytes.size();
    if (error == ERROR_SUCCESS && !FlushFileBuffers(file.get()))
        error = LastError();
    file.reset();
    if (error != ERROR_SUCCESS) {
        DeleteFileW(ShadowPath().c_str());
        return error;
    }
    return Replace(bytes);
}

unsigned long ShadowedFile::Replace(const std::string& bytes)
{
    // The other shadow name keeps the file being replaced, which becomes
    // the next shadow (that name is free: a whole write deleted it, and
    // every save since moved the file that had it). Without the file there
    // is nothing to keep; any other failure means this volume makes no hard
    // links, and the saves write whole files.
    const std::wstring& next = m_shadowPaths[1 - m_shadow];
    bool kept = false;
    if (HardLinksUsable()) {
        kept = CreateHardLinkW(next.c_str(), m_path.c_str(), nullptr) != FALSE;
        if (!kept && (GetLastError() == ERROR_ALREADY_EXISTS || GetLastError() == ERROR_FILE_EXISTS) &&
            DeleteName(next))
            kept = CreateHardLinkW(next.c_str(), m_path.c_str(), nullptr) != FALSE;
        if (!kept) {
            const DWORD error = GetLastError();
            if (error != ERROR_FILE_NOT_FOUND && error != ERROR_PATH_NOT_FOUND)
                m_hardLinksFailed = true;
        }
    }
    if (!MoveFileExW(ShadowPath().c_str(), m_path.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
        const DWORD error = LastError();
        RemoveShadow();
        return error;
    }
    const bool replacedKnown = m_savedKnown;
    const size_t replacedSize = m_savedSize;
    const size_t changedFrom = m_pendingFrom;
    m_savedKnown = true;
    m_savedSize = bytes.size();
    m_pendingFrom = std::string::npos;
    if (kept) {
        // The replaced file differs from the new one from changedFrom on;
        // a file this object did not write is rewritten whole.
        m_shadow = 1 - m_shadow;
        m_shadowUsable = true;
        m_shadowSize = replacedKnown ? replacedSize : 0;
        m_shadowFrom = replacedKnown ? changedFrom : 0;
    }
    return ERROR_SUCCESS;
}

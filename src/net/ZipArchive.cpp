#include "net/ZipArchive.h"

#include <shlwapi.h>
#include <zlib.h>

#include <cstring>
#include <vector>

#include "system/TextConvert.h"
#include "system/UniqueHandle.h"

const unsigned char ShellZipArchive::EmptyArchive[22] = {0x50, 0x4B, 0x05, 0x06};

namespace {

const uint32_t LocalHeaderSignature = 0x04034B50;
const uint32_t CentralHeaderSignature = 0x02014B50;
const uint32_t EndRecordSignature = 0x06054B50;
const uint16_t VersionNeeded = 20;      // 2.0: deflate
const uint16_t VersionMadeBy = 20;      // 2.0, attributes of MS-DOS/Windows
const uint16_t MethodDeflate = 8;
const uint16_t FlagUtf8Name = 0x0800;
const size_t LocalHeaderSize = 30;
const size_t CentralHeaderSize = 46;
const size_t MaxEntries = 0xFFFF;
const uint64_t MaxOffset = 0xFFFFFFFFull;

// Text logs shrink to a tenth or less at this level, at a fraction of the
// cost of the best compression.
const int CompressionLevel = 6;
const DWORD ReadPieceSize = 64 * 1024;

void Put16(std::vector<unsigned char>& out, uint16_t value)
{
    out.push_back(static_cast<unsigned char>(value & 0xFF));
    out.push_back(static_cast<unsigned char>(value >> 8));
}

void Put32(std::vector<unsigned char>& out, uint32_t value)
{
    for (int shift = 0; shift < 32; shift += 8)
        out.push_back(static_cast<unsigned char>((value >> shift) & 0xFF));
}

HRESULT LastError()
{
    const DWORD error = GetLastError();
    return HRESULT_FROM_WIN32(error != 0 ? error : ERROR_WRITE_FAULT);
}

bool WriteAll(HANDLE file, const void* data, size_t size)
{
    const unsigned char* bytes = static_cast<const unsigned char*>(data);
    while (size > 0) {
        const DWORD piece = size > 0x40000000u ? 0x40000000u : static_cast<DWORD>(size);
        DWORD written = 0;
        if (!WriteFile(file, bytes, piece, &written, nullptr) || written == 0)
            return false;
        bytes += written;
        size -= written;
    }
    return true;
}

bool SeekTo(HANDLE file, uint64_t offset)
{
    LARGE_INTEGER position;
    position.QuadPart = static_cast<LONGLONG>(offset);
    return SetFilePointerEx(file, position, nullptr, FILE_BEGIN) != FALSE;
}

// The file's last change in local time, in the MS-DOS form zip keeps;
// 1980-01-01 for anything the form cannot hold.
void DosTimeOf(HANDLE file, uint16_t& dosTime, uint16_t& dosDate)
{
    dosTime = 0;
    dosDate = (1 << 5) | 1;
    FILETIME written, local;
    SYSTEMTIME time;
    if (!GetFileTime(file, nullptr, nullptr, &written) || !FileTimeToLocalFileTime(&written, &local) ||
        !FileTimeToSystemTime(&local, &time))
        return;
    if (time.wYear < 1980 || time.wYear > 2107)
        return;
    dosTime = static_cast<uint16_t>((time.wHour << 11) | (time.wMinute << 5) | (time.wSecond / 2));
    dosDate = static_cast<uint16_t>(((time.wYear - 1980) << 9) | (time.wMonth << 5) | time.wDay);
}

std::wstring BaseName(const std::wstring& path)
{
    const size_t slash = path.find_last_of(L"\\/");
    return slash == std::wstring::npos ? path : path.substr(slash + 1);
}

// Frees the deflate state on every path.
class Deflater {
public:
    Deflater() { std::memset(&m_stream, 0, sizeof(m_stream)); }
    ~Deflater()
    {
        if (m_ready)
            deflateEnd(&m_stream);
    }
    bool Init()
    {
        // Raw deflate data, as zip entries hold it (no zlib wrapper).
        m_ready = deflateInit2(&m_stream, CompressionLevel, Z_DEFLATED, -MAX_WBITS, 8, Z_DEFAULT_STRATEGY) == Z_OK;
        return m_ready;
    }
    z_stream& Stream() { return m_stream; }
    Deflater(const Deflater&) = delete;
    Deflater& operator=(const Deflater&) = delete;

private:
    z_stream m_stream;
    bool m_ready = false;
};

} // namespace

ShellZipArchive::ShellZipArchive(const std::wstring& archivePath) : m_path(archivePath)
{
    UniqueKernelHandle file(CreateFileW(m_path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                        FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file)
        return;
    if (WriteAll(file.get(), EmptyArchive, sizeof(EmptyArchive)))
        FlushFileBuffers(file.get());
}

bool ShellZipArchive::WriteDirectory(HANDLE archive) const
{
    std::vector<unsigned char> directory;
    for (const Entry& entry : m_entries) {
        Put32(directory, CentralHeaderSignature);
        Put16(directory, VersionMadeBy);
        Put16(directory, VersionNeeded);
        Put16(directory, entry.utf8Name ? FlagUtf8Name : 0);
        Put16(directory, MethodDeflate);
        Put16(directory, entry.dosTime);
        Put16(directory, entry.dosDate);
        Put32(directory, entry.crc);
        Put32(directory, entry.compressedSize);
        Put32(directory, entry.size);
        Put16(directory, static_cast<uint16_t>(entry.name.size()));
        Put16(directory, 0);  // extra field
        Put16(directory, 0);  // comment
        Put16(directory, 0);  // disk number
        Put16(directory, 0);  // internal attributes
        Put32(directory, FILE_ATTRIBUTE_ARCHIVE);
        Put32(directory, entry.localHeaderOffset);
        directory.insert(directory.end(), entry.name.begin(), entry.name.end());
    }
    if (static_cast<uint64_t>(m_directoryOffset) + directory.size() + sizeof(EmptyArchive) > MaxOffset)
        return false;
    const uint32_t directorySize = static_cast<uint32_t>(directory.size());
    Put32(directory, EndRecordSignature);
    Put16(directory, 0);  // this disk
    Put16(directory, 0);  // disk of the directory
    Put16(directory, static_cast<uint16_t>(m_entries.size()));
    Put16(directory, static_cast<uint16_t>(m_entries.size()));
    Put32(directory, directorySize);
    Put32(directory, m_directoryOffset);
    Put16(directory, 0);  // comment
    return SeekTo(archive, m_directoryOffset) && WriteAll(archive, directory.data(), directory.size()) &&
           SetEndOfFile(archive) && FlushFileBuffers(archive);
}

HRESULT ShellZipArchive::AddFile(const std::wstring& filePath)
{
    if (filePath.empty() || !PathFileExistsW(filePath.c_str()))
        return S_OK;
    if (PathIsDirectoryW(filePath.c_str()))
        return HRESULT_FROM_WIN32(ERROR_DIRECTORY);

    const std::wstring wideName = BaseName(filePath);
    for (const Entry& entry : m_entries) {
        if (CompareStringOrdinal(Utf8ToWide(entry.name).c_str(), -1, wideName.c_str(), -1, TRUE) == CSTR_EQUAL)
            return HRESULT_FROM_WIN32(ERROR_FILE_EXISTS);
    }
    if (m_entries.size() >= MaxEntries)
        return HRESULT_FROM_WIN32(ERROR_FILE_TOO_LARGE);

    UniqueKernelHandle source(CreateFileW(filePath.c_str(), GENERIC_READ,
                                          FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                          OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
    if (!source)
        return LastError();
    UniqueKernelHandle archive(CreateFileW(m_path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                                           OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!archive)
        return LastError();

    Entry entry;
    entry.name = WideToUtf8(wideName);
    for (unsigned char c : entry.name)
        entry.utf8Name = entry.utf8Name || c >= 0x80;
    DosTimeOf(source.get(), entry.dosTime, entry.dosDate);
    entry.localHeaderOffset = m_directoryOffset;

    // Whatever goes wrong below, the archive goes back to what it was.
    auto restore = MakeScopeExit([&]() { WriteDirectory(archive.get()); });

    std::vector<unsigned char> header;
    Put32(header, LocalHeaderSignature);
    Put16(header, VersionNeeded);
    Put16(header, entry.utf8Name ? FlagUtf8Name : 0);
    Put16(header, MethodDeflate);
    Put16(header, entry.dosTime);
    Put16(header, entry.dosDate);
    Put32(header, 0);  // CRC-32 and sizes, filled in once the data is written
    Put32(header, 0);
    Put32(header, 0);
    Put16(header, static_cast<uint16_t>(entry.name.size()));
    Put16(header, 0);
    header.insert(header.end(), entry.name.begin(), entry.name.end());
    if (!SeekTo(archive.get(), m_directoryOffset) || !WriteAll(archive.get(), header.data(), header.size()))
        return LastError();

    Deflater deflater;
    if (!deflater.Init())
        return E_OUTOFMEMORY;
    z_stream& stream = deflater.Stream();
    std::vector<unsigned char> input(ReadPieceSize);
    std::vector<unsigned char> output(ReadPieceSize);
    uLong crc = crc32(0L, Z_NULL, 0);
    uint64_t size = 0;
    uint64_t compressed = 0;
    const uint64_t dataStart = static_cast<uint64_t>(m_directoryOffset) + header.size();
    bool finished = false;
    while (!finished) {
        DWORD read = 0;
        if (!ReadFile(source.get(), input.data(), ReadPieceSize, &read, nullptr))
            return LastError();
        crc = crc32(crc, input.data(), read);
        size += read;
        if (size > MaxOffset)
            return HRESULT_FROM_WIN32(ERROR_FILE_TOO_LARGE);
        const int flush = read == 0 ? Z_FINISH : Z_NO_FLUSH;
        stream.next_in = input.data();
        stream.avail_in = read;
        do {
            stream.next_out = output.data();
            stream.avail_out = static_cast<uInt>(output.size());
            const int status = deflate(&stream, flush);
            if (status == Z_STREAM_ERROR)
                return HRESULT_FROM_WIN32(ERROR_INVALID_DATA);
            const size_t produced = output.size() - stream.avail_out;
            compressed += produced;
            if (dataStart + compressed > MaxOffset)
                return HRESULT_FROM_WIN32(ERROR_FILE_TOO_LARGE);
            if (produced > 0 && !WriteAll(archive.get(), output.data(), produced))
                return LastError();
            finished = status == Z_STREAM_END;
        } while (stream.avail_out == 0 || (flush == Z_FINISH && !finished));
    }

    entry.crc = static_cast<uint32_t>(crc);
    entry.size = static_cast<uint32_t>(size);
    entry.compressedSize = static_cast<uint32_t>(compressed);
    std::vector<unsigned char> sums;
    Put32(sums, entry.crc);
    Put32(sums, entry.compressedSize);
    Put32(sums, entry.size);
    if (!SeekTo(archive.get(), static_cast<uint64_t>(m_directoryOffset) + 14) ||
        !WriteAll(archive.get(), sums.data(), sums.size()))
        return LastError();

    const uint32_t previousOffset = m_directoryOffset;
    m_entries.push_back(entry);
    m_directoryOffset = static_cast<uint32_t>(dataStart + compressed);
    if (!WriteDirectory(archive.get())) {
        const HRESULT result = LastError();
        m_entries.pop_back();
        m_directoryOffset = previousOffset;
        return result;
    }
    restore.Dismiss();
    return S_OK;
}

#pragma once
#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

// The zip archive of the logs. Construction replaces whatever is at the path
// with an empty archive (the 22-byte end record alone). Each AddFile appends
// one deflated entry named after the file and rewrites the central directory
// and end record behind it, then flushes the file: after every call the file
// on disk is a whole, valid archive, whatever the call's outcome (a failed
// addition is taken back). Entries are read from their files at the time of
// the call, so the archive is complete as soon as the last call returns.
//
// The archive stays below the zip format's 4 GiB and 65,535-entry limits;
// an addition that would pass them fails.
class ShellZipArchive {
public:
    explicit ShellZipArchive(const std::wstring& archivePath);

    // Adds the file under its own name. 0 on success, and also when the path
    // is empty or names no existing file (nothing is added then); otherwise
    // the failure as an HRESULT. A name already in the archive is refused
    // with HRESULT_FROM_WIN32(ERROR_FILE_EXISTS).
    HRESULT AddFile(const std::wstring& filePath);

    const std::wstring& GetPath() const { return m_path; }

    // The 22-byte end record of an archive without entries.
    static const unsigned char EmptyArchive[22];

private:
    struct Entry {
        std::string name;  // UTF-8
        bool utf8Name = false;
        uint16_t dosTime = 0;
        uint16_t dosDate = 0;
        uint32_t crc = 0;
        uint32_t compressedSize = 0;
        uint32_t size = 0;
        uint32_t localHeaderOffset = 0;
    };

    // Writes the central directory and end record at the current position
    // and cuts the file there.
    bool WriteDirectory(HANDLE archive) const;

    std::wstring m_path;
    std::vector<Entry> m_entries;
    uint32_t m_directoryOffset = 0;  // where the entries end
};

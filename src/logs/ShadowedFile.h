#pragma once
#include <cstddef>
#include <string>

// A file that is replaced whole on every save and is at every moment a
// complete, flushed copy of one save: a process ended in the middle of a
// save, even in the middle of a write, leaves the previous save in place.
//
// A save writes the new bytes to the shadow copy "<name>.tmp", flushes them
// and moves that file over the file in one step. The file the move replaces
// is not thrown away: a hard link "<name>.tmp2" made just before the move
// keeps it, and it becomes the next shadow copy, one save behind (the two
// names take turns). The next save then rewrites only the bytes that
// changed in the last two saves, so a save that appends to the end costs
// the same however large the file has grown.
//
// Where hard links cannot be made (FAT volumes, some network shares), or
// anything about the shadow copy is doubtful (missing, another size than
// expected, a second name for the file itself), the save writes a whole new
// "<name>.tmp" as before.
class ShadowedFile {
public:
    explicit ShadowedFile(const std::wstring& path);
    // Removes the shadow copy; the file itself stays.
    ~ShadowedFile();
    ShadowedFile(const ShadowedFile&) = delete;
    ShadowedFile& operator=(const ShadowedFile&) = delete;

    // Makes the file hold the bytes. changedFrom is the lowest offset at
    // which the bytes differ from those of the previous call (npos: no
    // change; 0 when unknown). Returns the Win32 code of a failure, 0 on
    // success; a failed save changes nothing on disk but the shadow copy.
    unsigned long Save(const std::string& bytes, size_t changedFrom);
    // Deletes the shadow copy under both its names; the next save writes
    // the whole file.
    void RemoveShadow();

    // The shadow copy's name now.
    const std::wstring& ShadowPath() const { return m_shadowPaths[m_shadow]; }
    // True when the last successful save rewrote only part of the shadow.
    bool LastSaveWasPartial() const { return m_lastSavePartial; }
    // The bytes all saves so far have written (figures).
    unsigned long long BytesWritten() const { return m_bytesWritten; }

    // False makes every save behave as on a volume without hard links
    // (tests; process-wide).
    static void AllowHardLinks(bool allowed);

private:
    unsigned long SaveThroughShadow(const std::string& bytes);
    unsigned long SaveWhole(const std::string& bytes);
    // The shadow holds the new bytes, flushed: swap it in.
    unsigned long Replace(const std::string& bytes);
    bool HardLinksUsable() const;

    std::wstring m_path;
    std::wstring m_shadowPaths[2];  // "<name>.tmp", "<name>.tmp2"
    int m_shadow = 0;               // the one the shadow copy has
    // What this object knows of the file: the size of its last save, and
    // the lowest offset where the bytes given since differ from it.
    bool m_savedKnown = false;
    size_t m_savedSize = 0;
    size_t m_pendingFrom = 0;
    // The shadow: whether it can be used, its size, and the offset from
    // which it may differ from the file.
    bool m_shadowUsable = false;
    size_t m_shadowSize = 0;
    size_t m_shadowFrom = 0;
    bool m_hardLinksFailed = false;
    bool m_lastSavePartial = false;
    unsigned long long m_bytesWritten = 0;
};

#pragma once
#include <windows.h>

#include <string>
#include <vector>

#include "config/Configuration.h"
#include "steps/BaseStep.h"

// Step 6: the deletion of the agent's files and folders, its persistent
// data folder and the listener keys of its remote-desktop protocol.
class FileStep : public BaseStep {
public:
    // Copies the configuration's file list.
    FileStep(int number, const std::string& name);
    // Works on the given file list instead.
    FileStep(int number, const std::string& name, std::vector<FileEntry> files);
    void Run(RunOptions* options) override;

    // The step body: the persistent data and the listener keys first, then
    // every configured file and folder in list order.
    void RemoveFiles();
    // Takes ownership of the persistent-data folder and its parent, then
    // deletes the folder.
    void RemoveZRAPersistantFiles();
    // Backs up and deletes the listener keys.
    void RemoveRdsKeys();

    // The persistent-data folder (not in the configuration).
    static const wchar_t* const PersistentDataPaths[1];
    // The listener keys, each beginning with its root's short name.
    static const char* const ListenerKeys[9];
    // The size of the environment-expansion buffer, in characters.
    static const DWORD ExpansionBufferSize = 8192;

private:
    // Deletes an existing path, once more at once when that failed, and
    // records the outcome under shownPath. A missing path leaves no trace.
    void DeleteWithRetry(const wchar_t* caller, const std::wstring& path, const std::wstring& shownPath);

    std::vector<FileEntry> m_files;
};

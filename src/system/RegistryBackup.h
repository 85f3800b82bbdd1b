#pragma once
// Where the registry exports of CRegistryKey write: the registry backup
// file. The logs layer provides the target (the registry backup log) and
// installs its provider at start-up; the target is created on the first
// export, so that a fresh run has set its resume marker by then.
#include <string>

class RegistryBackupTarget {
public:
    virtual ~RegistryBackupTarget();
    // Writes the text (which may hold "%" and line ends) and one line end;
    // an empty text writes nothing.
    virtual void WriteBackupText(const std::wstring& text) = 0;
    virtual bool IsBackupOpen() const = 0;
    // True once a write to the open file has failed.
    virtual bool HasBackupWriteFailed() const = 0;
    virtual std::wstring GetBackupFilePath() const = 0;
};

// Gives the process-wide target, creating it on first call.
using RegistryBackupProvider = RegistryBackupTarget& (*)();
void SetRegistryBackupProvider(RegistryBackupProvider provider);

// The target; nullptr while no provider is installed (nothing can be backed
// up then, and the exports say so in the text log).
RegistryBackupTarget* GetRegistryBackupTarget();

// Whether the exports so far reached the backup: the target is open and no
// write to it failed. A deletion that must not go ahead without its backup
// asks this after the export. A preview exports nothing and changes
// nothing, so there it is always true.
bool IsRegistryBackupWritten();

#pragma once
#include <windows.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "config/Configuration.h"
#include "steps/BaseStep.h"
#include "system/ScopeGuards.h"
#include "system/UniqueHandle.h"

class CRegistryKey;

// What the registry step removes: copies of the configuration's lists.
struct RegistryStepLists {
    std::vector<RegValueEntry> values;
    std::vector<std::string> upgradeCodeKeys;
    std::vector<RegKeyEntry> keys;
    std::vector<RegSearchEntry> searches;
    std::vector<std::string> drivers;
};

// Step 8: backs up and removes the agent's registry values, keys, installer
// product registrations and searched keys, in the machine's hives and in
// every user's hive, and repairs the Windows settings the agent changed.
//
// Every deletion goes through CRegistryKey (DeleteValue, DeleteKeyAndSubkeys)
// after the export of what is deleted to "RegBackup.reg"; every repaired
// value is written by SetRepairedValue.
class RegistryStep : public BaseStep {
public:
    // The lists of the process-wide configuration.
    RegistryStep(int number, const std::string& name);
    RegistryStep(int number, const std::string& name, const RegistryStepLists& lists);
    ~RegistryStep() override;
    void Run(RunOptions* options) override;

    // The operations, in the order Run calls them.
    void AddOperationPermission();
    void RestoreRDPValues();
    void RemoveRegistryValues();
    void RemoveUpgradeCodesKeys();
    void RemoveRegistryKeys();
    void SearchAndRemoveRegistryKeys();
    void RestoreRegistryValues();
    void RestoreKbdMouseValues();
    // Unloads the user hives loaded by AddOperationPermission, disables the
    // privileges it enabled and closes the token. Run calls it on every path
    // out of the step body; a second call does nothing.
    void ReleaseOperationPermission();
    void RemoveVideoSubKeys();
    void RemovePnpDevice();

    void SearchAndRemoveOneRegistryKey(const std::string& keyName, const std::string& pattern,
                                       const std::string& trailing, bool wow6432Node);
    void RemoveAppInitValue();
    void RemovePnpDriver();

    // Names under HKEY_USERS of the hives loaded and not yet unloaded.
    std::vector<std::wstring> GetLoadedHives() const;

    // Called with each operation's name before Run calls it (tests).
    void SetBeforeOperation(const std::function<void(const wchar_t*)>& hook) { m_beforeOperation = hook; }

private:
    // Backs up root\path and deletes it through the key opened on it;
    // refuses (ERROR_ACCESS_DENIED, logged) a protected system key.
    LONG BackUpAndDeleteKey(const wchar_t* operation, HKEY root, const std::wstring& path, CRegistryKey& key);
    void BeforeOperation(const wchar_t* name);

    RegistryStepLists m_lists;
    UniqueKernelHandle m_token;
    std::vector<EnabledPrivilege> m_privileges;
    std::vector<LoadedUserHive> m_hives;
    std::function<void(const wchar_t*)> m_beforeOperation;
};

// Depth-first search below key (whose path relative to its root is path)
// for string values holding pattern (see IsSearchMatch): appends the path
// of each key holding one and does not search below it.
void SearchSelfAndSubkeyValue(const std::wstring& path, CRegistryKey& key, const std::wstring& pattern,
                              std::vector<std::wstring>& list);

// The one write of a repaired registry value: RegSetValueExW on an open key.
LONG SetRepairedValue(HKEY key, const std::wstring& valueName, DWORD type, const BYTE* data, DWORD size);

// The registry view of a configured entry: the 32-bit view with the
// Wow6432node flag, the 64-bit view without.
REGSAM ConfiguredView(bool wow6432Node);

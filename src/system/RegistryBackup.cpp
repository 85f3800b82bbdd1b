#include "system/RegistryBackup.h"

#include "system/MachineChanges.h"

namespace {

RegistryBackupProvider g_provider = nullptr;

} // namespace

RegistryBackupTarget::~RegistryBackupTarget() = default;

void SetRegistryBackupProvider(RegistryBackupProvider provider)
{
    g_provider = provider;
}

RegistryBackupTarget* GetRegistryBackupTarget()
{
    return g_provider != nullptr ? &g_provider() : nullptr;
}

bool IsRegistryBackupWritten()
{
    if (IsPreviewMode())
        return true;
    const RegistryBackupTarget* target = GetRegistryBackupTarget();
    return target != nullptr && target->IsBackupOpen() && !target->HasBackupWriteFailed();
}

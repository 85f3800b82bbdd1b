#include "system/RegistryBackup.h"

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

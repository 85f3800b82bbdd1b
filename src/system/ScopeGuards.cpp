#include "system/ScopeGuards.h"


#include <utility>

#include "system/Privileges.h"

EnabledPrivilege::EnabledPrivilege(HANDLE token, const wchar_t* privilegeName)
    : m_token(token), m_name(privilegeName), m_enabled(SetPrivilege(token, privilegeName, true)), m_pending(true)
{
}

EnabledPrivilege::~EnabledPrivilege()
{
    if (m_pending && m_enabled)
        SetPrivilege(m_token, m_name, false);
}

EnabledPrivilege::EnabledPrivilege(EnabledPrivilege&& other) noexcept
    : m_token(other.m_token), m_name(other.m_name), m_enabled(other.m_enabled), m_pending(other.m_pending)
{
    other.m_pending = false;
}

bool EnabledPrivilege::Disable()
{
    if (!m_pending)
        return true;
    m_pending = false;
    return SetPrivilege(m_token, m_name, false);
}

LoadedUserHive::LoadedUserHive(const std::wstring& hiveName, const std::wstring& hiveFile)
    : m_name(hiveName), m_loaded(LoadUserProfile(hiveName, hiveFile))
{
}

LoadedUserHive::~LoadedUserHive()
{
    try {
        Unload();
    } catch (...) {
    }
}

LoadedUserHive::LoadedUserHive(LoadedUserHive&& other) noexcept
    : m_name(std::move(other.m_name)), m_loaded(other.m_loaded)
{
    other.m_loaded = false;
}

void LoadedUserHive::Unload()
{
    if (!m_loaded)
        return;
    m_loaded = false;
    UnloadUserProfile(m_name);
}

ComInitialization::ComInitialization(DWORD concurrencyModel)
    : m_result(CoInitializeEx(nullptr, concurrencyModel)), m_pending(SUCCEEDED(m_result))
{
}

ComInitialization::~ComInitialization()
{
    Uninitialize();
}

void ComInitialization::Uninitialize()
{
    if (!m_pending)
        return;
    m_pending = false;
    CoUninitialize();
}

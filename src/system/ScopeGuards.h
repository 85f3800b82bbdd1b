#pragma once
// Guards for operations that come in pairs: whatever is switched on, loaded
// or initialised by a guard's constructor is switched off, unloaded or
// uninitialised again when the guard's scope is left, on every path (an
// exception included). Each guard also offers the closing half as an
// explicit call, for the paths that must close in a stated order; the
// destructor then has nothing left to do.
#include <windows.h>
#include <objbase.h>

#include <string>

// One privilege enabled on a token (through SetPrivilege, which logs its own
// failures) for the guard's lifetime. The token stays the caller's.
class EnabledPrivilege {
public:
    EnabledPrivilege(HANDLE token, const wchar_t* privilegeName);
    // Disables the privilege when this guard enabled it and it was not
    // disabled yet.
    ~EnabledPrivilege();
    EnabledPrivilege(EnabledPrivilege&& other) noexcept;
    EnabledPrivilege(const EnabledPrivilege&) = delete;
    EnabledPrivilege& operator=(const EnabledPrivilege&) = delete;
    EnabledPrivilege& operator=(EnabledPrivilege&&) = delete;

    // True when enabling succeeded.
    bool IsEnabled() const { return m_enabled; }
    // Disables the privilege now, whether or not enabling succeeded (an
    // explicit release asks for it either way), and returns SetPrivilege's
    // answer. A second call does nothing and returns true.
    bool Disable();

private:
    HANDLE m_token;
    const wchar_t* m_name;
    bool m_enabled;
    bool m_pending;  // the disable is still owed
};

// A user's registry hive loaded under HKEY_USERS\hiveName (through
// LoadUserProfile, which logs a failure) for the guard's lifetime; needs
// the backup and restore privileges enabled.
class LoadedUserHive {
public:
    LoadedUserHive(const std::wstring& hiveName, const std::wstring& hiveFile);
    // Unloads the hive when it was loaded and not unloaded yet.
    ~LoadedUserHive();
    LoadedUserHive(LoadedUserHive&& other) noexcept;
    LoadedUserHive(const LoadedUserHive&) = delete;
    LoadedUserHive& operator=(const LoadedUserHive&) = delete;
    LoadedUserHive& operator=(LoadedUserHive&&) = delete;

    bool IsLoaded() const { return m_loaded; }
    const std::wstring& GetName() const { return m_name; }
    // Unloads the hive now (UnloadUserProfile logs a failure); a hive that
    // did not load, or was unloaded already, is left alone.
    void Unload();

private:
    std::wstring m_name;
    bool m_loaded;
};

// COM initialised on the calling thread (CoInitializeEx) for the guard's
// lifetime; uninitialised again only when the initialisation succeeded
// (S_OK or S_FALSE), as COM requires.
class ComInitialization {
public:
    explicit ComInitialization(DWORD concurrencyModel);
    ~ComInitialization();
    ComInitialization(const ComInitialization&) = delete;
    ComInitialization& operator=(const ComInitialization&) = delete;

    HRESULT GetResult() const { return m_result; }
    bool Succeeded() const { return SUCCEEDED(m_result); }
    // Uninitialises now when the initialisation succeeded; a second call
    // does nothing.
    void Uninitialize();

private:
    HRESULT m_result;
    bool m_pending;
};

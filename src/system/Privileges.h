#pragma once
#include <windows.h>
#include <string>

// userenv.h names a function LoadUserProfile through a macro; ours is the
// plain hive loader below.
#ifdef LoadUserProfile
#undef LoadUserProfile
#endif

// Maps a hive token ("HKLM", "HKEY_USERS", ... any case) to its predefined
// root key. False for any other token; the caller logs.
bool ParsePredefinedKey(const std::string& token, HKEY& root);

// Enables or disables one privilege on the token. True when the privilege
// now has the asked state; false (logged) when the lookup or adjustment
// fails or the token does not hold the privilege.
bool SetPrivilege(HANDLE token, const wchar_t* privilegeName, bool enable);

// Gives Everyone read and Administrators full access to a file-system
// object, taking ownership for Administrators first when access is denied.
// False for a missing path (silently) and on any failure (logged). A
// preview reports "Take ownership" and returns true.
bool TakeOwnership(const std::wstring& path);

// Loads a hive file under HKEY_USERS\hiveName (needs the backup and restore
// privileges enabled) and unloads it again. Failures are logged.
bool LoadUserProfile(const std::wstring& hiveName, const std::wstring& hiveFile);
void UnloadUserProfile(const std::wstring& hiveName);

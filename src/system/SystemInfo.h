#pragma once
#include <string>

// Facts about the machine and the installed agent, for the result log's
// metadata, the version report and the upload. None of these functions
// fails its caller: a missing key, value or file gives the empty result.
// Registry values are read from HKEY_LOCAL_MACHINE in the 64-bit view.

// Product name, edition, " x64 " or " x86 " and the build number run
// together, e.g. "Windows 10 Enterprise x64 19045".
std::string GetOSDescription();

// True on a server edition of Windows.
bool IsServerOS();

// True when the program runs as a 32-bit process on 64-bit Windows. The
// answer is asked once and kept.
bool IsWow64();

// The machine identifier recorded by the meta-installer.
std::string GetMachineId();

// 0 the agent was upgraded, 1 freshly installed, 2 not installed.
int GetZraInstallationType();

// The agent's version before its last upgrade; empty unless it was upgraded.
std::string GetZraPreviousVersion();

// The installed agent's version.
std::string GetZraCurrentVersion();

namespace Utils {

// The agent version recorded in a result log file
// (Uninstall/MetaData/CurrentVersion); empty when there is none.
std::string GetZraVersionFromXmlLog(const std::wstring& path);

// True when Windows holds a pending file rename of the agent's maker, i.e.
// a restart is pending on the agent's behalf.
bool IsPendingReboot();

} // namespace Utils

#!/usr/bin/env bash
# Lays out a simulated Halvora Zorander agent installation in a Wine
# prefix: registry entries, program files and services, as the agent's own
# installer would leave them. Usage: demo-seed-agent.sh PREFIX
set -euo pipefail
prefix="$1"
export WINEPREFIX="$prefix" WINEDEBUG=-all
w() { (cd "$prefix/drive_c" && /usr/lib/wine/wine64 "$@" </dev/null >/dev/null 2>&1); }

w reg add 'HKLM\SOFTWARE\Halvora\Versions\Halvora Zorander' /v 'Halvora Zorander' /d 24.3.1.2207 /f /reg:64
w reg add 'HKLM\SOFTWARE\Halvora\Versions\Halvora Zorander\History\Upgrade' /f /reg:64
w reg add 'HKLM\SOFTWARE\Halvora\Versions\Halvora Zorander\History\Initial Install' \
  /v 'Pre-existing State' /t REG_MULTI_SZ /d 'Halvora Zorander:23.1.0.1410' /f /reg:64
w reg add 'HKLM\SOFTWARE\Halvora\MetaInstall' /v MachineID /d 7f3c2a9e-5b41-4c8e-9d20-3e6f1a2b4c5d /f /reg:64
w reg add 'HKLM\SOFTWARE\Microsoft\Windows\CurrentVersion\Uninstall\Halvora Zorander' \
  /v DisplayVersion /d 24.3.1.2207 /f /reg:64
w reg add 'HKLM\SOFTWARE\Microsoft\Windows\CurrentVersion\Run' /v NrvSessionAgent \
  /d '"C:\Program Files\Halvora\Zorander\Session\NrvSessionAgent.exe"' /f /reg:64
w reg add 'HKLM\SOFTWARE\Halvora\Zorander\Agent' /v InstallDir /d 'C:\Program Files\Halvora\Zorander' /f /reg:64
w reg add 'HKLM\SOFTWARE\Halvora\Zorander\Agent' /v LogLevel /t REG_DWORD /d 3 /f /reg:64
w reg add 'HKLM\SOFTWARE\Halvora\Zorander\Agent' /v Relays /t REG_MULTI_SZ /d 'relay1.halvora.example\0relay2.halvora.example' /f /reg:64
w reg add 'HKLM\SOFTWARE\Halvora\Zorander\Plug-in' /v Path /d 'C:\Program Files (x86)\Halvora\Zorander\Plug-in' /f /reg:32
w reg add 'HKLM\SOFTWARE\Halvora\Zorander\Agent' /v Home /t REG_EXPAND_SZ /d '%ProgramFiles%\Halvora' /f /reg:64
w reg add 'HKLM\SOFTWARE\Halvora\Zorander\Wow' /v Path /d 'C:\Program Files (x86)\Halvora\Zorander' /f /reg:32
w reg add 'HKLM\SOFTWARE\Microsoft\Windows\CurrentVersion\Run' /v ZorUsbTray \
  /d '"C:\Program Files (x86)\Halvora\Zorander\ZorUsbTray.exe"' /f /reg:32
w reg add 'HKLM\SYSTEM\CurrentControlSet\Services\EventLog\Application\ZorPrintSvc' /v EventMessageFile \
  /d 'C:\Program Files\Halvora\Zorander\ZorPrint.dll' /f /reg:64
# Installer registration: upgrade code table, product key, per-user product entry.
w reg add 'HKLM\SOFTWARE\Classes\Installer\UpgradeCodes\0C82B84C73428FD51956F8713151D52C' /v 0C82B84C73428FD51956F87131510001 /d '' /f /reg:64
w reg add 'HKLM\SOFTWARE\Classes\Installer\Products\0C82B84C73428FD51956F87131510001' /v ProductName /d 'Halvora Zorander' /f /reg:64
w reg add 'HKLM\SOFTWARE\Microsoft\Windows\CurrentVersion\Installer\UserData\S-1-5-18\Products\0C82B84C73428FD51956F87131510001\InstallProperties' \
  /v DisplayName /d 'Halvora Zorander' /f /reg:64
# What the agent changed in Windows' own settings.
w reg add 'HKLM\SOFTWARE\Microsoft\Windows NT\CurrentVersion\Windows' /v AppInit_DLLs /d 'shim.dll QUILLHOOK.dll' /f /reg:64
w reg add 'HKLM\SYSTEM\CurrentControlSet\Control\NetworkProvider\Order' /v ProviderOrder /d 'RDPNP,LanmanWorkstation,PKpaClientNetwork' /f /reg:64
# An offline user's hive (C:\users\demouser\NTUSER.DAT) holding the agent's per-user key.
if [ -f "$prefix/drive_c/zra/zra-hive.exe" ]; then
  w reg add 'HKCU\Software\ZraDemoHive\Software\Halvora\Zorander' /v LastSession /d 'demo' /f
  w reg add 'HKCU\Software\ZraDemoHive\Software\Halvora\Other' /v Stay /d 'yes' /f
  mkdir -p "$prefix/drive_c/users/demouser"
  w 'C:\zra\zra-hive.exe' save 'Software\ZraDemoHive' 'C:\users\demouser\NTUSER.DAT'
  w reg delete 'HKCU\Software\ZraDemoHive' /f
fi

# Files where the shipped configuration names them.
pf="$prefix/drive_c/Program Files/Halvora/Zorander"
pf86="$prefix/drive_c/Program Files (x86)/Halvora/Zorander"
data="$prefix/drive_c/ProgramData/Halvora/NrvAgent"
mkdir -p "$pf/Broker" "$pf/Session" "$pf/Plug-in" "$pf86/Plug-in" "$data/Logs"
printf 'MZ simulated agent file\n' > "$pf/Broker/NrvBrokerAgent.exe"
printf 'MZ simulated agent file\n' > "$pf/Session/NrvSessionAgent.exe"
printf 'MZ simulated agent file\n' > "$pf/Plug-in/ZorPlugin64.dll"
printf 'MZ simulated agent file\n' > "$pf86/Plug-in/ZorPlugin.dll"
printf '[agent]\nrelay=relay1.halvora.example\n' > "$data/agent.ini"
printf 'agent log\n' > "$data/Logs/agent.log"
printf 'MZ simulated driver\n' > "$prefix/drive_c/windows/system32/drivers/zgfx.sys"

# Services and a kernel driver, as the agent registers them.
w sc create NrvBrokerAgent binPath= 'C:\Program Files\Halvora\Zorander\Broker\NrvBrokerAgent.exe' start= demand DisplayName= 'Halvora Zorander Broker'
w sc create NrvSessionAgent binPath= 'C:\Program Files\Halvora\Zorander\Session\NrvSessionAgent.exe' start= demand
w sc create zgfx type= kernel binPath= 'C:\windows\system32\drivers\zgfx.sys' start= demand
echo "   registry: HKLM\\SOFTWARE\\Halvora\\... (both views), Run values (both views), an installer product, AppInit_DLLs and ProviderOrder entries, the offline user demouser's hive; files under Program Files, ProgramData and drivers; services NrvBrokerAgent, NrvSessionAgent and the driver zgfx"

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
w reg add 'HKLM\SOFTWARE\Halvora\Zorander\Agent' /v InstallDir /d 'C:\Program Files\Halvora\Zorander' /f /reg:64
w reg add 'HKLM\SOFTWARE\Halvora\Zorander\Agent' /v LogLevel /t REG_DWORD /d 3 /f /reg:64
w reg add 'HKLM\SOFTWARE\Halvora\Zorander\Agent' /v Servers /t REG_MULTI_SZ /d 'relay1.halvora.example\0relay2.halvora.example' /f /reg:64
w reg add 'HKLM\SOFTWARE\Halvora\Zorander\Plugins' /v Browser /d 'C:\Program Files (x86)\Halvora\Zorander\ZrBrowser.dll' /f /reg:32

pf="$prefix/drive_c/Program Files/Halvora/Zorander"
pf86="$prefix/drive_c/Program Files (x86)/Halvora/Zorander"
data="$prefix/drive_c/ProgramData/Halvora/Zorander"
mkdir -p "$pf/bin" "$pf86" "$data/Logs"
for f in ZrAgent.exe ZrService.exe ZrUpdater.exe bin/ZrCore.dll bin/ZrCapture.dll; do
  printf 'MZ simulated agent file %s\n' "$f" > "$pf/$f"
done
printf 'MZ simulated agent plug-in\n' > "$pf86/ZrBrowser.dll"
printf '[agent]\nrelay=relay1.halvora.example\n' > "$data/agent.ini"
printf 'agent log\n' > "$data/Logs/agent.log"
printf 'MZ simulated driver\n' > "$prefix/drive_c/windows/system32/drivers/zrfilter.sys"

w sc create ZrAgentSvc binPath= 'C:\Program Files\Halvora\Zorander\ZrService.exe' start= demand DisplayName= 'Halvora Zorander Agent'
w sc create ZrUpdateSvc binPath= 'C:\Program Files\Halvora\Zorander\ZrUpdater.exe' start= demand
w sc create zrfilter type= kernel binPath= 'C:\windows\system32\drivers\zrfilter.sys' start= demand
echo "   registry: HKLM\\SOFTWARE\\Halvora\\... (both views); files: Program Files, ProgramData, drivers; services: ZrAgentSvc, ZrUpdateSvc, zrfilter"

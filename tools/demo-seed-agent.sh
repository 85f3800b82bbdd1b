#!/usr/bin/env bash
# Lays out a simulated Halvora Zorander agent installation in a Wine
# prefix: registry entries, program files and services, as the agent's own
# installer would leave them. Usage: demo-seed-agent.sh PREFIX
set -euo pipefail
prefix="$1"
programs="${2:-}"
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
if [ -n "$programs" ]; then
  # The agent's programs: a program that stays running, and a real service.
  cp "$programs/zra-sleeper.exe" "$pf/Broker/NrvBrokerAgent.exe"
  cp "$programs/zra-sleeper.exe" "$pf/Session/NrvSessionAgent.exe"
  cp "$programs/zra-sleeper.exe" "$pf/Session/KpaSession.exe"
  cp "$programs/zra-test-service.exe" "$pf/Broker/NrvBrokerService.exe"
else
  printf 'MZ simulated agent file\n' > "$pf/Broker/NrvBrokerAgent.exe"
  printf 'MZ simulated agent file\n' > "$pf/Session/NrvSessionAgent.exe"
fi
printf 'MZ simulated agent file\n' > "$pf/Plug-in/ZorPlugin64.dll"
printf 'MZ simulated agent file\n' > "$pf86/Plug-in/ZorPlugin.dll"
printf '[agent]\nrelay=relay1.halvora.example\n' > "$data/agent.ini"
printf 'agent log\n' > "$data/Logs/agent.log"
printf 'MZ simulated driver\n' > "$prefix/drive_c/windows/system32/drivers/zgfx.sys"
sys32="$prefix/drive_c/windows/system32"
for f in drivers/kpawd.sys drivers/ZorTdi.sys kpawdapi.dll zgfxum64.dll; do
  printf 'MZ simulated agent file\n' > "$sys32/$f"
done
mkdir -p "$prefix/drive_c/windows/Temp/Halvora" "$data/LocallyPersistedData/DeskLinkInfo" "$prefix/drive_c/HvrTemp" \
  "$prefix/drive_c/ProgramData/Halvora/Logs"
printf 'install log\n' > "$prefix/drive_c/windows/Temp/Halvora/install.log"
printf 'desk links\n' > "$data/LocallyPersistedData/DeskLinkInfo/links.dat"
printf 'temp\n' > "$prefix/drive_c/HvrTemp/setup.tmp"
printf 'agent log\n' > "$prefix/drive_c/ProgramData/Halvora/Logs/agent.log"
for part in Local Roaming; do
  mkdir -p "$prefix/drive_c/users/root/AppData/$part/Halvora/Zorander"
  printf 'user settings\n' > "$prefix/drive_c/users/root/AppData/$part/Halvora/Zorander/settings.ini"
done

# Listener keys of the agent's remote-desktop protocol.
ts='HKLM\SYSTEM\CurrentControlSet\Control\Terminal Server'
w reg add "$ts\WinStations\Kpa-TCP" /v PortNumber /t REG_DWORD /d 2598 /f /reg:64
w reg add "$ts\WinStations\Kpa-SSL" /v PortNumber /t REG_DWORD /d 443 /f /reg:64
w reg add "$ts\Wds\kpawd" /v WdName /d 'Kpa Listener' /f /reg:64

# Services and kernel drivers, as the agent registers them; the service of
# the driver kpawd is gone already, its key is left.
w sc create zgfx type= kernel binPath= 'C:\windows\system32\drivers\zgfx.sys' start= demand
w sc create HvrUsbHub type= kernel binPath= 'C:\windows\system32\drivers\HvrUsbHub.sys' start= demand
w reg add 'HKLM\SYSTEM\CurrentControlSet\Services\kpawd' /v Start /t REG_DWORD /d 1 /f /reg:64
w reg add 'HKLM\SYSTEM\CurrentControlSet\Services\kpawd' /v ImagePath /t REG_EXPAND_SZ \
  /d 'system32\drivers\kpawd.sys' /f /reg:64

# The agent's Windows Installer products under the shipped upgrade codes
# (the plug-in's removal asks for a restart), built with wixl.
msi_work="$(dirname "$prefix")/msi"
rm -rf "$msi_work" && mkdir -p "$msi_work" "$prefix/drive_c/msi"
tools_dir="$(cd "$(dirname "$0")" && pwd)"
/usr/bin/python3 - "$msi_work" "$prefix/drive_c/msi" "$tools_dir/../tests/e2e" <<'PY'
import shutil, sys
from pathlib import Path
sys.path.insert(0, sys.argv[3])
from installer_bed import build_msi, shipped_upgrade_code
work, target = Path(sys.argv[1]), Path(sys.argv[2])
packages = [("Halvora Zorander Broker Service", "24.3.1.2207", False),
            ("Halvora Zorander Plug-in x64", "24.3.1.2207", True),
            ("Halvora Zorander Browser Content Redirection", "24.3.1.2207", False)]
for i, (name, version, reboot) in enumerate(packages):
    msi, _ = build_msi(work, name, version, shipped_upgrade_code(name), reboot_on_removal=reboot)
    shutil.copy(msi, target / f"package{i}.msi")
PY
for msi in "$prefix"/drive_c/msi/package*.msi; do
  name=$(basename "$msi")
  w msiexec /i 'C:\msi\'"$name" /qn
done
echo "   Windows Installer products: Broker Service, Plug-in x64, Browser Content Redirection (24.3.1.2207)"

# The agent's own uninstaller, registered with an unquoted program path that
# holds blanks.
if [ -n "$programs" ]; then
  mkdir -p "$pf/Setup"
  cp "$programs/zra-meta-installer.exe" "$pf/Setup/ZoranderMetaInstaller.exe"
  w reg add 'HKLM\SOFTWARE\Microsoft\Windows\CurrentVersion\Uninstall\Halvora Zorander' /v UninstallString \
    /d 'C:\Program Files\Halvora\Zorander\Setup\ZoranderMetaInstaller.exe C:\zra\meta-installer-ran.txt 0' /f /reg:64
  echo "   meta-installer: C:\Program Files\Halvora\Zorander\Setup\ZoranderMetaInstaller.exe (records its command line)"
fi
if [ -n "$programs" ]; then
  svc='C:\Program Files\Halvora\Zorander\Broker\NrvBrokerService.exe'
  for name in NrvBrokerAgent NrvSessionAgent KpaSvc; do
    w sc create "$name" binPath= "$svc $name" start= demand
  done
  w sc start NrvBrokerAgent
  w sc start KpaSvc
  # The agent's processes run in the background until the cleanup ends them.
  # Each line of agent-processes.txt: the Linux process id and the image.
  : > "$prefix/agent-processes.txt"
  for exe in 'Broker\NrvBrokerAgent.exe' 'Session\NrvSessionAgent.exe' 'Session\KpaSession.exe' 'Session\KpaSession.exe'; do
    ready="C:\\ready-$RANDOM.txt"
    (cd "$prefix/drive_c" && exec /usr/lib/wine/wine64 'C:\Program Files\Halvora\Zorander\'"$exe" 600000 "$ready" \
      </dev/null >/dev/null 2>&1) &
    echo "$! ${exe#*\\}" >> "$prefix/agent-processes.txt"
  done
  for _ in $(seq 300); do
    [ "$(ls "$prefix"/drive_c/ready-*.txt 2>/dev/null | wc -l)" -ge 4 ] && break
    sleep 0.2
  done
  echo "   $(ls "$prefix"/drive_c/ready-*.txt 2>/dev/null | wc -l) agent processes started"
  rm -f "$prefix"/drive_c/ready-*.txt
  echo "   processes running: NrvBrokerAgent.exe, NrvSessionAgent.exe, KpaSession.exe (twice)"
  echo "   services: NrvBrokerAgent and KpaSvc running, NrvSessionAgent stopped; the drivers zgfx, HvrUsbHub and kpawd"
else
  w sc create NrvBrokerAgent binPath= 'C:\Program Files\Halvora\Zorander\Broker\NrvBrokerAgent.exe' start= demand DisplayName= 'Halvora Zorander Broker'
  w sc create NrvSessionAgent binPath= 'C:\Program Files\Halvora\Zorander\Session\NrvSessionAgent.exe' start= demand
  echo "   services: NrvBrokerAgent, NrvSessionAgent and the driver zgfx"
fi
echo "   registry: HKLM\\SOFTWARE\\Halvora\\... (both views), Run values (both views), listener keys, an installer product, AppInit_DLLs and ProviderOrder entries, the offline user demouser's hive; files under Program Files, ProgramData, system32, drivers, the Windows temp folder, the user profile and C:\\HvrTemp"

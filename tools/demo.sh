#!/usr/bin/env bash
# make demo: cleans up a simulated agent installation in a sandbox Wine
# prefix (build/demo/prefix) and shows the logs the run leaves behind.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
if tools/can-run-win32.sh; then
  tree=build/win32
else
  echo "NOTE: this machine cannot run 32-bit programs; the demo runs the 64-bit build of the same sources."
  make --no-print-directory build64 >/dev/null
  tree=build/win64
fi
exe="$root/$tree/ZRACleanupUtility.exe"
prefix="$root/build/demo/prefix"
tools/wine-prefix.sh template "$root/$tree/wine/template"
tools/wine-prefix.sh clone "$root/$tree/wine/template" "$prefix"
tools/wine-prefix.sh seal "$prefix"
mkdir -p "$prefix/drive_c/zra"
cp "$exe" "$root/$tree/tests/zra-runonce.exe" "$prefix/drive_c/zra/"
[ -f "$root/$tree/tests/zra-hive.exe" ] && cp "$root/$tree/tests/zra-hive.exe" "$prefix/drive_c/zra/"
tools/wine-prefix.sh start "$prefix"

# The stand-in diagnostics service on loopback receives the upload of the
# logs (the maker's service is never contacted); it saves what it receives.
uploads="$root/build/demo/uploads"
rm -rf "$uploads" && mkdir -p "$uploads"
service_out="$root/build/demo/service.txt"
/usr/bin/python3 -u tests/e2e/upload_server.py --save "$uploads" >"$service_out" 2>&1 &
service_pid=$!
trap 'kill "$service_pid" 2>/dev/null; tools/wine-prefix.sh stop "$prefix"' EXIT
for _ in $(seq 50); do [ -s "$service_out" ] && break; sleep 0.1; done
export ZRA_UPLOAD_BASE_URL="$(head -n 1 "$service_out")"

. tools/wine-env.sh "$prefix"
unset DISPLAY WAYLAND_DISPLAY
wine() { (cd "$prefix/drive_c" && /usr/lib/wine/wine64 "$@"); }

echo "== Seeding a simulated Halvora Zorander installation"
tools/demo-seed-agent.sh "$prefix" "$root/$tree/tests"

echo
echo "== ZRACleanupUtility.exe /version"
wine 'C:\zra\ZRACleanupUtility.exe' /version </dev/null | tr -d '\r'

echo
echo "== ZRACleanupUtility.exe   (Enter answers the \"pause\" prompt, y the restart question; the logs go to"
echo "   the stand-in service at $ZRA_UPLOAD_BASE_URL, named by ZRA_UPLOAD_BASE_URL)"
set +e
printf '\ny\n' | wine 'C:\zra\ZRACleanupUtility.exe' | tr -d '\r'
rc=${PIPESTATUS[1]}
set -e
echo
echo "(exit code: $rc; Wine's restart is a harmless stub)"
echo "   meta-installer ran as: $(tr -d '\r' < "$prefix/drive_c/zra/meta-installer-ran.txt" 2>/dev/null || echo '(not run)')"

# Each restart is replayed the way Windows does it at the next logon: the
# RunOnce value is read, deleted and its command line started.
for logon in 1 2; do
  echo
  echo "== Restart $logon: RunOnce \"HalvoraZraCleanup\" = $(wine reg query 'HKLM\Software\Microsoft\Windows\CurrentVersion\RunOnce' \
      /v HalvoraZraCleanup /reg:64 </dev/null 2>/dev/null | tr -d '\r' | sed -n 's/.*REG_SZ *//p')"
  set +e
  printf 'y\n\n' | wine 'C:\zra\zra-runonce.exe' | tr -d '\r'
  rc=${PIPESTATUS[1]}
  set -e
  echo
  echo "(exit code: $rc)"
done

echo
echo "== What the stand-in diagnostics service received"
tail -n +2 "$service_out" | sed 's/^/   /'
for zip in "$uploads"/*.zip; do
  [ -f "$zip" ] || { echo "   (no upload arrived)"; continue; }
  /usr/bin/python3 - "$zip" <<'PY'
import sys, zipfile
with zipfile.ZipFile(sys.argv[1]) as archive:
    assert archive.testzip() is None
    for info in archive.infolist():
        print(f"   {info.filename:22} {info.file_size:8} bytes (packed {info.compress_size})")
    print("   manifest.xml: " + archive.read("manifest.xml").decode().strip())
PY
done

echo
echo "== What is left of the simulated agent"
for key in 'HKLM\SOFTWARE\Halvora\Zorander' 'HKLM\SOFTWARE\Microsoft\Windows\CurrentVersion\Uninstall\Halvora Zorander' \
  'HKLM\SYSTEM\CurrentControlSet\Services\EventLog\Application\ZorPrintSvc' \
  'HKLM\SOFTWARE\Classes\Installer\UpgradeCodes\0C82B84C73428FD51956F8713151D52C' \
  'HKCR\Installer\Products\0C82B84C73428FD51956F87131510001' \
  'HKLM\SOFTWARE\Microsoft\Windows\CurrentVersion\Installer\UserData\S-1-5-18\Products\0C82B84C73428FD51956F87131510001'; do
  if wine reg query "$key" /reg:64 </dev/null >/dev/null 2>&1; then echo "   registry key present: $key"; else echo "   registry key gone:    $key"; fi
done
for code in '{B1F27EC0-3065-5EF9-B9B3-19A7ECF13685} Broker Service' \
            '{074B1B22-89C6-54FA-9FAF-8A1D5D17B233} Plug-in x64' \
            '{6DF284D2-BAB1-5227-95CC-E924A5D634D2} Browser Content Redirection'; do
  packed=$(/usr/bin/python3 -c "import sys; sys.path.insert(0, 'tests/e2e'); from installer_bed import squash_guid; print(squash_guid('${code%% *}'))")
  if wine reg query 'HKLM\Software\Classes\Installer\UpgradeCodes\'"$packed" /reg:64 </dev/null >/dev/null 2>&1; then
    echo "   Windows Installer product installed: ${code#* }"
  else
    echo "   Windows Installer product gone:      ${code#* }"
  fi
done
if wine reg query 'HKLM\SOFTWARE\Halvora\Zorander' /reg:32 </dev/null >/dev/null 2>&1; then
  echo "   registry key present: HKLM\SOFTWARE\Halvora\Zorander (32-bit view)"
else
  echo "   registry key gone:    HKLM\SOFTWARE\Halvora\Zorander (32-bit view)"
fi
for view in 64 32; do
  if wine reg query 'HKLM\SOFTWARE\Microsoft\Windows\CurrentVersion\Run' /reg:$view </dev/null 2>/dev/null | grep -q -E 'NrvSessionAgent|ZorUsbTray'; then
    echo "   Run values of the agent present ($view-bit view)"
  else
    echo "   Run values of the agent gone    ($view-bit view)"
  fi
done
echo "   AppInit_DLLs now:  $(wine reg query 'HKLM\SOFTWARE\Microsoft\Windows NT\CurrentVersion\Windows' /v AppInit_DLLs /reg:64 </dev/null 2>/dev/null | tr -d '\r' | awk '/AppInit_DLLs/ {$1=$2=""; print substr($0,3)}')"
echo "   ProviderOrder now: $(wine reg query 'HKLM\SYSTEM\CurrentControlSet\Control\NetworkProvider\Order' /v ProviderOrder /reg:64 </dev/null 2>/dev/null | tr -d '\r' | awk '/ProviderOrder/ {print $3}')"
if wine reg query 'HKU\demouser' </dev/null >/dev/null 2>&1; then echo "   offline user's hive still loaded: demouser"; else echo "   offline user's hive unloaded:     demouser"; fi
echo "   (Wine does not write a loaded hive's changes back to NTUSER.DAT; the removal from the offline"
echo "    user's hive shows in the result log:)"
grep -o '[^>]*HKU\\demouser[^<]*' "$prefix/drive_c/users/root/Temp/halvora/ZraCleanup/UninstallLog.xml" 2>/dev/null | sed 's/^/     registry item: /' || true
# A process ended through Wine leaves its Linux process a moment later; an
# exited one that nobody has reaped yet (state Z) is gone as well.
alive() {
  local state
  for _ in $(seq 25); do
    state=$(ps -o stat= -p "$1" 2>/dev/null || true)
    case "$state" in ''|Z*) return 1 ;; esac
    sleep 0.2
  done
  return 0
}
while read -r pid image; do
  if alive "$pid"; then echo "   process running: $image"; else echo "   process gone:    $image"; fi
done < "$prefix/agent-processes.txt"
for svc in NrvBrokerAgent NrvSessionAgent KpaSvc zgfx HvrUsbHub kpawd; do
  if wine sc query "$svc" </dev/null 2>/dev/null | grep -q STATE; then echo "   service present: $svc"; else echo "   service gone:    $svc"; fi
done
for key in 'HKLM\SYSTEM\CurrentControlSet\Services\kpawd' 'HKLM\SYSTEM\CurrentControlSet\Services\HvrUsbHub' \
           'HKLM\SYSTEM\CurrentControlSet\Control\Terminal Server\WinStations\Kpa-TCP' \
           'HKLM\SYSTEM\CurrentControlSet\Control\Terminal Server\WinStations\Kpa-SSL' \
           'HKLM\SYSTEM\CurrentControlSet\Control\Terminal Server\Wds\kpawd'; do
  if wine reg query "$key" /reg:64 </dev/null >/dev/null 2>&1; then echo "   registry key present: $key"; else echo "   registry key gone:    $key"; fi
done
for f in "Program Files/Halvora/Zorander" "Program Files (x86)/Halvora/Zorander/Plug-in" "ProgramData/Halvora/NrvAgent" \
         "ProgramData/Halvora/Logs" "windows/system32/drivers/zgfx.sys" "windows/system32/drivers/kpawd.sys" \
         "windows/system32/drivers/ZorTdi.sys" "windows/system32/kpawdapi.dll" "windows/system32/zgfxum64.dll" \
         "windows/Temp/Halvora" "users/root/AppData/Local/Halvora/Zorander" \
         "users/root/AppData/Roaming/Halvora/Zorander" "HvrTemp"; do
  if [ -e "$prefix/drive_c/$f" ]; then echo "   file present: C:/$f"; else echo "   file gone:    C:/$f"; fi
done
if [ "$tree" = build/win64 ]; then
  echo "   (the 64-bit build does not run under WOW64: entries flagged Wow64Redir name C:/Program Files there,"
  echo "    so the copy under Program Files (x86) stays; the 32-bit product removes it)"
fi

logs="$prefix/drive_c/users/root/Temp/halvora/ZraCleanup"
echo
echo "== Log folder: C:\\users\\root\\Temp\\halvora\\ZraCleanup (the temp folder + halvora\\ZraCleanup)"
echo "   (on this machine: $logs)"
ls -l "$logs" | tail -n +2
for f in CleanupToolLog.txt RegBackup.reg UninstallLog.xml; do
  if [ -f "$logs/$f" ]; then
    echo
    echo "== $f"
    tr -d '\r' < "$logs/$f" | tail -n 40
  fi
done

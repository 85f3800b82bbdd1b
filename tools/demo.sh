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

state="$root/build/demo/state"
rm -rf "$state"
echo "== Installing the simulated Halvora Zorander agent: everything the shipped configuration names"
/usr/bin/python3 tools/demo_agent.py seed "$prefix" "$root/$tree/tests" "$state"

echo
echo "== ZRACleanupUtility.exe /version"
wine 'C:\zra\ZRACleanupUtility.exe' /version </dev/null | tr -d '\r'

echo
echo "== ZRACleanupUtility.exe /Preview   (what the cleanup would change; it changes nothing)"
printf '\n' | wine 'C:\zra\ZRACleanupUtility.exe' /Preview | tr -d '\r' > "$state/preview.txt" || true
# Each step's banner with its first three changes and how many more follow.
awk '/^\[Step / { if (more > 0) print "\t... and " more " more"; print; shown = 0; more = 0; next }
     /^\t/ { if (shown < 3) { print; shown++ } else more++; next }
     /^Preview complete/ { if (more > 0) print "\t... and " more " more"; print }' "$state/preview.txt"

echo
echo "== ZRACleanupUtility.exe   (Enter answers the \"pause\" prompt, y the restart question; the logs go to"
echo "   the stand-in service at $ZRA_UPLOAD_BASE_URL, named by ZRA_UPLOAD_BASE_URL)"
set +e
printf '\ny\n' | wine 'C:\zra\ZRACleanupUtility.exe' | tr -d '\r'
rc=${PIPESTATUS[1]}
set -e
echo
echo "(exit code: $rc; Wine's restart is a harmless stub)"
echo "   the agent's uninstaller ran as: $(tr -d '\r' < "$prefix/drive_c/zra/meta-installer-ran.txt" 2>/dev/null | head -n 1 || echo '(not run)')"

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
echo "== Before and after"
/usr/bin/python3 tools/demo_agent.py compare "$prefix" "$state"
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
running=0
while read -r pid image; do
  if alive "$pid"; then echo "   process still running: $image"; running=$((running + 1)); fi
done < "$state/agent-processes.txt"
echo "   agent processes still running: $running of $(wc -l < "$state/agent-processes.txt")"
for svc in NrvBrokerAgent KpaSvc zgfx HvrUsbHub; do
  if wine sc query "$svc" </dev/null 2>/dev/null | grep -q STATE; then echo "   service present: $svc"; else echo "   service gone:    $svc"; fi
done
echo "   AppInit_DLLs now:  $(wine reg query 'HKLM\SOFTWARE\Microsoft\Windows NT\CurrentVersion\Windows' /v AppInit_DLLs /reg:64 </dev/null 2>/dev/null | tr -d '\r' | awk '/AppInit_DLLs/ {$1=$2=""; print substr($0,3)}')"
echo "   ProviderOrder now: $(wine reg query 'HKLM\SYSTEM\CurrentControlSet\Control\NetworkProvider\Order' /v ProviderOrder /reg:64 </dev/null 2>/dev/null | tr -d '\r' | awk '/ProviderOrder/ {print $3}')"
if [ "$tree" = build/win64 ]; then
  echo "   (the 64-bit build does not run under WOW64: entries flagged Wow64Redir name C:/Program Files there,"
  echo "    so the copies under Program Files (x86) stay; the 32-bit product removes them)"
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

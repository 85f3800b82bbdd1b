# Sourced by every script that runs Wine: the settings all Wine uses of the
# project share. Usage: . tools/wine-env.sh [PREFIX]
#
# Where 32-bit programs run through qemu-i386 user emulation, the trap-number
# preload library (tools/setup-emulation.sh) is loaded into every process;
# "$LIB" is expanded by each process's own loader, so 64-bit processes load
# the empty x86_64 copy and 32-bit ones the fix.
zra_emu_dir="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)/build/emu"
if [ -f "$zra_emu_dir/lib/i386-linux-gnu/libzra-trapfix.so" ]; then
  case ":${LD_PRELOAD:-}:" in
    *libzra-trapfix.so*) ;;
    *) export LD_PRELOAD="$zra_emu_dir/\$LIB/libzra-trapfix.so${LD_PRELOAD:+:$LD_PRELOAD}" ;;
  esac
fi
unset zra_emu_dir
[ -n "${1:-}" ] && export WINEPREFIX="$1"
export WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d"
unset DISPLAY WAYLAND_DISPLAY

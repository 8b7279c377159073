#!/usr/bin/env bash
# Boots the firmware on the emulated QD520 with the driver's option ROM, to
# look at it and type: OVMF's logo, front page (Esc while the logo shows) and
# UEFI Shell, drawn by the driver. The screen is on VNC, and in a viewer's
# window when there is a display; the serial port (the driver's debug text
# and the shell) is on this terminal. Ctrl-C stops QEMU and the viewer.
#
#   Tools/qemu-look.sh [ROM]      (make qemu [ROM=...])
#
#   ROM   the option ROM on the card (default build/Quandrel520Gop.rom; e.g.
#         build/production/Quandrel520Gop.rom)
#   QD520_LOOK_VIEWER=none   never open a viewer window
#   QD520_LOOK_DIR=DIR       its varstore and logs (default build/qemu-look)
set -uo pipefail

top=$(cd "$(dirname "$0")/.." && pwd)
rom=${1:-$top/build/Quandrel520Gop.rom}
qemu="$top/build/qemu/qemu-system-x86_64"
code=/usr/share/OVMF/OVMF_CODE_4M.fd
run=${QD520_LOOK_DIR:-$top/build/qemu-look}

say() { printf 'qemu: %s\n' "$*" >&2; }

for file in "$qemu" "$rom" "$code"; do
  [ -f "$file" ] || { say "$file is missing (make qemu builds it)"; exit 1; }
done

mkdir -p "$run"
cp -f /usr/share/OVMF/OVMF_VARS_4M.fd "$run/vars.fd"

# The first free VNC display from :0 on, on the loopback interface only.
display=0
while [ "$display" -lt 50 ] && (exec 3<>"/dev/tcp/127.0.0.1/$((5900 + display))") 2>/dev/null; do
  display=$((display + 1))
done
port=$((5900 + display))

# A viewer window where there is a display, installed once if there is none.
viewers=(vncviewer xtightvncviewer gvncviewer)
viewer=
if [ -n "${DISPLAY:-}${WAYLAND_DISPLAY:-}" ] && [ "${QD520_LOOK_VIEWER:-}" != none ]; then
  for candidate in "${viewers[@]}"; do
    command -v "$candidate" >/dev/null && { viewer=$candidate; break; }
  done
  if [ -z "$viewer" ]; then
    say "installing a VNC viewer for the window (tigervnc-viewer; log: $run/apt.log)"
    as_root=(); [ "$(id -u)" -eq 0 ] || as_root=(sudo)
    if "${as_root[@]}" env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends \
         tigervnc-viewer >"$run/apt.log" 2>&1; then
      viewer=vncviewer
    else
      say "no viewer could be installed; connect one to 127.0.0.1:$port yourself"
    fi
  fi
fi

qemu_pid=
viewer_pid=
stop() {
  trap - INT TERM EXIT
  [ -n "$viewer_pid" ] && kill "$viewer_pid" 2>/dev/null
  [ -n "$qemu_pid" ] && kill "$qemu_pid" 2>/dev/null
  wait 2>/dev/null
  say "stopped"
}
trap 'stop; exit 0' INT TERM
trap stop EXIT

say "QD520 with ${rom#"$top"/} under OVMF; screen on VNC at 127.0.0.1:$port (vncviewer 127.0.0.1:$display)"
say "Esc while the logo shows opens the front page; Ctrl-C stops QEMU"

# The serial port on this terminal (a job in the background would read an
# empty file instead), with Ctrl-C as a signal to QEMU.
exec 4<&0
"$qemu" -L /usr/share/qemu -machine q35 -m 256 -nodefaults -vga none \
  -drive if=pflash,format=raw,unit=0,readonly=on,file="$code" \
  -drive if=pflash,format=raw,unit=1,file="$run/vars.fd" \
  -device qd520,romfile="$rom" \
  -display "vnc=127.0.0.1:$display" \
  -chardev stdio,id=serial,signal=on -serial chardev:serial \
  -boot menu=on,splash-time=5000 <&4 &
qemu_pid=$!

if [ -n "$viewer" ]; then
  # The viewer retries until QEMU listens; its window closes with QEMU.
  for _ in $(seq 1 100); do
    (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null && break
    kill -0 "$qemu_pid" 2>/dev/null || break
    sleep 0.1
  done
  "$viewer" "127.0.0.1:$display" >"$run/viewer.log" 2>&1 &
  viewer_pid=$!
fi

wait "$qemu_pid"
status=$?
qemu_pid=
exit "$status"

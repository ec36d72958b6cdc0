#!/usr/bin/env bash
# Runs a shell script inside a small virtual machine with SocketCAN: Debian's kernel (from
# scripts/vm/setup.sh, which must have run) under qemu's software emulation, with the CAN
# modules loaded and two emulated SJA1000 controllers on one emulated CAN bus.
#
#   scripts/vm/run.sh [--share DIR]... [--timeout SECONDS] [--memory MB] SCRIPT [ARGS...]
#
#   --share DIR     DIR appears read-write in the guest at the same absolute path (a virtio-9p
#                   share), so that programs built there, their RPATH $ORIGIN and the files
#                   they find relative to themselves work unchanged. May be repeated.
#   --timeout S     limit on the virtual machine's run, boot included (default 300 s).
#   --memory MB     guest memory (default 768).
#
# The guest sees this machine's /usr read-only at /usr (and /bin, /sbin, /lib, /lib64 as the
# same links into it, as on this merged-/usr Debian; its /etc/ld.so.cache is copied), so every
# installed program and library is there as it is here:
# candump, cansend, j1939acd, testj1939 and the rest of can-utils, iproute2's ip (busybox's
# cannot set a bit rate), bash, and the shared libraries of any program in a shared DIR. This
# is simpler and more robust than copying each program's library closure into the initramfs,
# and keeps the initramfs small (busybox, the modules and a few files), so that it boots fast.
# Busybox's applets come last in PATH (/busybox), for what this machine lacks (poweroff,
# insmod).
#
# In the guest: proc, sys, devtmpfs, devpts, and tmpfs on /tmp, /dev/shm and /run; the user
# "tester" (uid and gid 1000, home /home/tester); the loopback interface up and no other
# interface configured: vcan, vxcan and can0/can1 (the two emulated controllers, kvaser_pci
# driver) are the script's to set up. The helper "as-user CMD [ARGS...]" runs CMD as tester.
# SCRIPT runs as root under "sh -e" with ARGS, standard input from /dev/null, in the current
# directory when the guest has it (inside a share, or on the way to one, where relative paths
# into the share work as here), else in /tmp. It is read from its own absolute path when that
# is inside a share, from a copy in /vm/script otherwise.
#
# The guest's console comes to standard output. When SCRIPT ends the guest prints the marker
# line "VM_SCRIPT_EXIT=N" with its exit status N and powers off; run.sh exits with N. Without
# the marker (timeout, kernel panic, qemu failure) it says so and exits with 125.
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
kernel=$root/build/vm/kernel
timeout=300
memory=768
shares=()
while [ $# -gt 0 ]; do
  case $1 in
    --share) shares+=("$(cd "$2" && pwd)"); shift 2 ;;
    --timeout) timeout=$2; shift 2 ;;
    --memory) memory=$2; shift 2 ;;
    --) shift; break ;;
    -*) echo "vm/run: unknown option $1" >&2; exit 2 ;;
    *) break ;;
  esac
done
[ $# -ge 1 ] || { sed -n '6,8p' "$0" >&2; exit 2; }
script=$(cd "$(dirname "$1")" && pwd)/$(basename "$1"); shift
[ -f "$script" ] || { echo "vm/run: no script $script" >&2; exit 2; }
[ -f "$kernel/vmlinux" ] || { echo "vm/run: no kernel; run scripts/vm/setup.sh first" >&2; exit 2; }

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fs=$work/initramfs
mkdir -p "$fs"/{busybox,vm/bin,etc,proc,sys,dev,tmp,run,usr,root,home}
for d in bin sbin lib lib64; do ln -s "usr/$d" "$fs/$d"; done

cp /usr/bin/busybox "$fs/busybox/busybox"
for applet in $(/usr/bin/busybox --list); do
  [ "$applet" = busybox ] || ln -s busybox "$fs/busybox/$applet"
done
cp "$root/scripts/vm/init" "$fs/init"
cp -r "$kernel/modules" "$fs/vm/modules"
cat >"$fs/vm/bin/as-user" <<'EOF'
#!/bin/sh
# as-user CMD [ARGS...]: runs CMD as the unprivileged user tester (uid 1000), environment kept
# but for HOME, USER and LOGNAME. (util-linux's setpriv: this busybox has no setuidgid.)
HOME=/home/tester USER=tester LOGNAME=tester \
  exec setpriv --reuid=tester --regid=tester --init-groups -- "$@"
EOF
chmod +x "$fs/vm/bin/as-user"

printf '%s\n' 'root:x:0:0:root:/root:/bin/sh' 'tester:x:1000:1000:tester:/home/tester:/bin/sh' \
  >"$fs/etc/passwd"
printf '%s\n' 'root:x:0:' 'tester:x:1000:' >"$fs/etc/group"
printf '%s\n' '127.0.0.1 localhost' '::1 localhost' >"$fs/etc/hosts"
echo vm >"$fs/etc/hostname"
cp /etc/ld.so.cache "$fs/etc/"

# The script: read from its own path when a share or /usr holds it, from a copy in /vm
# otherwise (a copy at its path could be hidden, under /tmp for example). The command line
# that runs it has each argument single-quoted.
guest_script=/vm/script/$(basename "$script")
for d in "${shares[@]}" /usr; do
  case $script in "$d"/*) guest_script=$script ;; esac
done
mkdir -p "$fs/vm/script"
cp "$script" "$fs/vm/script/"
quote() { printf "'%s'" "$(printf '%s' "$1" | sed "s/'/'\\\\''/g")"; }
{
  printf 'set --'
  for a in "$guest_script" "$@"; do printf ' %s' "$(quote "$a")"; done
  echo
  echo "cd $(quote "$PWD") 2>/dev/null || cd /tmp"
} >"$fs/vm/command"

# The shared directories: "TAG PATH" lines the guest mounts, and qemu's options for them.
qemu_shares=(-virtfs "local,path=/usr,mount_tag=usr,security_model=none,readonly=on")
: >"$fs/vm/shares"
for i in "${!shares[@]}"; do
  echo "share$i ${shares[$i]}" >>"$fs/vm/shares"
  qemu_shares+=(-virtfs "local,path=${shares[$i]},mount_tag=share$i,security_model=none")
done

(cd "$fs" && find . | cpio -o -H newc -R 0:0 --quiet) >"$work/initramfs.cpio"

# Two Kvaser PCIcan cards (one SJA1000 each) on one emulated bus: can0 and can1 hear each
# other. Software emulation only: this machine's KVM does not run a guest.
start=$SECONDS
set +e
timeout -k 10 "$timeout" qemu-system-x86_64 \
  -accel tcg -machine pc -smp 2 -m "$memory" \
  -nodefaults -no-user-config -display none -no-reboot \
  -kernel "$kernel/vmlinux" -initrd "$work/initramfs.cpio" \
  -append "console=ttyS0 quiet panic=-1" \
  -serial stdio \
  -object can-bus,id=canbus0 \
  -device kvaser_pci,canbus=canbus0 \
  -device kvaser_pci,canbus=canbus0 \
  "${qemu_shares[@]}" </dev/null 2>&1 | sed -u 's/\r$//' | tee "$work/console"
qemu_status=${PIPESTATUS[0]}
set -e

status=$(sed -n 's/^VM_SCRIPT_EXIT=\([0-9]*\)$/\1/p' "$work/console" | tail -n 1)
if [ -z "$status" ]; then
  if [ "$qemu_status" -eq 124 ]; then
    echo "vm/run: no exit status from the guest: timed out after $timeout s" >&2
  else
    echo "vm/run: no exit status from the guest (qemu exited with $qemu_status; kernel panic?)" >&2
  fi
  exit 125
fi
echo "vm/run: $(basename "$script") exited with $status after $((SECONDS - start)) s"
exit "$status"

#!/usr/bin/env bash
# Prepares the virtual machine that runs the SocketCAN tests (scripts/vm/run.sh): installs
# qemu and the programs the guest borrows from this machine, fetches Debian's current kernel
# package (the one linux-image-amd64 depends on) without installing it, and keeps its kernel
# image and the modules the guest loads in build/vm/kernel. Quick when already done.
# Run as root.
set -euo pipefail
export LC_ALL=C  # the kernel image is searched as bytes
cd "$(dirname "$0")/../.."
vm=$PWD/build/vm

packages=(qemu-system-x86 busybox-static can-utils iproute2 cpio xz-utils)
missing=()
for p in "${packages[@]}"; do
  dpkg -s "$p" >/dev/null 2>&1 || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "== installing: ${missing[*]}"
  apt-get update -q
  DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends "${missing[@]}"
fi

# The kernel package the metapackage points at now and its version, from its Depends line
# "linux-image-6.1.0-57-amd64 (= 6.1.192-3)".
kernel_package() {
  apt-cache show --no-all-versions linux-image-amd64 2>/dev/null |
    sed -n 's/^Depends:.*\(linux-image-[^ ,]*\) (= \([^)]*\)).*/\1 \2/p' | head -n 1
}
read -r pkg version < <(kernel_package) || true
if [ -z "${version:-}" ]; then
  apt-get update -q
  read -r pkg version < <(kernel_package) || true
fi
[ -n "${version:-}" ] || { echo "vm/setup: linux-image-amd64 names no kernel package" >&2; exit 1; }
stamp="$pkg $version"
if [ "$(cat "$vm/kernel/stamp" 2>/dev/null)" = "$stamp" ]; then
  exit 0
fi

deb=$vm/cache/${pkg}_${version//:/%3a}_amd64.deb
if [ ! -f "$deb" ]; then
  echo "== vm: fetching $pkg $version"
  mkdir -p "$vm/cache"
  rm -f "$vm"/cache/*.deb
  (cd "$vm/cache" && { apt-get download "$pkg" || { apt-get update -q && apt-get download "$pkg"; }; })
fi

# Unpack into a scratch directory (about 400 MB), keep what the guest needs, drop the rest.
scratch=$vm/unpack
rm -rf "$scratch" "$vm/kernel.new"
trap 'rm -rf "$scratch" "$vm/kernel.new"' EXIT
dpkg-deb -x "$deb" "$scratch"
mkdir -p "$vm/kernel.new/modules"
# The kernel uncompressed: qemu starts its ELF image directly (PVH entry), where decompressing
# the xz payload of vmlinuz would take the emulated machine about 5 s at each boot. The payload
# starts at the first xz stream header in vmlinuz.
vmlinuz=$(echo "$scratch"/boot/vmlinuz-*)
offset=$(grep -obUaP '\xfd7zXZ\x00' "$vmlinuz" | sed -n '1s/:.*//p')
[ -n "$offset" ] || { echo "vm/setup: $vmlinuz holds no xz payload" >&2; exit 1; }
tail -c +$((offset + 1)) "$vmlinuz" >"$scratch/payload.xz"
xz -dc --single-stream "$scratch/payload.xz" >"$vm/kernel.new/vmlinux"

# The modules, with their dependencies. A module's "depends=" field names what must be loaded
# before it; names are compared with '-' and '_' alike, as the kernel does. Compressed modules
# are decompressed here, since busybox insmod reads plain ones only.
wanted=(
  can can-raw can-bcm can-j1939 can-dev vcan vxcan sja1000
  kvaser_pci      # the driver of qemu's kvaser_pci device (a PLX bridge with one SJA1000)
  virtio_pci 9pnet_virtio 9p   # the shared directories
)
declare -A file_of=()
while IFS= read -r f; do
  name=$(basename "$f"); name=${name%%.ko*}
  file_of[${name//-/_}]=$f
done < <(find "$scratch"/lib/modules -name '*.ko*')

order=()
declare -A seen=()
add() {  # add NAME: its dependencies first, then itself
  local key=${1//-/_} f plain deps d
  [ -z "${seen[$key]:-}" ] || return 0
  seen[$key]=1
  f=${file_of[$key]:-}
  [ -n "$f" ] || { echo "vm/setup: no module $1 in $pkg" >&2; exit 1; }
  plain=$vm/kernel.new/modules/$key.ko
  case $f in
    *.ko.xz) xz -dc "$f" >"$plain" ;;
    *.ko.gz) gzip -dc "$f" >"$plain" ;;
    *) cp "$f" "$plain" ;;
  esac
  deps=$(tr '\0' '\n' <"$plain" | sed -n 's/^depends=//p' | head -n 1)
  for d in ${deps//,/ }; do add "$d"; done
  order+=("$key")
}
for m in "${wanted[@]}"; do add "$m"; done
printf '%s\n' "${order[@]}" >"$vm/kernel.new/modules/order"
echo "$stamp" >"$vm/kernel.new/stamp"

rm -rf "$vm/kernel" "$scratch"
mv "$vm/kernel.new" "$vm/kernel"
echo "== vm: kernel $pkg ready in build/vm/kernel (modules: ${order[*]})"

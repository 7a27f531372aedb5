#!/usr/bin/env bash
# Installs the Debian packages the build and the tests need, only those that are missing.
# Runs `apt-get update` once, and only when something must be installed, so it works offline
# once everything is present.
set -euo pipefail

packages=(
  cmake ninja-build g++ make pkg-config
  libexpat1-dev
  libfftw3-dev
  googletest libgtest-dev libgmock-dev libbenchmark-dev
  clang libclang-rt-14-dev
  clang-format-14  # tools/check-format.sh
  libxml2-utils
  samba-common-bin nbtscan  # name-service peer tests (nmblookup, nbtscan)
  python3-pyvisa python3-pyvisa-py liblxi-dev rpcbind rpcsvc-proto libtirpc-dev iproute2
  dnsmasq-base iputils-arping
  libusbredirparser-dev  # the board's usbredir port
  qemu-system-x86 busybox-static cpio  # the USB peer test's virtual machine and its initramfs
)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done
[ ${#missing[@]} -eq 0 ] && exit 0

echo "installing: ${missing[*]}"
sudo=""
if [ "$(id -u)" -ne 0 ]; then sudo="sudo"; fi
export DEBIAN_FRONTEND=noninteractive
$sudo apt-get update -q
$sudo apt-get install -y -q --no-install-recommends "${missing[@]}"

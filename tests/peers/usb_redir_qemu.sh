#!/bin/bash
# The whole firmware's USB device seen by a real USB host: a QEMU virtual machine running Debian's
# stock kernel, its xHCI controller and a usb-redir device joined to the board's usbredir port. The
# guest's usbtmc driver enumerates the instrument; a small static helper in the guest sends *IDN?,
# reads the status byte, clears the device and asks *IDN? again; then it reads with nothing to read
# (the read times out and its request stays open on the device), clears the device and asks *IDN?
# once more, and times 100 *IDN? round trips, printing each result on the serial console, which this
# script checks (the mean round trip is printed, not judged).
#
# The guest runs twice against the same board: a guest that goes must leave the board serving the next.
#
#   usb_redir_qemu.sh TORVEX_BINARY PROBE_SOURCE CACHE_DIR
#
# The kernel package (the version linux-image-amd64 depends on) is fetched with `apt-get download`
# into CACHE_DIR and unpacked there, never installed; later runs reuse it. Exit 77 (skip) when QEMU,
# busybox-static, a C compiler, cpio or the kernel package cannot be had. The run ends within two
# minutes: QEMU is killed at its limit.
set -u

torvex=$1
probe_source=$2
cache=$3
guest_limit=${USBREDIR_GUEST_LIMIT:-50}  # seconds for each of the virtual machine's two runs

skip() {
  echo "SKIP: $*"
  exit 77
}

for tool in qemu-system-x86_64 gcc cpio gzip dpkg-deb apt-get apt-cache; do
  command -v "$tool" >/dev/null || skip "$tool is missing (tools/install-deps.sh installs qemu-system-x86, cpio)"
done
busybox=/bin/busybox
# The guest has no C library: busybox-static's binary runs there, a dynamic one would not.
if ! [ -x "$busybox" ] || ldd "$busybox" >/dev/null 2>&1; then
  skip "busybox-static is missing (a static /bin/busybox)"
fi

# --- the kernel ----------------------------------------------------------------------------------------
version=$(apt-cache depends linux-image-amd64 2>/dev/null | sed -n 's/^ *Depends: linux-image-\(.*-amd64\)$/\1/p' | head -1)
[ -n "$version" ] || skip "apt does not know linux-image-amd64 (run apt-get update)"
mkdir -p "$cache" || skip "cannot make $cache"
kernel_dir=$cache/linux-image-$version
if ! [ -f "$kernel_dir/.unpacked" ]; then
  (cd "$cache" && apt-get download -q "linux-image-$version" >"$cache/download.log" 2>&1) ||
    skip "cannot download linux-image-$version (no network?): $(tail -1 "$cache/download.log")"
  deb=$(ls "$cache"/linux-image-"$version"_*.deb 2>/dev/null | head -1)
  [ -n "$deb" ] || skip "apt-get download left no package"
  rm -rf "$kernel_dir"
  dpkg-deb -x "$deb" "$kernel_dir" || skip "cannot unpack $deb"
  rm -f "$deb"
  touch "$kernel_dir/.unpacked"
fi
vmlinuz=$kernel_dir/boot/vmlinuz-$version
moddir=$kernel_dir/lib/modules/$version
[ -f "$vmlinuz" ] && [ -f "$moddir/modules.order" ] || skip "the kernel package lacks vmlinuz or modules.order"

# The wanted modules and what they need, each after its dependencies. An unpacked (never installed)
# package has no modules.dep, as depmod writes it at installation: the dependencies come from each
# module's own "depends=" field, and modules.order maps names to files. A module not listed is built in.
declare -A loaded=()
order=()
module_path() {  # module name -> its path under $moddir, or nothing when built in
  local name=${1//-/_}
  awk -v n="$name" '{ f = $1; sub(".*/", "", f); sub("\\.ko.*$", "", f); gsub("-", "_", f); if (f == n) { print $1; exit } }' \
    "$moddir/modules.order"
}
module_depends() {  # path -> the names it depends on
  local file=$moddir/$1
  case "$file" in
    *.xz) xz -dc "$file" ;;
    *.zst) zstd -qdc "$file" ;;
    *.gz) gzip -dc "$file" ;;
    *) cat "$file" ;;
  esac | tr '\0' '\n' | sed -n 's/^depends=//p' | head -1 | tr ',' ' '
}
add_module() {  # module name
  local path dep
  path=$(module_path "$1")
  [ -n "$path" ] || return 0
  [ -n "${loaded[$path]:-}" ] && return 0
  loaded[$path]=1
  for dep in $(module_depends "$path"); do
    add_module "$dep"
  done
  order+=("$path")
}
for m in usb-common usbcore xhci-hcd xhci-pci usbtmc; do
  add_module "$m"
done
[ -n "$(module_path usbtmc)" ] || skip "the kernel package has no usbtmc module"

work=$(mktemp -d)
cleanup() {
  [ -n "${qemu_pid:-}" ] && kill -9 "$qemu_pid" 2>/dev/null
  [ -n "${board_pid:-}" ] && kill -9 "$board_pid" 2>/dev/null
  wait 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT

# --- the initramfs ---------------------------------------------------------------------------------------
initrd_dir=$work/initramfs
mkdir -p "$initrd_dir"/{bin,dev,proc,sys,modules}
cp "$busybox" "$initrd_dir/bin/busybox"
gcc -static -O2 -o "$initrd_dir/bin/usbtmc-probe" "$probe_source" 2>"$work/gcc.log" ||
  skip "cannot build the static helper: $(head -3 "$work/gcc.log")"
: >"$initrd_dir/modules.order"
for p in "${order[@]}"; do
  name=$(basename "$p")
  case "$name" in
    *.ko.xz) xz -dc "$moddir/$p" >"$initrd_dir/modules/${name%.xz}"; name=${name%.xz} ;;
    *.ko.zst) zstd -qdc "$moddir/$p" >"$initrd_dir/modules/${name%.zst}"; name=${name%.zst} ;;
    *.ko.gz) gzip -dc "$moddir/$p" >"$initrd_dir/modules/${name%.gz}"; name=${name%.gz} ;;
    *) cp "$moddir/$p" "$initrd_dir/modules/$name" ;;
  esac
  echo "$name" >>"$initrd_dir/modules.order"
done
cat >"$initrd_dir/init" <<'INIT'
#!/bin/busybox sh
/bin/busybox --install -s /bin
export PATH=/bin
mount -t proc proc /proc
mount -t sysfs sysfs /sys
mount -t devtmpfs devtmpfs /dev
echo "GUEST: loading $(tr '\n' ' ' </modules.order)"
for m in $(cat /modules.order); do
  insmod "/modules/$m" || echo "GUEST: insmod $m failed"
done
i=0
while [ ! -e /dev/usbtmc0 ] && [ $i -lt 600 ]; do
  sleep 0.1
  i=$((i + 1))
done
if [ -e /dev/usbtmc0 ]; then
  for d in /sys/bus/usb/devices/*; do
    [ -f "$d/idVendor" ] && echo "GUEST: usb $(cat "$d/idVendor"):$(cat "$d/idProduct") $(cat "$d/product" 2>/dev/null)"
  done
  /bin/usbtmc-probe /dev/usbtmc0
  echo "GUEST: probe exit $?"
else
  echo "GUEST: no /dev/usbtmc0"
  dmesg | grep -i -E 'usb|xhci' | tail -20
fi
echo "GUEST: done"
poweroff -f
INIT
chmod +x "$initrd_dir/init"
initrd=$work/initrd.gz
(cd "$initrd_dir" && find . | cpio -o -H newc --quiet | gzip -1) >"$initrd" || skip "cannot write the initramfs"

# --- the board -------------------------------------------------------------------------------------------
root=$work/board
"$torvex" --root "$root" --usbredir-port 0 2>"$work/board.log" &
board_pid=$!
port=""
for _ in $(seq 1 300); do
  port=$(sed -n 's/^board: usbredir on 127\.0\.0\.1:\([0-9]*\)$/\1/p' "$work/board.log" | head -1)
  [ -n "$port" ] && grep -q '^board: ready' "$work/board.log" && break
  kill -0 "$board_pid" 2>/dev/null || break
  sleep 0.1
done
if [ -z "$port" ] || ! grep -q '^board: ready' "$work/board.log"; then
  echo "FAIL: the board did not come up with its usbredir port"
  cat "$work/board.log"
  exit 1
fi
echo "board ready, usbredir on 127.0.0.1:$port; guest kernel $version with ${#order[@]} modules"

# --- the guest, twice: the second connection must find the board as the first left it ----------------
run_guest() {  # console file
  local console=$1 start
  qemu-system-x86_64 -accel tcg -m 256 -nographic -no-reboot \
    -kernel "$vmlinuz" -initrd "$initrd" -append "console=ttyS0 panic=-1 loglevel=4" \
    -device qemu-xhci -chardev socket,id=usbredir0,host=127.0.0.1,port="$port" \
    -device usb-redir,chardev=usbredir0 </dev/null >"$console.raw" 2>&1 &
  qemu_pid=$!
  start=$(date +%s)
  while kill -0 "$qemu_pid" 2>/dev/null; do
    grep -q '^GUEST: done' "$console.raw" && break
    if [ $(($(date +%s) - start)) -ge "$guest_limit" ]; then
      echo "guest still running after ${guest_limit} s: killed"
      break
    fi
    sleep 0.5
  done
  kill -9 "$qemu_pid" 2>/dev/null
  wait "$qemu_pid" 2>/dev/null
  qemu_pid=""
  tr -d '\r' <"$console.raw" >"$console"
  echo "--- guest console, run $2 ($(($(date +%s) - start)) s) ---"
  grep -E '^(GUEST|IDN|STB|CLEAR|IDN-AFTER-CLEAR|EMPTY-READ|CLEAR-AFTER-EMPTY-READ|IDN-AFTER-EMPTY-READ|IDN-MEAN|ERROR):' "$console"
}

status=0
check() {  # description, test
  if eval "$2"; then echo "PASS $1"; else echo "FAIL $1"; status=1; fi
}
check_guest() {  # console file, run
  local console=$1 idn idn_after idn_after_empty
  idn=$(sed -n 's/^IDN: //p' "$console" | head -1)
  idn_after=$(sed -n 's/^IDN-AFTER-CLEAR: //p' "$console" | head -1)
  idn_after_empty=$(sed -n 's/^IDN-AFTER-EMPTY-READ: //p' "$console" | head -1)
  check "run $2: *IDN? answered over the guest's usbtmc driver: $idn" '[ "$(echo "$idn" | tr -cd , | wc -c)" -ge 3 ]'
  check "run $2: status byte read" 'grep -Eq "^STB: [0-9]+$" "$console"'
  check "run $2: device clear" 'grep -q "^CLEAR: ok$" "$console"'
  check "run $2: *IDN? after the clear gives the same identity" '[ -n "$idn_after" ] && [ "$idn_after" = "$idn" ]'
  check "run $2: a read with nothing to read times out" 'grep -q "^EMPTY-READ: timed out$" "$console"'
  check "run $2: the clear after it ends the open request" 'grep -q "^CLEAR-AFTER-EMPTY-READ: ok$" "$console"'
  check "run $2: *IDN? after that clear gives the same identity" \
    '[ -n "$idn_after_empty" ] && [ "$idn_after_empty" = "$idn" ]'
  check "run $2: 100 *IDN? round trips through /dev/usbtmc0, mean $(sed -n 's/^IDN-MEAN: //p' "$console" | head -1)" \
    'grep -Eq "^IDN-MEAN: [0-9]+ us over 100 round trips$" "$console"'
}

run_guest "$work/console1.txt" 1
check_guest "$work/console1.txt" 1
check "the board still runs after the guest left" 'kill -0 "$board_pid" 2>/dev/null'
run_guest "$work/console2.txt" 2
check_guest "$work/console2.txt" 2
# The guest's BIOS resets the device and enumerates it, then Linux does again.
check "the guests reset the device more than once per run ($(grep -c 'usbredir: bus reset by the guest' "$work/board.log") resets)" \
  '[ "$(grep -c "usbredir: bus reset by the guest" "$work/board.log")" -ge 4 ]'
check "the board announced the device to each connection" \
  '[ "$(grep -c "usbredir: device .* announced" "$work/board.log")" -eq 2 ]'
check "the board still runs after the second guest left" 'kill -0 "$board_pid" 2>/dev/null'
echo "--- board usbredir log ---"
grep 'usbredir' "$work/board.log" | uniq -c
if [ $status -ne 0 ]; then
  for c in "$work"/console*.txt; do
    echo "--- $c ---"
    tail -60 "$c"
  done
  echo "--- board log ---"
  tail -40 "$work/board.log"
fi
exit $status

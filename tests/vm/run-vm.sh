#!/bin/bash
# Boots the project's programs in a small Linux guest under QEMU (software
# emulation, no KVM needed): the daemon against the kernel's real /dev/psaux
# with a button press injected through QEMU's monitor, and the test suite of
# an i386 build on a 32-bit kernel.
#
#   run-vm.sh prepare [i386|amd64]
#       Installs QEMU, the multilib compiler and cpio when missing and fetches
#       the Debian kernel image into the cache (vmlinuz and psmouse.ko only).
#   run-vm.sh daemon [options] BUILD_DIR
#       Runs BUILD_DIR/mox2-daemon in the guest and prints its output.
#       --arch i386|amd64     guest kernel (default i386)
#       --button left|right|middle|none   press injected after the daemon
#                             has opened /dev/psaux (default none)
#       --delay-ms N          wait N ms after the open before pressing
#       --expect left|right|middle|none   check the output and exit status
#   run-vm.sh suite BUILD_DIR
#       Runs every program listed in BUILD_DIR/vm-tests.list in the guest
#       and stores each one's output and status in BUILD_DIR/vm/results/.
#   run-vm.sh result BUILD_DIR NAME
#       Prints the stored output of NAME and exits with its guest status.
#
# Environment: MOX_VM_CACHE (default /var/cache/mox-vm) holds the kernels;
# MOX_VM_TIMEOUT bounds one boot in seconds (default 120 for the daemon,
# 900 for the suite).
set -euo pipefail

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
cache=${MOX_VM_CACHE:-/var/cache/mox-vm}
marker='@@MOX'

die() { echo "run-vm: $*" >&2; exit 2; }
note() { echo "run-vm: $*" >&2; }

kernel_flavour() { # arch -> Debian kernel flavour and package architecture
    case $1 in
    i386) echo "686 i386" ;;
    amd64) echo "amd64 amd64" ;;
    *) die "unknown guest architecture '$1' (i386 or amd64)" ;;
    esac
}

need_packages() {
    local missing=() p
    for p in "$@"; do
        dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
    done
    ((${#missing[@]} == 0)) && return 0
    note "installing ${missing[*]}"
    apt_updated
    DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends "${missing[@]}" >&2
}

apt_done=
apt_updated() {
    [[ -n $apt_done ]] && return 0
    apt-get update -q >&2
    apt_done=1
}

# The versioned kernel image package the metapackage depends on, or nothing.
kernel_package() {
    { apt-cache depends "$1" 2>/dev/null || true; } |
        sed -n 's/^ *Depends: \(linux-image-[0-9][^:]*\).*/\1/p' | head -n1
}

# Leaves $cache/<arch>/vmlinuz and, when the kernel has it as a module,
# $cache/<arch>/psmouse.ko. The version comes from the flavour's metapackage,
# so the cache follows the archive; an existing cache is kept as it is.
prepare() {
    local arch=$1 flavour pkgarch dir meta image deb tmp ko
    read -r flavour pkgarch <<<"$(kernel_flavour "$arch")"
    need_packages qemu-system-x86 cpio
    [[ $arch == i386 ]] && need_packages gcc-multilib g++-multilib googletest
    dir=$cache/$arch
    if [[ -s $dir/vmlinuz ]]; then
        return 0
    fi
    if [[ $pkgarch != "$(dpkg --print-architecture)" ]] &&
        ! dpkg --print-foreign-architectures | grep -qx "$pkgarch"; then
        note "adding the $pkgarch package architecture"
        dpkg --add-architecture "$pkgarch"
        apt_done=
    fi
    meta="linux-image-$flavour:$pkgarch"
    image=$(kernel_package "$meta")
    if [[ -z $image ]]; then
        apt_updated
        image=$(kernel_package "$meta")
    fi
    [[ -n $image ]] || die "cannot resolve the kernel package behind $meta"
    note "fetching $image:$pkgarch"
    mkdir -p "$cache"
    tmp=$(mktemp -d "$cache/.fetch.XXXXXX")
    if ! (cd "$tmp" && apt-get download -q -o APT::Sandbox::User=root "$image:$pkgarch" >&2); then
        apt_updated
        (cd "$tmp" && apt-get download -q -o APT::Sandbox::User=root "$image:$pkgarch" >&2) || { rm -rf "$tmp"; die "download of $image failed"; }
    fi
    deb=$(ls "$tmp"/*.deb)
    note "$(basename "$deb"): $(du -k "$deb" | cut -f1) KiB"
    dpkg -x "$deb" "$tmp/x"
    mkdir -p "$tmp/keep"
    cp "$tmp"/x/boot/vmlinuz-* "$tmp/keep/vmlinuz"
    ko=$(find "$tmp/x/lib/modules" -name 'psmouse.ko*' | head -n1)
    if [[ -n $ko ]]; then
        case $ko in
        *.ko) cp "$ko" "$tmp/keep/psmouse.ko" ;;
        *.ko.xz) xz -dc "$ko" >"$tmp/keep/psmouse.ko" ;;
        *.ko.zst) zstd -qdc "$ko" >"$tmp/keep/psmouse.ko" ;;
        *.ko.gz) gzip -dc "$ko" >"$tmp/keep/psmouse.ko" ;;
        esac
    fi
    echo "$image" >"$tmp/keep/package"
    rm -rf "$dir"
    mv "$tmp/keep" "$dir"
    rm -rf "$tmp"
    note "cached $image in $dir"
}

# Compiles the guest's /init for arch into $1.
build_init() {
    local arch=$1 out=$2 m=
    [[ $arch == i386 ]] && m=-m32
    ${CC:-cc} $m -static -O2 -Wall -Wextra -o "$out" "$here/init.c"
}

# Copies a program into the guest root at the same absolute path, with the
# shared libraries it needs when it is not static (a native amd64 build).
add_program() {
    local root=$1 path=$2 lib
    [[ -f $path ]] || die "missing program $path"
    mkdir -p "$root$(dirname "$path")"
    cp -L "$path" "$root$path"
    if ldd "$path" >/dev/null 2>&1; then
        for lib in $(ldd "$path" | grep -o '/[^ ]*'); do
            [[ -e $root$lib ]] && continue
            mkdir -p "$root$(dirname "$lib")"
            cp -L "$lib" "$root$lib"
        done
    fi
}

# Fails unless the file is an ELF program of the word size that arch runs.
check_elf() {
    local arch=$1 path=$2 want class
    [[ $arch == i386 ]] && want=1 || want=2
    class=$(od -An -j4 -N1 -tu1 "$path" | tr -d ' ')
    [[ $(head -c4 "$path" | od -An -c | tr -d ' ') == '177ELF' ]] || die "$path is not an ELF program"
    [[ $class == "$want" ]] || die "$path is not built for $arch (ELF class $class): use the matching build"
}

# The minimal /etc that lets programs look up root and nobody.
add_etc() {
    local root=$1
    mkdir -p "$root/etc" "$root/root"
    printf 'root:x:0:0:root:/root:/bin/sh\nnobody:x:65534:65534:nobody:/nonexistent:/usr/sbin/nologin\n' >"$root/etc/passwd"
    printf 'root:x:0:\ntty:x:5:\nnogroup:x:65534:\n' >"$root/etc/group"
    printf 'passwd: files\ngroup: files\n' >"$root/etc/nsswitch.conf"
}

# boot ARCH ROOT WORK LIMIT_S MEM_MB BUTTON DELAY_MS
# Packs ROOT into an initramfs and boots it; the console goes to
# WORK/serial.log (carriage returns removed). When BUTTON (a QEMU
# mouse_button mask) is non-zero it is pressed DELAY_MS after the guest
# announces "@@MOX OPENED", and released 100 ms later. Sets boot_ms and
# boot_rc (QEMU's status, 124 on time-out).
boot() {
    local arch=$1 root=$2 work=$3 limit=$4 mem=$5 button=$6 delay=$7
    local qemu kernel mfd catpid start line
    case $arch in
    i386) qemu="qemu-system-i386" ;;
    amd64) qemu="qemu-system-x86_64" ;;
    esac
    kernel=$cache/$arch/vmlinuz
    [[ -s $kernel ]] || die "no kernel in $cache/$arch: run '$0 prepare $arch'"
    [[ -f $cache/$arch/psmouse.ko ]] && cp "$cache/$arch/psmouse.ko" "$root/psmouse.ko"
    (cd "$root" && find . -mindepth 1 | LC_ALL=C sort | cpio -o -H newc --quiet) >"$work/initrd.cpio"
    rm -f "$work/mon.in" "$work/mon.out" "$work/serial.log"
    mkfifo "$work/mon.in" "$work/mon.out"
    exec {mfd}<>"$work/mon.in"
    # The monitor stalls when nobody reads what it says: drain it all along.
    cat "$work/mon.out" >"$work/monitor.log" &
    catpid=$!
    : >"$work/serial.log"
    start=$(date +%s%N)
    set +e
    timeout -k 5 "$limit" "$qemu" -machine pc -accel tcg -m "$mem" -display none -vga none \
        -nic none -no-reboot -kernel "$kernel" -initrd "$work/initrd.cpio" \
        -append "console=ttyS0 panic=-1 quiet loglevel=3 psmouse.proto=bare" \
        -serial stdio -monitor "pipe:$work/mon" </dev/null 2>"$work/qemu.err" |
        while IFS= read -r line || [[ -n $line ]]; do
            line=${line%$'\r'}
            printf '%s\n' "$line" >>"$work/serial.log"
            if [[ $button != 0 && $line == "$marker OPENED "* ]]; then
                ((delay > 0)) && sleep "$(printf '%d.%03d' $((delay / 1000)) $((delay % 1000)))"
                printf 'mouse_button %d\n' "$button" >&"$mfd"
                sleep 0.1
                printf 'mouse_button 0\n' >&"$mfd"
                printf '@@HOST pressed mouse_button %d, released\n' "$button" >>"$work/serial.log"
            fi
        done
    boot_rc=${PIPESTATUS[0]}
    set -e
    boot_ms=$((($(date +%s%N) - start) / 1000000))
    exec {mfd}>&-
    kill "$catpid" 2>/dev/null || true
    wait "$catpid" 2>/dev/null || true
    rm -f "$work/mon.in" "$work/mon.out"
    if ((boot_rc == 124 || boot_rc == 137)); then
        note "the guest did not power off within ${limit} s"
    elif ((boot_rc != 0)); then
        note "$qemu ended with status $boot_rc: $(tail -n 5 "$work/qemu.err")"
    fi
}

# hex_of NAME KIND -> the hexadecimal line the guest printed (KIND OUT/ERR)
hex_of() {
    sed -n "s/^$marker HEX-$2 $1 //p" "$work/serial.log" | tail -n1
}

tohex() { od -An -v -tx1 | tr -d ' \n'; }

cmd_daemon() {
    local arch=i386 button=none delay=0 expect='' build code want got status ms bad=0
    while (($#)); do
        case $1 in
        --arch) arch=$2; shift 2 ;;
        --button) button=$2; shift 2 ;;
        --delay-ms) delay=$2; shift 2 ;;
        --expect) expect=$2; shift 2 ;;
        -*) die "unknown option $1" ;;
        *) build=$1; shift ;;
        esac
    done
    [[ -n ${build:-} ]] || die "usage: run-vm.sh daemon [--arch A] [--button B] [--delay-ms N] [--expect B] BUILD_DIR"
    case $button in
    none) code=0 ;; left) code=1 ;; right) code=2 ;; middle) code=4 ;;
    *) die "unknown button '$button'" ;;
    esac
    build=$(cd "$build" && pwd)
    prepare "$arch"
    check_elf "$arch" "$build/mox2-daemon"
    work=$build/vm/daemon-$arch-$button
    rm -rf "$work"
    mkdir -p "$work/root/mox" "$work/root/bin"
    build_init "$arch" "$work/root/init"
    add_program "$work/root" "$build/mox2-daemon"
    add_etc "$work/root"
    printf 'mox2-daemon\t30\twatch=/dev/psaux,split,hex\t%s\n' "$build/mox2-daemon" >"$work/root/mox/run.list"
    boot "$arch" "$work/root" "$work" "${MOX_VM_TIMEOUT:-120}" 256 "$code" "$delay"

    echo "== guest console ($arch kernel, button $button, $boot_ms ms boot to power-off)"
    grep -v "^$marker HEX-" "$work/serial.log" || true
    status=$(sed -n "s/^$marker STATUS mox2-daemon //p" "$work/serial.log" | tail -n1)
    got=$(hex_of mox2-daemon OUT)
    echo "== mox2-daemon standard output, exact bytes: $got"
    echo "== mox2-daemon standard error, exact bytes: $(hex_of mox2-daemon ERR)"
    echo "== mox2-daemon ended: ${status:-never ran}"
    [[ -n $expect ]] || { [[ -n $status ]] && return 0 || return 1; }

    # With standard output a file, the button line (written at once) comes
    # before the probe lines (buffered until the process ends).
    case $expect in
    none) want='' ;; left) want='left!\n' ;; right) want='right!\n' ;; middle) want='middle!\n' ;;
    *) die "unknown expectation '$expect'" ;;
    esac
    want=$(printf '%b' "${want}RX: 0xfa\\nST: 0xfa\\nDI: 0\\n" | tohex)
    if [[ $got != "$want" ]]; then
        echo "FAIL: standard output differs; expected bytes: $want"
        bad=1
    fi
    if [[ -n $(hex_of mox2-daemon ERR) ]]; then
        echo "FAIL: the daemon wrote to standard error"
        bad=1
    fi
    ms=${status##*ms=}
    if [[ ${status%% *} != exit=1 ]]; then
        echo "FAIL: exit status is '${status:-none}', expected exit=1"
        bad=1
    elif ((ms > 10000)); then
        echo "FAIL: the daemon took $ms ms; its packet wait is 5 s"
        bad=1
    fi
    ((bad == 0)) && echo "PASS: button $button -> expected output and exit status 1 ($ms ms in the guest)"
    return $bad
}

# The suite: BUILD/vm-tests.list holds the guest's run list, one test
# program a line with absolute paths; BUILD/vm-files.list names further
# programs of the build that tests run by path (the daemon, helpers).
cmd_suite() {
    local build=${1:?usage: run-vm.sh suite BUILD_DIR} arch=i386 path name results n=0 failed=0 st
    build=$(cd "$build" && pwd)
    [[ -f $build/vm-tests.list ]] || die "$build/vm-tests.list missing: configure with the i386 preset"
    prepare "$arch"
    work=$build/vm/suite
    results=$build/vm/results
    rm -rf "$work" "$results"
    mkdir -p "$work/root/mox" "$results"
    build_init "$arch" "$work/root/init"
    add_etc "$work/root"
    cp "$build/vm-tests.list" "$work/root/mox/run.list"
    while IFS=$'\t' read -r path; do
        [[ -n $path ]] || continue
        check_elf "$arch" "$path"
        add_program "$work/root" "$path"
    done < <(cut -f4 "$build/vm-tests.list"; cat "$build/vm-files.list" 2>/dev/null || true)
    note "initramfs: $(du -sk "$work/root" | cut -f1) KiB of programs"
    boot "$arch" "$work/root" "$work" "${MOX_VM_TIMEOUT:-900}" 512 0 0

    # Split the console into one output file and one status file per program.
    awk -v dir="$results" -v m="$marker" '
        $1 == m && $2 == "OUT" { name = $3; file = dir "/" name ".out"; printf "" > file; next }
        $1 == m && $2 == "STATUS" { print $4 " " $5 > (dir "/" $3 ".status"); close(dir "/" $3 ".status"); file = ""; next }
        $1 == m && $2 == "BEGIN" { file = ""; next }
        file != "" { print > file }
    ' "$work/serial.log"
    echo "== i386 guest: $boot_ms ms boot to power-off"
    grep "^$marker \(INIT\|MOUSE\|NOTE\|DONE\)" "$work/serial.log" || true
    while IFS=$'\t' read -r name _; do
        [[ -n $name && $name != \#* ]] || continue
        n=$((n + 1))
        st=$(cat "$results/$name.status" 2>/dev/null || echo "did-not-run")
        [[ $st == exit=0\ * ]] || failed=$((failed + 1))
        printf '%-24s %-22s %s\n' "$name" "$st" \
            "$(grep -h '^\[  \(PASSED\|SKIPPED\|FAILED\) *\] [0-9]' "$results/$name.out" 2>/dev/null | tr -s ' \n' ' ')"
    done <"$build/vm-tests.list"
    echo "== $((n - failed)) of $n test programs passed in the guest"
    grep -q "^$marker DONE" "$work/serial.log" || { echo "the guest did not finish its list"; return 1; }
}

cmd_result() {
    local build=${1:?usage: run-vm.sh result BUILD_DIR NAME} name=${2:?} st
    local results=$build/vm/results
    if [[ ! -f $results/$name.status ]]; then
        echo "$name: no result from the guest (did the suite boot run? see $build/vm/suite/serial.log)"
        return 1
    fi
    cat "$results/$name.out" 2>/dev/null || true
    st=$(cat "$results/$name.status")
    echo "== $name in the i386 guest: $st"
    # The guest's exit status becomes this one (a skip code passes through);
    # a signal or a time-out is a failure.
    case $st in
    exit=*) return "$(st=${st#exit=} && echo "${st%% *}")" ;;
    *) return 1 ;;
    esac
}

case ${1:-} in
prepare) prepare "${2:-i386}" ;;
daemon) shift; cmd_daemon "$@" ;;
suite) shift; cmd_suite "$@" ;;
result) shift; cmd_result "$@" ;;
*) die "usage: run-vm.sh prepare|daemon|suite|result ..." ;;
esac

#!/bin/bash
# Boots the project's programs in a small Linux guest under QEMU (software
# emulation, no KVM needed): the daemon against the kernel's real /dev/psaux
# with a button press injected through QEMU's monitor, the test suite of an
# i386 build on a 32-bit kernel, and test programs of the native build in an
# amd64 guest with input devices, udev and libinput.
#
#   run-vm.sh prepare [i386|amd64]
#       Installs QEMU, cpio and the compilers or libraries the guests need
#       when missing and fetches the Debian kernel image into the cache
#       (vmlinuz and psmouse.ko; for amd64 also evdev.ko and uinput.ko, and
#       Debian's udev unpacked with a hardware database).
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
#   run-vm.sh guest [options] BUILD_DIR PROGRAM [ARG...]
#       Boots the amd64 test guest once and runs PROGRAM (a native program)
#       with ARGS as root in it, after udev has settled; prints the guest's
#       notes, the monitor commands it had carried out and the program's
#       output, and exits with the program's status (77 passes as a skip; 1
#       for a time-out, a signal or a guest that never ran it). The program,
#       each extra file and their shared libraries sit at the same absolute
#       paths in the guest; the work folder is BUILD_DIR/vm/guest-NAME. Exits
#       with 77 when the guest is not prepared.
#       --timeout S           the program's time limit (default 300)
#       --file PATH           a further program (with its libraries) or a
#                             folder to copy in; repeatable
#       --env NAME=VALUE      added to the program's environment; repeatable
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

# Kernel modules the amd64 test guest loads, each after the modules it
# depends on: event devices, virtual input devices, QEMU's PS/2 mouse.
guest_modules=(evdev uinput psmouse)

# unpack_module FILE OUT: a kernel module, decompressed whatever its packing.
unpack_module() {
    case $1 in
    *.ko) cp "$1" "$2" ;;
    *.ko.xz) xz -dc "$1" >"$2" ;;
    *.ko.zst) zstd -qdc "$1" >"$2" ;;
    *.ko.gz) gzip -dc "$1" >"$2" ;;
    *) die "unknown module packing: $1" ;;
    esac
}

# module_depends KO TMP: the names of the modules KO needs loaded first, from
# the "depends=" entry of its .modinfo section (the package has no
# modules.dep: depmod writes it on installation).
module_depends() {
    objcopy -O binary --only-section=.modinfo "$1" "$2/modinfo" || die "cannot read the .modinfo of $1"
    tr '\0' '\n' <"$2/modinfo" | sed -n 's/^depends=//p' | tr ',' ' '
}

# keep_modules TREE KEEP NAME...: each module named and what it depends on,
# decompressed into KEEP/modules, with their load order in KEEP/modules.list.
# A module the kernel has built in is left out.
keep_modules() {
    local tree=$1 keep=$2 name
    shift 2
    local -A seen=()
    local order=()
    mkdir -p "$keep/modules"
    keep_one() {
        local mod=${1//-/_} ko dep
        [[ -n ${seen[$mod]:-} ]] && return 0
        seen[$mod]=1
        ko=$(find "$tree/lib/modules" \( -name "$mod.ko*" -o -name "${mod//_/-}.ko*" \) | head -n1)
        if [[ -z $ko ]]; then
            grep -qE "/(${mod}|${mod//_/-})\.ko\$" "$tree"/lib/modules/*/modules.builtin ||
                die "module $mod is neither in the kernel package nor built in"
            return 0
        fi
        unpack_module "$ko" "$keep/modules/$mod.ko"
        for dep in $(module_depends "$keep/modules/$mod.ko" "$keep"); do
            keep_one "$dep"
        done
        order+=("$mod.ko")
    }
    for name in "$@"; do
        keep_one "$name"
    done
    rm -f "$keep/modinfo"
    printf '%s\n' "${order[@]}" >"$keep/modules.list"
}

# fetch_deb PACKAGE DIR: downloads one package file into DIR.
fetch_deb() {
    if ! (cd "$2" && apt-get download -q -o APT::Sandbox::User=root "$1" >&2); then
        apt_updated
        (cd "$2" && apt-get download -q -o APT::Sandbox::User=root "$1" >&2)
    fi
}

# True when the cache of arch holds all that its guests need: the kernel,
# and for amd64 its modules and udev as well.
cache_complete() {
    local dir=$cache/$1
    [[ -s $dir/vmlinuz ]] || return 1
    [[ $1 == amd64 ]] || return 0
    [[ -s $dir/modules.list && -x $dir/udev/usr/bin/udevadm ]]
}

# Leaves $cache/<arch>/vmlinuz and, when the kernel has it as a module,
# $cache/<arch>/psmouse.ko; for amd64 also the modules of guest_modules in
# $cache/amd64/modules (load order in modules.list) and udev in
# $cache/amd64/udev. The version comes from the flavour's metapackage, so the
# cache follows the archive; a complete cache is kept as it is.
prepare() {
    local arch=$1 flavour pkgarch dir
    read -r flavour pkgarch <<<"$(kernel_flavour "$arch")"
    need_packages qemu-system-x86 cpio
    if [[ $arch == i386 ]]; then
        need_packages gcc-multilib g++-multilib googletest
    else
        need_packages binutils libevdev-dev libinput-dev libudev-dev libinput-bin libwacom-common
    fi
    dir=$cache/$arch
    cache_complete "$arch" && return 0
    if [[ $pkgarch != "$(dpkg --print-architecture)" ]] &&
        ! dpkg --print-foreign-architectures | grep -qx "$pkgarch"; then
        note "adding the $pkgarch package architecture"
        dpkg --add-architecture "$pkgarch"
        apt_done=
    fi
    mkdir -p "$cache"
    if [[ ! -s $dir/vmlinuz || ($arch == amd64 && ! -s $dir/modules.list) ]]; then
        fetch_kernel "$arch" "$flavour" "$pkgarch"
    fi
    if [[ $arch == amd64 && ! -x $dir/udev/usr/bin/udevadm ]]; then
        fetch_udev "$arch" "$pkgarch"
    fi
}

fetch_kernel() {
    local arch=$1 flavour=$2 pkgarch=$3 dir=$cache/$1 meta image deb tmp ko udev
    meta="linux-image-$flavour:$pkgarch"
    image=$(kernel_package "$meta")
    if [[ -z $image ]]; then
        apt_updated
        image=$(kernel_package "$meta")
    fi
    [[ -n $image ]] || die "cannot resolve the kernel package behind $meta"
    note "fetching $image:$pkgarch"
    tmp=$(mktemp -d "$cache/.fetch.XXXXXX")
    fetch_deb "$image:$pkgarch" "$tmp" || { rm -rf "$tmp"; die "download of $image failed"; }
    deb=$(ls "$tmp"/*.deb)
    note "$(basename "$deb"): $(du -k "$deb" | cut -f1) KiB"
    dpkg -x "$deb" "$tmp/x"
    mkdir -p "$tmp/keep"
    cp "$tmp"/x/boot/vmlinuz-* "$tmp/keep/vmlinuz"
    ko=$(find "$tmp/x/lib/modules" -name 'psmouse.ko*' | head -n1)
    [[ -n $ko ]] && unpack_module "$ko" "$tmp/keep/psmouse.ko"
    [[ $arch == amd64 ]] && keep_modules "$tmp/x" "$tmp/keep" "${guest_modules[@]}"
    echo "$image" >"$tmp/keep/package"
    # udev is independent of the kernel: keep it across a kernel update.
    udev=
    if [[ -d $dir/udev ]]; then
        udev=$(mktemp -d "$cache/.udev.XXXXXX")
        mv "$dir/udev" "$udev/"
    fi
    rm -rf "$dir"
    mv "$tmp/keep" "$dir"
    [[ -n $udev ]] && mv "$udev/udev" "$dir/" && rmdir "$udev"
    rm -rf "$tmp"
    note "cached $image in $dir"
}

# Debian's udev, unpacked from its package rather than installed: installing
# it would start udevd on this machine and create device nodes in its /dev.
# udevadm (which is also systemd-udevd) needs only common libraries, which
# the guest takes from this machine. The tree is kept in the merged-/usr
# layout the guest has, with a hardware database built from the package's
# sources (all but the large vendor and class name lists, 20-*) and this
# machine's (libwacom's tablets).
fetch_udev() {
    local arch=$1 pkgarch=$2 dir=$cache/$1 version tmp deb f
    tmp=$(mktemp -d "$cache/.fetch.XXXXXX")
    # The same version as this machine's libudev when the archive has it.
    version=$(dpkg-query -W -f='${Version}' "libudev1:$pkgarch" 2>/dev/null || true)
    note "fetching udev:$pkgarch"
    if ! { [[ -n $version ]] && fetch_deb "udev:$pkgarch=$version" "$tmp"; }; then
        fetch_deb "udev:$pkgarch" "$tmp" || { rm -rf "$tmp"; die "download of udev failed"; }
    fi
    deb=$(ls "$tmp"/*.deb)
    dpkg -x "$deb" "$tmp/x"
    mkdir -p "$tmp/keep/usr/bin" "$tmp/keep/usr/lib/systemd" "$tmp/keep/usr/lib/udev" \
        "$tmp/keep/etc/udev" "$tmp/hw/lib/udev/hwdb.d"
    cp -a "$tmp/x/bin/udevadm" "$tmp/keep/usr/bin/"
    cp -a "$tmp/x/lib/systemd/systemd-udevd" "$tmp/keep/usr/lib/systemd/"
    cp -a "$tmp/x/lib/udev/rules.d" "$tmp/keep/usr/lib/udev/"
    for f in "$tmp"/x/lib/udev/*; do
        [[ -f $f && -x $f ]] && cp -a "$f" "$tmp/keep/usr/lib/udev/"
    done
    cp -a "$tmp/x/etc/udev/udev.conf" "$tmp/keep/etc/udev/"
    for f in "$tmp"/x/lib/udev/hwdb.d/*.hwdb /usr/lib/udev/hwdb.d/*.hwdb; do
        [[ -f $f && $(basename "$f") != 20-* ]] && cp "$f" "$tmp/hw/lib/udev/hwdb.d/"
    done
    "$tmp/x/bin/systemd-hwdb" --root="$tmp/hw" update --usr ||
        { rm -rf "$tmp"; die "cannot build the hardware database"; }
    cp "$tmp/hw/lib/udev/hwdb.bin" "$tmp/keep/usr/lib/udev/"
    basename "$deb" .deb >"$tmp/keep/package"
    mkdir -p "$dir"
    rm -rf "$dir/udev"
    mv "$tmp/keep" "$dir/udev"
    rm -rf "$tmp"
    note "cached $(cat "$dir/udev/package") in $dir/udev"
}

# Compiles the guest's /init for arch into $1.
build_init() {
    local arch=$1 out=$2 m=
    [[ $arch == i386 ]] && m=-m32
    ${CC:-cc} $m -static -O2 -Wall -Wextra -o "$out" "$here/init.c"
}

# add_libs ROOT FILE: the shared libraries that FILE (a program or library
# of this machine's architecture) needs, copied from this machine into the
# guest root at the same absolute paths; nothing for a static program or a
# script.
add_libs() {
    local root=$1 path=$2 lib
    ldd "$path" >/dev/null 2>&1 || return 0
    for lib in $(ldd "$path" | grep -o '/[^ ]*'); do
        [[ -e $root$lib ]] && continue
        mkdir -p "$root$(dirname "$lib")"
        cp -L "$lib" "$root$lib"
    done
}

# Copies a program into the guest root at the same absolute path, with the
# shared libraries it needs when it is not static (a native amd64 build).
add_program() {
    local root=$1 path=$2
    [[ -f $path ]] || die "missing program $path"
    mkdir -p "$root$(dirname "$path")"
    cp -L "$path" "$root$path"
    add_libs "$root" "$path"
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

# True when the guest may have CMD carried out by QEMU's monitor: mouse
# motion (with the wheel as the third number), buttons and keys only. The
# console line is the guest's to write, and the monitor could also stop,
# reset or reconfigure the machine.
monitor_allowed() {
    [[ $1 =~ ^mouse_move\ -?[0-9]{1,5}\ -?[0-9]{1,5}(\ -?[0-9]{1,5})?$ ||
        $1 =~ ^mouse_button\ [0-9]{1,2}$ ||
        $1 =~ ^sendkey\ [a-z0-9_]+(-[a-z0-9_]+)*(\ [0-9]{1,4})?$ ]]
}

# boot ARCH ROOT WORK LIMIT_S MEM_MB BUTTON DELAY_MS [KERNEL_ARGS]
# Packs ROOT into an initramfs and boots it; the console goes to
# WORK/serial.log (carriage returns removed). When BUTTON (a QEMU
# mouse_button mask) is non-zero it is pressed DELAY_MS after the guest
# announces "@@MOX OPENED", and released 100 ms later. While a program of
# the run list runs (from "@@MOX BEGIN" to its "@@MOX OUT"), each line
# "@@MOX MONITOR COMMAND" it writes to the console has COMMAND carried out by
# the monitor when monitor_allowed; the monitor's answers go to
# WORK/monitor.log. KERNEL_ARGS are added to the kernel's command line. Sets
# boot_ms and boot_rc (QEMU's status, 124 on time-out).
boot() {
    local arch=$1 root=$2 work=$3 limit=$4 mem=$5 button=$6 delay=$7 extra=${8:-}
    local qemu kernel mfd catpid start line running='' cmd
    case $arch in
    i386) qemu="qemu-system-i386" ;;
    amd64) qemu="qemu-system-x86_64" ;;
    esac
    kernel=$cache/$arch/vmlinuz
    [[ -s $kernel ]] || die "no kernel in $cache/$arch: run '$0 prepare $arch'"
    if [[ ! -f $root/mox/modules.list && -f $cache/$arch/psmouse.ko ]]; then
        cp "$cache/$arch/psmouse.ko" "$root/psmouse.ko"
    fi
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
        -append "console=ttyS0 panic=-1 quiet loglevel=3 psmouse.proto=bare${extra:+ $extra}" \
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
            case $line in
            "$marker BEGIN "*) running=1 ;;
            "$marker OUT "*) running= ;;
            "$marker MONITOR "*)
                cmd=${line#"$marker MONITOR "}
                if [[ -z $running ]]; then
                    :
                elif monitor_allowed "$cmd"; then
                    printf '%s\n' "$cmd" >&"$mfd"
                    printf '@@HOST monitor: %s\n' "$cmd" >>"$work/serial.log"
                else
                    printf '@@HOST refused monitor command: %s\n' "$cmd" >>"$work/serial.log"
                fi
                ;;
            esac
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

# build_guest_root ARCH ROOT: the test guest's own files in ROOT: /init,
# /etc, the merged /usr layout of this machine, the kernel modules, udev with
# its rules, helpers and hardware database, udev rules and helpers of the
# input libraries installed here (libinput, libwacom) and their data.
build_guest_root() {
    local arch=$1 root=$2 link f mod
    mkdir -p "$root/mox/modules" "$root/usr"
    # /lib, /bin, ... are links into /usr here: the guest gets the same ones,
    # so that a path ldd gives and a path a program has built in agree.
    for link in bin sbin lib lib32 lib64 libx32; do
        if [[ -L /$link ]]; then
            ln -s "$(readlink "/$link")" "$root/$link"
            mkdir -p "$root/$(readlink "/$link")"
        fi
    done
    build_init "$arch" "$root/init"
    add_etc "$root"
    # Groups that udev's rules give device nodes to.
    printf '%s\n' kmem:x:15: dialout:x:20: disk:x:6: lp:x:7: cdrom:x:24: floppy:x:25: \
        tape:x:26: audio:x:29: video:x:44: input:x:101: kvm:x:102: render:x:103: \
        sgx:x:104: >>"$root/etc/group"
    : >"$root/mox/guest"
    : >"$root/mox/modules.list"
    while IFS= read -r mod; do
        [[ -n $mod ]] || continue
        # No parameters: the PS/2 mouse probes for its extended protocols,
        # so that QEMU's mouse is "ImExPS/2 Generic Explorer Mouse".
        cp "$cache/$arch/modules/$mod" "$root/mox/modules/"
        printf '/mox/modules/%s\n' "$mod" >>"$root/mox/modules.list"
    done <"$cache/$arch/modules.list"
    cp -a "$cache/$arch/udev/usr/." "$root/usr/"
    cp -a "$cache/$arch/udev/etc/." "$root/etc/"
    for f in /usr/lib/udev/rules.d/*.rules; do
        [[ -e $root$f ]] || cp "$f" "$root$f"
    done
    for f in /usr/lib/udev/*; do
        [[ -f $f && -x $f && ! -e $root$f ]] && cp "$f" "$root$f"
    done
    for f in "$root"/usr/bin/udevadm "$root"/usr/lib/udev/*; do
        [[ -f $f && -x $f ]] && add_libs "$root" "$f"
    done
    for f in /usr/share/libinput /usr/share/libwacom; do
        if [[ -d $f ]]; then
            mkdir -p "$root$f"
            cp -a "$f/." "$root$f/"
        fi
    done
    return 0
}

# True when the cache and this machine have what the test guest needs.
guest_ready() {
    local arch=$1
    cache_complete "$arch" || { echo "the $arch guest is not prepared: run '$0 prepare $arch' as root"; return 1; }
    command -v qemu-system-x86_64 >/dev/null || { echo "qemu-system-x86_64 is missing: run '$0 prepare $arch'"; return 1; }
    command -v cpio >/dev/null || { echo "cpio is missing: run '$0 prepare $arch'"; return 1; }
}

cmd_guest() {
    local arch=amd64 limit=300 build program name work st status why f
    local files=() envs=()
    while (($#)); do
        case $1 in
        --arch) arch=$2; shift 2 ;;
        --timeout) limit=$2; shift 2 ;;
        --file) files+=("$2"); shift 2 ;;
        --env) envs+=("$2"); shift 2 ;;
        --) shift; break ;;
        -*) die "unknown option $1" ;;
        *) break ;;
        esac
    done
    (($# >= 2)) || die "usage: run-vm.sh guest [--arch amd64] [--timeout S] [--file PATH]... [--env NAME=VALUE]... BUILD_DIR PROGRAM [ARG...]"
    build=$1 program=$2
    shift 2
    [[ $arch == amd64 ]] || die "the test guest runs the native amd64 build only"
    [[ $limit =~ ^[0-9]+$ ]] || die "--timeout takes whole seconds"
    if ! why=$(guest_ready "$arch"); then
        echo "SKIPPED: $why"
        return 77
    fi
    build=$(cd "$build" && pwd)
    [[ -f $program ]] || die "missing program $program"
    program=$(cd "$(dirname "$program")" && pwd)/$(basename "$program")
    check_elf "$arch" "$program"
    name=$(basename "$program" | tr -c 'A-Za-z0-9_.\n-' '_')
    for f in "$program" "$@" "${envs[@]}"; do
        [[ $f != *[$'\t\n']* ]] || die "arguments and settings cannot hold tabs or newlines"
    done
    work=$build/vm/guest-$name
    rm -rf "$work"
    mkdir -p "$work/root"
    build_guest_root "$arch" "$work/root"
    add_program "$work/root" "$program"
    for f in "${files[@]}"; do
        [[ $f == /* ]] || f=$(pwd)/$f
        if [[ -d $f ]]; then
            mkdir -p "$work/root$f"
            cp -a "$f/." "$work/root$f/"
        else
            add_program "$work/root" "$f"
        fi
    done
    for f in "${envs[@]}"; do
        [[ $f == [A-Za-z_]*=* ]] || die "--env takes NAME=VALUE"
        printf '%s\n' "$f" >>"$work/root/mox/env"
    done
    {
        printf '%s\t%s\t-\t%s' "$name" "$limit" "$program"
        for f in "$@"; do printf '\t%s' "$f"; done
        printf '\n'
    } >"$work/root/mox/run.list"
    note "initramfs: $(du -sk "$work/root" | cut -f1) KiB"
    boot "$arch" "$work/root" "$work" $((limit + 120)) 512 0 0 "mox.guest=1"

    echo "== $arch guest console"
    grep -E "^($marker (INIT|MOUSE|UDEV|NOTE)|@@HOST)" "$work/serial.log" || true
    echo "== $name output"
    awk -v m="$marker" -v n="$name" '
        $1 == m && $2 == "OUT" && $3 == n { on = 1; next }
        $1 == m && $2 == "STATUS" && $3 == n { on = 0; next }
        on { print }' "$work/serial.log"
    status=$(sed -n "s/^$marker STATUS $name //p" "$work/serial.log" | tail -n1)
    if [[ -z $status ]] && grep -q "^$marker BEGIN $name\$" "$work/serial.log"; then
        status="started, but the guest stopped before it ended (see $work/serial.log)"
    fi
    echo "== $name in the $arch guest: ${status:-did not run} ($boot_ms ms from boot to power-off)"
    case $status in
    exit=*)
        st=${status#exit=}
        return "${st%% *}"
        ;;
    *) return 1 ;;
    esac
}

case ${1:-} in
prepare) prepare "${2:-i386}" ;;
daemon) shift; cmd_daemon "$@" ;;
suite) shift; cmd_suite "$@" ;;
result) shift; cmd_result "$@" ;;
guest) shift; cmd_guest "$@" ;;
*) die "usage: run-vm.sh prepare|daemon|suite|result|guest ..." ;;
esac

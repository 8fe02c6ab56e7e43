#!/usr/bin/env bash
# The Debian packages, as root on Debian 12:
#   1. builds them with dpkg-buildpackage -b from a copy of this checkout (its
#      build folders are not touched);
#   2. runs lintian on them: any error or warning fails;
#   3. installs them here with apt-get under a /usr/sbin/policy-rc.d that
#      refuses every service start, so moxd is never started on this machine
#      (the package installs its unit disabled anyway);
#   4. checks them at work: moxd --version, mox-client, a C client and the C
#      test server and client built with pkg-config's flags alone, and
#      systemd-analyze verify on the installed unit;
#   5. purges them and checks that nothing they installed, and nothing their
#      maintainer scripts made, is left.
# A failure at any step still purges the packages and removes the
# policy-rc.d this script added (one that was there is left alone).
#   package.sh                   all of the above, as root
#   package.sh --build-only DIR  steps 1 and 2, then copies the packages,
#                                .changes and .buildinfo into DIR
# MOX_PKG_KEEP=1 keeps the work folder with the packages; its path is printed.
set -euo pipefail
out=
if [ "${1:-}" = --build-only ] && [ -n "${2:-}" ]; then
    mkdir -p "$2"
    out=$(cd "$2" && pwd)
elif [ $# -gt 0 ]; then
    echo "usage: package.sh [--build-only DIR]" >&2
    exit 2
fi
cd "$(dirname "$0")/.."
top=$PWD

if [ -z "$out" ] && [ "$(id -u)" -ne 0 ]; then
    echo "package.sh: run as root (it installs and purges the packages)" >&2
    exit 1
fi
./scripts/deps.sh debhelper dpkg-dev fakeroot lintian man-db systemd

packages=(moxd mox2-daemon libmox-client0 libmox-dev)
version=$(dpkg-parsechangelog -l debian/changelog -S Version)
arch=$(dpkg --print-architecture)
policy=/usr/sbin/policy-rc.d
# Written while the packages are installed: packages found installed with it
# are this script's own, left by a run that was killed; without it, someone
# else's, which this script does not touch.
marker=/var/tmp/mox-package-test.installed

work=$(mktemp -d /tmp/mox-package.XXXXXX)
chmod 755 "$work" # apt's download user and lintian's user read the packages
added_policy=
installed=
cleanup() {
    local status=$?
    set +e
    if [ -n "$installed" ]; then
        echo "== purging the packages after a failure"
        apt_quiet purge "${packages[@]}"
        rm -f "$marker"
    fi
    [ -n "$added_policy" ] && rm -f "$policy"
    if [ -n "${MOX_PKG_KEEP:-}" ]; then
        echo "packages kept in $work"
    else
        rm -rf "$work"
    fi
    exit "$status"
}
trap cleanup EXIT

# apt-get with its output in the work folder, shown when it fails.
apt_quiet() {
    local log=$work/apt-$1.log
    if ! DEBIAN_FRONTEND=noninteractive apt-get "$1" -y "${@:2}" </dev/null >"$log" 2>&1; then
        cat "$log"
        echo "package.sh: apt-get $* failed" >&2
        return 1
    fi
    grep -E '^(Setting up|Removing|Purging) ' "$log" || true
}

step() {
    echo "== $* ($((SECONDS - step_start)) s so far)"
}
step_start=$SECONDS

is_installed() {
    dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q ' installed$'
}
if [ -z "$out" ]; then
    for p in "${packages[@]}"; do
        if is_installed "$p"; then
            if [ ! -e "$marker" ]; then
                echo "package.sh: $p is installed on this machine; purge it first" >&2
                exit 1
            fi
            echo "== purging $p, left by an earlier run that was stopped"
            apt_quiet purge "${packages[@]}"
            break
        fi
    done
    rm -f "$marker"
fi

step "building the packages in $work"
src=$work/mox
mkdir "$src"
if git -C "$top" rev-parse --git-dir >/dev/null 2>&1; then
    # The checkout's files as they are now, tracked or new, less what git ignores.
    git -C "$top" ls-files -z --cached --others --exclude-standard |
        tar -C "$top" --null -T - --ignore-failed-read -cf - | tar -C "$src" -xf -
else
    tar -C "$top" --exclude='./build*' --exclude=./.git -cf - . | tar -C "$src" -xf -
fi
if ! (cd "$src" && dpkg-checkbuilddeps && DEB_BUILD_OPTIONS="parallel=$(nproc)" \
    dpkg-buildpackage -b -us -uc) >"$work/build.log" 2>&1; then
    tail -n 60 "$work/build.log"
    echo "package.sh: dpkg-buildpackage failed (the whole log: MOX_PKG_KEEP=1)" >&2
    exit 1
fi
changes=$work/mox_${version}_${arch}.changes
debs=()
for p in "${packages[@]}"; do
    debs+=("$work/${p}_${version}_${arch}.deb")
done
ls -l "${debs[@]}"

step "lintian (errors and warnings fail; information is shown)"
lint=(lintian --display-info --fail-on 'error,warning' "$changes")
if [ "$(id -u)" -eq 0 ]; then
    # lintian advises against running as root: it reads the packages as nobody.
    mkdir -m 700 "$work/lintian-home"
    chown 65534:65534 "$work/lintian-home"
    setpriv --reuid=65534 --regid=65534 --clear-groups env HOME="$work/lintian-home" "${lint[@]}"
else
    "${lint[@]}"
fi
echo "lintian: no error, no warning"
if [ -n "$out" ]; then
    cp "$work"/*.deb "$work"/*.changes "$work"/*.buildinfo "$out/"
    echo "packages in $out"
    exit 0
fi

step "installing them with no service started"
if [ -e "$policy" ]; then
    rc=0
    "$policy" moxd.service start >/dev/null 2>&1 || rc=$?
    if [ ! -x "$policy" ] || [ "$rc" -ne 101 ]; then
        echo "package.sh: $policy is there and does not refuse to start services (exit $rc);" \
            "not installing a server that would open this machine's consoles" >&2
        exit 1
    fi
    echo "($policy was there and refuses service starts: left as it is)"
else
    added_policy=1
    printf '#!/bin/sh\n# Written by mox scripts/package.sh: no service starts here.\nexit 101\n' >"$policy"
    chmod 755 "$policy"
fi

# What the packages hold that is on the machine already (folders such as
# /usr/sbin), and the folders their maintainer scripts write in.
snapshot() {
    find /etc /var/lib/systemd /lib/systemd /usr/lib/systemd -xdev 2>/dev/null | LC_ALL=C sort -u
}
snapshot >"$work/before.snapshot"
for deb in "${debs[@]}"; do
    dpkg-deb --fsys-tarfile "$deb" | tar -t | sed 's|^\./|/|; s|/$||' | grep -v '^\.\?$'
done | LC_ALL=C sort -u >"$work/contents"
while read -r path; do
    if [ -e "$path" ] || [ -L "$path" ]; then
        echo "$path"
    fi
done <"$work/contents" >"$work/there-before"
pgrep -x moxd >"$work/moxd-before" || true

touch "$marker"
installed=1
apt_quiet install --no-install-recommends "${debs[@]}"
for p in "${packages[@]}"; do
    dpkg -L "$p"
done | grep -vx '/\.' | LC_ALL=C sort -u >"$work/installed-files"
echo "$(wc -l <"$work/installed-files") paths installed"

step "checking the installed packages"
status=0
fail() {
    echo "FAIL: $*"
    status=1
}
got=$(moxd --version)
[ "$got" = "moxd $version" ] || fail "moxd --version says '$got', the package is $version"
echo "moxd --version: $got"
mox-client --help >/dev/null || fail "mox-client does not start"
if pgrep -x moxd | grep -vxFf "$work/moxd-before"; then
    fail "a moxd process runs since the installation"
fi
for link in /etc/systemd/system/*/moxd.service; do
    [ -e "$link" ] || [ -L "$link" ] || continue
    fail "moxd.service is enabled ($link): the package should install it disabled"
done

bin=$work/bin
mkdir "$bin"
c11=(-std=c11 -pedantic -Wall -Wextra -Werror)
# shellcheck disable=SC2046 # pkg-config's output is words
if cc "${c11[@]}" $(pkg-config --cflags mox-client) tests/install_client.c \
    $(pkg-config --libs mox-client) -o "$bin/install_client"; then
    "$bin/install_client" "$work/no-such-socket" || fail "the client does not run"
else
    fail "a client does not build with pkg-config --cflags --libs mox-client"
fi
# shellcheck disable=SC2046
cc "${c11[@]}" $(pkg-config --cflags mox-server) -Itests tests/c_interface.c tests/c_host.c \
    -DMOX_HAVE_ARGSIFT=1 $(pkg-config --libs mox-server) -o "$bin/c_interface" ||
    fail "the C server does not build with pkg-config's flags for mox-server"
# shellcheck disable=SC2046
cc "${c11[@]}" $(pkg-config --cflags mox-client mox-server) -Itests tests/c_mox_client.c \
    tests/c_host.c $(pkg-config --libs mox-client mox-server) -o "$bin/c_mox_client" ||
    fail "the C client does not build with pkg-config's flags for mox-client and mox-server"
# Each runs its own server in a private /dev (77: none could be had).
for prog in c_interface c_mox_client; do
    [ -x "$bin/$prog" ] || continue
    rc=0
    "$bin/$prog" >"$work/$prog.log" 2>&1 || rc=$?
    case $rc in
    0) echo "$prog: ok" ;;
    77) echo "$prog: skipped: $(grep -m1 skipped "$work/$prog.log")" ;;
    *)
        cat "$work/$prog.log"
        fail "$prog: exit status $rc"
        ;;
    esac
done

unit=$(grep '/moxd\.service$' "$work/installed-files")
verify=$(cd "$work" && systemd-analyze verify "$unit" 2>&1) || true
[ -z "$verify" ] || fail "systemd-analyze verify $unit: $verify"
echo "systemd-analyze verify $unit: clean"
[ $status -eq 0 ] || exit 1

step "purging them"
apt_quiet purge "${packages[@]}"
installed=
rm -f "$marker"
for p in "${packages[@]}"; do
    is_installed "$p" && fail "$p is still installed"
    for f in /var/lib/dpkg/info/"$p".* /var/lib/dpkg/info/"$p":*; do
        [ -e "$f" ] && fail "dpkg keeps $f"
    done
done
left=$(while read -r path; do
    if [ -e "$path" ] || [ -L "$path" ]; then
        echo "$path"
    fi
done <"$work/installed-files" | LC_ALL=C sort | comm -23 - <(LC_ALL=C sort "$work/there-before"))
[ -z "$left" ] || fail "left after the purge: $left"
if ! diff "$work/before.snapshot" <(snapshot); then
    fail "the purge leaves /etc or systemd's folders changed (<: before, >: after)"
fi
[ $status -eq 0 ] || exit 1
echo "nothing left: $(wc -l <"$work/installed-files") paths gone or there before"

step "packages built, checked, installed, used and purged"

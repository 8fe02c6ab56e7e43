#!/usr/bin/env bash
# The tree `cmake --install BUILD --prefix /usr` makes under a DESTDIR, as a
# package takes it.
#
#   install_tree.sh check CMAKE BUILD SOURCE CC NAME=VALUE... [-- CFLAG...]
#       installs into BUILD/install-test/root and checks:
#       - the exact list of files and links, with their modes and targets;
#       - no empty folder, no installed program with a run path;
#       - the unit runs the installed moxd, passes systemd-analyze verify and
#         keeps its sandbox (systemd-analyze security);
#       - pkg-config, pointed into the tree, gives the version and the flags;
#       - each header compiles on its own, as C11, with those flags;
#       - a client program builds with the C compiler and mox-client's flags
#         alone, needs libmox-client.so.0 by its soname, and runs;
#       - the C test server (c_interface.c) and the C test client
#         (c_mox_client.c) build against the installed libraries alone,
#         into BUILD/install-test/bin, for `run`.
#       NAME=VALUE gives the configured folders: BINDIR, SBINDIR, INCLUDEDIR,
#       LIBDIR, MANDIR (relative to the prefix, or absolute) and UNITDIR; and
#       VERSION, the project's version, which the pkg-config files carry.
#       CFLAGs are added to every compile (the sanitizers' flags).
#   install_tree.sh run BUILD
#       runs those two programs (each needs a private /dev: 77 without one).
set -u

fail() {
    echo "FAIL: $*"
    status=1
}
status=0

if [ "${1:-}" = run ]; then
    bin=$2/install-test/bin
    for prog in c_interface c_mox_client; do
        if [ ! -x "$bin/$prog" ]; then
            echo "$bin/$prog was not built: run the install_tree test first"
            exit 1
        fi
        "$bin/$prog"
        rc=$?
        echo "$prog: exit status $rc"
        case $rc in
        0) ;;
        77) exit 77 ;;
        *) status=1 ;;
        esac
    done
    exit $status
fi

[ "${1:-}" = check ] || {
    echo "usage: install_tree.sh check CMAKE BUILD SOURCE CC NAME=VALUE... [-- CFLAG...] | run BUILD"
    exit 2
}
cmake=$2
build=$3
source=$4
cc=$5
shift 5
BINDIR=bin SBINDIR=sbin INCLUDEDIR=include LIBDIR=lib MANDIR=share/man UNITDIR=/lib/systemd/system
VERSION=
while [ $# -gt 0 ] && [ "$1" != -- ]; do
    case $1 in
    BINDIR=* | SBINDIR=* | INCLUDEDIR=* | LIBDIR=* | MANDIR=* | UNITDIR=* | VERSION=*) declare "$1" ;;
    *)
        echo "unknown argument '$1'"
        exit 2
        ;;
    esac
    shift
done
[ $# -gt 0 ] && shift
cflags=("$@")

# A configured folder as a path inside the tree, installed with prefix /usr.
in_tree() {
    case $1 in
    /*) echo "${1#/}" ;;
    *) echo "usr/$1" ;;
    esac
}
bindir=$(in_tree "$BINDIR")
sbindir=$(in_tree "$SBINDIR")
incdir=$(in_tree "$INCLUDEDIR")
libdir=$(in_tree "$LIBDIR")
mandir=$(in_tree "$MANDIR")
unitdir=$(in_tree "$UNITDIR")

work=$build/install-test
root=$work/root
rm -rf "$work"
mkdir -p "$work/bin" "$work/src"
if ! DESTDIR=$root "$cmake" --install "$build" --prefix /usr >"$work/install.log" 2>&1; then
    cat "$work/install.log"
    echo "FAIL: cmake --install"
    exit 1
fi

# Files with their permission bits, links with their targets.
expected=$(
    LC_ALL=C sort <<EOF
$bindir/mox-client 755
etc/moxd.conf 644
$incdir/mox/mox-client.h 644
$incdir/mox/mox.h 644
$incdir/mox/server/argsift.h 644
$incdir/mox/server/client.h 644
$incdir/mox/server/console.h 644
$incdir/mox/server/moxInt.h 644
$libdir/libmox-client.so -> libmox-client.so.0
$libdir/libmox-client.so.0 -> libmox-client.so.0.1.0
$libdir/libmox-client.so.0.1.0 644
$libdir/libmox-server.a 644
$libdir/pkgconfig/mox-client.pc 644
$libdir/pkgconfig/mox-server.pc 644
$mandir/man1/mox-client.1 644
$mandir/man5/moxd.conf.5 644
$mandir/man8/mox2-daemon.8 644
$mandir/man8/moxd.8 644
$sbindir/mox2-daemon 755
$sbindir/moxd 755
$unitdir/moxd.service 644
EOF
)
actual=$(
    cd "$root" && {
        find . ! -type d ! -type l -printf '%P %m\n'
        find . -type l -printf '%P -> %l\n'
    } | LC_ALL=C sort
)
if [ "$actual" != "$expected" ]; then
    diff <(echo "$expected") <(echo "$actual") | grep '^[<>]'
    fail "the installed tree differs from the list (<: expected, >: installed)"
fi
empty=$(cd "$root" && find . -mindepth 1 -type d -empty -printf '%P\n')
[ -z "$empty" ] || fail "empty folders: $empty"

for prog in "$root/$sbindir/moxd" "$root/$sbindir/mox2-daemon" "$root/$bindir/mox-client" \
    "$root/$libdir/libmox-client.so.0.1.0"; do
    [ -f "$prog" ] || continue
    if readelf -d "$prog" | grep -Eq '\((RPATH|RUNPATH)\)'; then
        fail "$prog keeps a run path: $(readelf -d "$prog" | grep -E 'R(UN)?PATH')"
    fi
done

execstart=$(sed -n 's/^ExecStart=//p' "$root/$unitdir/moxd.service" 2>/dev/null)
[ "$execstart" = "/$sbindir/moxd" ] || fail "the unit runs '$execstart', not /$sbindir/moxd"

# The unit as systemd reads it, in a scratch root holding the tree and the
# system's own units (the targets and services it names): no complaint, and
# its sandbox no looser than docs/sandbox.md's figure (exposure 2.1, in tenths).
if command -v systemd-analyze >/dev/null; then
    vroot=$work/verify-root
    cp -a "$root" "$vroot"
    for sysunits in /lib/systemd/system /usr/lib/systemd/system; do
        if [ -d "$sysunits" ]; then
            mkdir -p "$vroot$sysunits"
            cp -an "$sysunits/." "$vroot$sysunits/"
            break
        fi
    done
    # and the system's kill, which the unit's ExecReload runs
    mkdir -p "$vroot/bin"
    cp /bin/kill "$vroot/bin/kill"
    verify=$(systemd-analyze verify --man=no --root="$vroot" moxd.service 2>&1)
    [ -z "$verify" ] || fail "systemd-analyze verify: $verify"
    if ! exposure=$(systemd-analyze security --offline=true --root="$vroot" --threshold=21 \
        moxd.service 2>&1); then
        echo "$exposure" | grep -v '✓'
        fail "the unit's exposure is above 2.1"
    fi
else
    echo "no systemd-analyze: the unit is not verified"
    unverified=1
fi

# pkg-config reads only the tree's files and puts the tree before every path.
export PKG_CONFIG_SYSROOT_DIR=$root
export PKG_CONFIG_LIBDIR=$root/$libdir/pkgconfig
export PKG_CONFIG_PATH=
for pc in mox-client mox-server; do
    got=$(pkg-config --modversion "$pc" 2>&1)
    [ "$got" = "$VERSION" ] || fail "$pc: version '$got', not '$VERSION'"
done
# (pkgconf ends its output with a space)
client_flags=$(pkg-config --keep-system-cflags --keep-system-libs --cflags --libs mox-client | sed 's/ *$//')
[ "$client_flags" = "-I$root/$incdir -L$root/$libdir -lmox-client" ] ||
    fail "mox-client's flags: '$client_flags'"
server_flags=$(pkg-config --keep-system-cflags --keep-system-libs --cflags --libs mox-server | sed 's/ *$//')
[ "$server_flags" = "-I$root/$incdir/mox/server -I$root/$incdir/mox -L$root/$libdir -lmox-server" ] ||
    fail "mox-server's flags: '$server_flags'"

c11=(-std=c11 -pedantic -Wall -Wextra -Werror "${cflags[@]}")
client_cflags=$(pkg-config --keep-system-cflags --cflags mox-client)
server_cflags=$(pkg-config --keep-system-cflags --cflags mox-server)
compiles() { # NAME FLAGS SOURCE-TEXT
    printf '%s\n' "$3" >"$work/src/$1.c"
    # shellcheck disable=SC2086 # the flags are words
    "$cc" "${c11[@]}" $2 -c "$work/src/$1.c" -o "$work/src/$1.o" 2>&1 ||
        fail "a program that includes only $1 does not compile"
}
compiles mox.h "$client_cflags" '#include <mox/mox.h>
int main(void) { return sizeof(Mox_Event) == 28 ? 0 : 1; }'
compiles mox-client.h "$client_cflags" '#include <mox/mox-client.h>
int main(void) { return MOX_OK == 1 ? 0 : 1; }'
for h in client.h moxInt.h console.h argsift.h; do
    compiles "$h" "$server_cflags" "#include \"$h\"
int main(void) { return 0; }"
done

# shellcheck disable=SC2086,SC2046 # pkg-config's output is words
if "$cc" "${c11[@]}" $client_cflags "$source/tests/install_client.c" \
    $(pkg-config --libs mox-client) -o "$work/bin/install_client"; then
    needed=$(readelf -d "$work/bin/install_client" | sed -n 's/.*(NEEDED).*\[\(libmox-client[^]]*\)\]/\1/p')
    [ "$needed" = "libmox-client.so.0" ] || fail "the client needs '$needed', not libmox-client.so.0"
    LD_LIBRARY_PATH=$root/$libdir "$work/bin/install_client" "$work/no-such-socket" ||
        fail "the client did not run against the installed library"
else
    fail "a client does not build with mox-client's flags alone"
fi

# The C test server and client, with the installed libraries instead of the
# build's objects; c_host.c is the C host both take the server's services from.
# The client finds the library at run time through its run path.
tests=$source/tests
# shellcheck disable=SC2086,SC2046
"$cc" "${c11[@]}" $server_cflags -I"$tests" "$tests/c_interface.c" \
    "$tests/c_host.c" -DMOX_HAVE_ARGSIFT=1 $(pkg-config --libs mox-server) \
    -o "$work/bin/c_interface" || fail "the C server does not build against mox-server"
# shellcheck disable=SC2086,SC2046
"$cc" "${c11[@]}" $client_cflags $server_cflags -I"$tests" \
    "$tests/c_mox_client.c" "$tests/c_host.c" $(pkg-config --libs mox-client mox-server) \
    -Wl,-rpath,"$root/$libdir" -o "$work/bin/c_mox_client" ||
    fail "the C client does not build against mox-client and mox-server"

if [ $status -eq 0 ]; then
    echo "ok: the installed tree, its unit, pkg-config files, headers and libraries"
    [ -n "${unverified:-}" ] && exit 77
fi
exit $status

#!/bin/sh
# Checks libmox-client.so as the dynamic linker sees it:
#   - its soname is libmox-client.so.0;
#   - it needs the C library only (and the sanitizers' runtimes in a
#     sanitizer build);
#   - its dynamic symbols are exactly the functions mox-client.h declares,
#     all functions (type T);
#   - everything it leaves undefined is the C library's.
#
#   mox_client_lib_symbols.sh NM READELF LIBRARY HEADER LIBC
set -u

nm=$1
readelf=$2
lib=$3
header=$4
libc=$5

if [ ! -f "$libc" ]; then
    echo "no C library at '$libc' to compare with"
    exit 77
fi
status=0
fail() {
    echo "$*"
    status=1
}

soname=$("$readelf" -d "$lib" | sed -n 's/.*(SONAME).*\[\(.*\)\]/\1/p')
[ "$soname" = "libmox-client.so.0" ] || fail "soname is '$soname', not libmox-client.so.0"

for needed in $("$readelf" -d "$lib" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p'); do
    case $needed in
    libc.so.6) ;;
    libasan.so.* | libubsan.so.*) ;;
    *) fail "needs $needed" ;;
    esac
done

# The declared functions: "int mox_name(" at the start of a line.
declared=$(sed -n 's/^[a-z][a-z_ ]* \**\(mox_[a-z_]*\)(.*/\1/p' "$header" | sort -u)
[ -n "$declared" ] || fail "no function found in $header"
defined=$("$nm" -D --defined-only "$lib" | awk '$2 != "A" { sub(/@.*/, "", $3); print $2 " " $3 }' | sort -u)
names=$(echo "$defined" | awk 'NF { print $2 }' | sort -u)
if [ "$names" != "$declared" ]; then
    echo "exports:" $names
    fail "declared:" $declared
fi
echo "$defined" | awk 'NF && $1 != "T" { print }' | while read -r line; do
    echo "not a function: $line"
    exit 1
done || status=1

libc_names=$("$nm" -D --defined-only "$libc" | awk '{ sub(/@.*/, "", $NF); print $NF }' | sort -u)
for sym in $("$nm" -D --undefined-only "$lib" | awk '{ sub(/@.*/, "", $NF); print $NF }'); do
    case $sym in
    __gmon_start__ | _ITM_deregisterTMCloneTable | _ITM_registerTMCloneTable) continue ;;
    __asan_* | __ubsan_* | __sanitizer_*) continue ;;
    esac
    echo "$libc_names" | grep -qx "$sym" || fail "needs $sym, which is not the C library's"
done

[ $status -eq 0 ] && echo "ok: $soname exports" $names
exit $status

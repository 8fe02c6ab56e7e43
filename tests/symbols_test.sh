#!/bin/sh
# Checks the symbols of the delivered server modules, as the server's linker
# will see them:
#   - each object defines exactly its exported names, global, unmangled (C
#     linkage), functions in text and the client table in data or bss;
#   - everything it leaves undefined is the server's (host services and
#     records) or the C library's: nothing of the C++ runtime.
# Sanitizer builds add their hooks and ODR markers; 32-bit x86 objects add
# the hidden PC thunks and _GLOBAL_OFFSET_TABLE_: those are allowed.
#
#   symbols_test.sh NM LIBC CLIENT_O ARGSIFT_O
# LIBC is the shared C library of the objects' target (its dynamic symbols
# are the C library's names); objects that do not exist are skipped.
set -u

nm=$1
libc=$2
shift 2

if [ ! -f "$libc" ]; then
    echo "symbols_test: no C library at '$libc' to compare with"
    exit 77
fi
libc_names=$(mktemp)
trap 'rm -f "$libc_names"' EXIT
"$nm" -D --defined-only "$libc" | awk '{ sub(/@.*/, "", $NF); print $NF }' | sort -u >"$libc_names"

status=0
checked=0

# check OBJECT EXPORTS HOST
#   EXPORTS: "LETTERS:name ..." (the nm type letters allowed for each name)
#   HOST: the names the server supplies, separated by |
check() {
    obj=$1
    exports=$2
    host=$3
    name=$(basename "$obj")
    if [ ! -f "$obj" ]; then
        echo "$name: not built, skipped"
        return
    fi
    checked=$((checked + 1))
    bad=0

    defined=$("$nm" -g --defined-only "$obj" | awk '{ print $(NF-1) " " $NF }' |
        grep -Ev ' (__x86\.get_pc_thunk\.[a-z]+|__odr_asan[._].*)$' | sort)
    want_names=$(for e in $exports; do echo "${e#*:}"; done | sort)
    got_names=$(echo "$defined" | awk 'NF { print $2 }' | sort)
    if [ "$got_names" != "$want_names" ]; then
        echo "$name: defines" $got_names
        echo "$name: expected" $want_names
        bad=1
    fi
    for e in $exports; do
        letters=${e%%:*}
        sym=${e#*:}
        type=$(echo "$defined" | awk -v s="$sym" '$2 == s { print $1 }')
        case "$type" in
        [$letters]) ;;
        *)
            echo "$name: $sym has type '$type', expected one of $letters"
            bad=1
            ;;
        esac
    done

    for sym in $("$nm" -u "$obj" | awk '{ print $NF }'); do
        if echo "$sym" | grep -Eq "^($host)$"; then
            continue
        fi
        if echo "$sym" | grep -Eq '^(__(asan|ubsan|sanitizer)_[A-Za-z0-9_]*|_GLOBAL_OFFSET_TABLE_|__stack_chk_fail_local)$'; then
            continue
        fi
        if grep -qx "$sym" "$libc_names"; then
            continue
        fi
        echo "$name: needs $sym, which is neither the server's nor the C library's"
        bad=1
    done
    if [ "$bad" -eq 0 ]; then
        echo "$name: ok:" $got_names
    else
        status=1
    fi
}

check "$1" "T:accept_client_connection BD:cinfo T:do_client T:listen_for_clients \
T:notify_clients_resize T:process_client_request T:remove_client" \
    "mox_report|get_console_state|is_console_owner|selection_disable_paste|option|console"
check "$2" "T:check_no_options T:is_option_present T:parse_options" "mox_report|option"

if [ "$checked" -eq 0 ]; then
    echo "symbols_test: no object to check"
    exit 77
fi
exit $status

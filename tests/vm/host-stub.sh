#!/bin/sh
# Emulator of the i386 build: the 64-bit build host cannot execute its
# programs. Test discovery (--gtest_list_tests) finds nothing here, since the
# programs run inside the i386 guest instead (ctest -L vm, tests i386:NAME);
# any other run fails and says so.
for arg in "$@"; do
    [ "$arg" = --gtest_list_tests ] && exit 0
done
echo "$1: an i386 program; it runs inside the i386 guest (ctest --preset i386)" >&2
exit 1

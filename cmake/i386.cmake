# Builds for 32-bit x86 Linux with the host's multilib compiler (-m32). The
# build host cannot execute the results: the test programs run inside an
# i386 QEMU guest (tests/vm), and all programs are linked statically so that
# the guest needs no libraries.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR i686)

set(CMAKE_C_COMPILER gcc)
set(CMAKE_CXX_COMPILER g++)
set(CMAKE_C_FLAGS_INIT "-m32")
set(CMAKE_CXX_FLAGS_INIT "-m32")
set(CMAKE_EXE_LINKER_FLAGS_INIT "-m32 -static")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-m32")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "-m32")

# Stands in for running a test program on the host: test discovery finds no
# host tests, and a direct run says where the program runs instead.
set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_CURRENT_LIST_DIR}/../tests/vm/host-stub.sh)

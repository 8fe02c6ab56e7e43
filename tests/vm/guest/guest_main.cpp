// main() of a GoogleTest program that runs inside the test guest only: on any
// other machine it touches nothing and ends with 77, which CTest and the
// runner count as skipped.
#include "guest.h"

#include <gtest/gtest.h>

#include <cstdio>

int main(int argc, char **argv)
{
    if (!guest_inside()) {
        printf("%s runs only inside the test guest (tests/vm/run-vm.sh guest): skipped\n",
               argc > 0 ? argv[0] : "this program");
        return 77;
    }
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}

#include <gtest/gtest.h>

#include <cstdio>

#include "harness/harness.h"

int main(int argc, char** argv) {
    // Before any thread exists: the namespace must cover everything the
    // test starts.
    if (!kt::isolate_network())
        std::fprintf(stderr, "note: no network namespace; the tests share the machine's loopback\n");
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}

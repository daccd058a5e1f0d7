// The window tests that need a real window system run on a virtual X screen
// of their own, started here before the first widget and stopped at exit.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "support/virtual_screen.h"

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    // Listing the tests (CTest's discovery) needs no screen.
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--gtest_list_tests") == 0) return RUN_ALL_TESTS();
    }
    testsupport::VirtualScreen screen(1280, 800);
    if (!screen.ok()) {
        std::fprintf(stderr, "no virtual screen: %s\n", screen.error().c_str());
        return 1;
    }
    setenv("DISPLAY", screen.Display().c_str(), 1);
    setenv("QT_QPA_PLATFORM", "xcb", 1);
    return RUN_ALL_TESTS();
}

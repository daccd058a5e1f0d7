// grab_screen FILE.png: a picture of the whole X screen named by $DISPLAY. The
// package test takes its pictures of the installed program with it, which
// runs in a process of its own.
#include <cstdio>
#include <cstdlib>

#include "support/toolkit/testing.h"
#include "toolkit/toolkit.h"

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: grab_screen FILE.png\n");
        return 2;
    }
    // The toolkit draws off screen unless told otherwise; here the screen is
    // the point.
    setenv("QT_QPA_PLATFORM", "xcb", 1);
    toolkit::EnsureApplication();
    if (!toolkit::testing::SaveScreen(argv[1])) {
        std::fprintf(stderr, "grab_screen: cannot save %s\n", argv[1]);
        return 1;
    }
    return 0;
}

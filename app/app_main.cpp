// The desktop program's entry point.
//
// --version is answered before the toolkit starts, so that it works without
// a display (a package check, a script asking which build is installed).
#include <cstdio>
#include <cstring>

#include "app/dravel_app.h"
#include "dravel_version.h"

wxIMPLEMENT_APP_NO_MAIN(dravel::gui::CDravelApp);

int main(int argc, char** argv) {
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--version") == 0) {
            std::printf("dravel %s\n", DRAVEL_VERSION);
            return 0;
        }
    }
    return wxEntry(argc, argv);
}

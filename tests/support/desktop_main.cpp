// Entry of the test programs that show windows: the tests run in a child of this program on a
// desktop of its own, which gets the display of the test's Xvfb. Programs that such a test
// starts inherit that desktop.
#define DOCTEST_CONFIG_IMPLEMENT
#include <windows.h>

#include <doctest.h>

#include <cstdlib>

#include "own_desktop.h"
#include "wine_cannot.h"

int main(int argc, char** argv) {
    if (!std::getenv("VESK_ON_TEST_DESKTOP"))
        return gui_desktop::run_again_on_own_desktop(L"VESK_ON_TEST_DESKTOP", L"1");
    doctest::Context context(argc, argv);
    return finish_with_skips(context.run());
}

// Five minutes of counted ticks end the run; the worker is cut off where it stands, so for the
// rest of the process every further run is refused. A program of its own for that reason.
#include <windows.h>

#include <doctest.h>

#include "progress_support.h"

using namespace run_test;
using namespace progress_test;

TEST_CASE("the time limit ends the run, and later runs in this process are refused") {
    capture_log();
    install_hook();
    owner = make_owner();
    installer_wait_ms = INSTALLER_DEFAULT_TIMEOUT_MS;
    hold_standin();
    Package p("code:5 print:installing wait code:6 status:0 close exit:0");
    Run r{{}, &p};
    clear_log();
    HWND seen = nullptr;
    const vesk_result result = r.go([&] {
        seen = dialog;
        ticks(300), checkpoint();  // tick 300: not yet
        ticks(1);                  // tick 301
    });
    CHECK(result == VESK_ERR_TIMED_OUT);
    CAPTURE(dump_log());
    REQUIRE(checkpoints.size() == 1);
    CHECK(checkpoints[0].text == L"Aborting in 15 seconds...");
    CHECK_FALSE(checkpoints[0].owner_enabled);
    CHECK(count_lines("libvesk:error [progress_callback] progress timeout expired - KILLING THREAD!") == 1);
    CHECK(IsWindowEnabled(owner));
    CHECK_FALSE(IsWindow(seen));

    // The terminated worker stays recorded and its run mutex stays held.
    Package second("status:0 close exit:0");
    Run again{{}, &second};
    clear_log();
    CHECK(again.go([] {}) == VESK_ERR_NO_RESOURCE);
    CHECK(count_lines("libvesk:error [progress_callback] program assertion failed - another operation is in progress") == 1);
    CHECK(IsWindowEnabled(owner));
    TestDevice d;
    CHECK(vesk_install_driver(&d.record, second.dir().c_str(), "x.inf", nullptr) == VESK_ERR_BUSY);
    CHECK(read_text(second.file("standin-args.txt")).empty());  // neither started an installer

    // The installer the cut-off run started was left running; let it finish.
    release_standin();
}

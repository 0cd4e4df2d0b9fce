// Five minutes of counted ticks end the run cooperatively: the window asks the run to stop, the
// run ends its installer with a non-zero code and releases what it holds, and the window closes
// with the run's time-out. Later runs work, and the restore-point policy that the installer had
// switched off is back as it was after each. A window that only looks like Windows' security
// prompt does not hold the limit off. A program of its own: it runs the long sequence.
#include <windows.h>

#include <doctest.h>

#include <string>

#include "doubles_support.h"
#include "progress_support.h"
#include "restore_point_policy.h"

using namespace run_test;
using namespace progress_test;

TEST_CASE("the time limit stops the run, ends its installer, and later runs work") {
    capture_log();
    install_hook();
    owner = make_owner();
    doubles::reset_records();
    REQUIRE(remove_stored_policy() == ERROR_SUCCESS);
    doubles::ScopedGpoDouble gpo(doubles::env_path(L"VESK_GPO_DOUBLE"));
    doubles::set_policy_value(0);
    // Any program of the user can show one: the limit comes all the same.
    HWND lookalike = CreateWindowExW(0, L"#32770", L"Windows Security", WS_POPUP | WS_VISIBLE, 0, 0, 50, 20, nullptr,
                                     nullptr, GetModuleHandleW(nullptr), nullptr);
    REQUIRE(lookalike);
    for (int round = 0; round < 2; ++round) {
        CAPTURE(round);
        hold_standin();
        // Code 5 makes the wait unbounded: only the time limit can end this run.
        Package p("policy-off code:5 print:installing wait print:released code:6 status:0 close exit:0");
        Run r{{}, &p};
        clear_log();
        HWND seen = nullptr;
        ChildWatch child(installer_name());
        std::string policy_during;
        const vesk_result result = r.go([&] {
            seen = dialog;
            // The limit strikes once the installer has switched restore points off.
            for (int i = 0; i < 200 && read_text(p.file("standin-replies.txt")).find("policy-off done") != 0; ++i)
                Sleep(50);
            policy_during = doubles::policy_value();
            ticks(300), checkpoint();  // tick 300: not yet
            ticks(1);                  // tick 301
        });
        CHECK(result == VESK_ERR_TIMED_OUT);
        CAPTURE(dump_log());
        REQUIRE(checkpoints.size() == 1);
        CHECK(checkpoints[0].text == L"Aborting in 15 seconds...");
        CHECK_FALSE(checkpoints[0].owner_enabled);
        CHECK(count_lines("libvesk:error [progress_callback] progress timeout expired - stopping the installation") ==
              1);
        CHECK(count_lines("libvesk:error [install_driver_internal] Installation stopped by its time limit - ending the "
                          "installer") == 1);
        CHECK(IsWindowEnabled(owner));
        CHECK_FALSE(IsWindow(seen));
        // Ended by the run with a code that reads as no success, before it was released.
        const DWORD code = child.exit_code();
        CHECK(code != 0);
        CHECK(code != STILL_ACTIVE);
        CHECK(static_cast<vesk_result>(code) == VESK_ERR_TIMED_OUT);
        release_standin();
        Sleep(200);
        CHECK(count_lines("released") == 0);
        // Switched off by the installer, put back by the run after the installer was ended.
        CHECK(read_text(p.file("standin-replies.txt")).find("policy-off done") == 0);
        CHECK(policy_during == "1");
        CHECK(doubles::policy_value() == "0");
        PolicyValue stored;
        CHECK_FALSE(load_stored_policy(stored));
    }
    DestroyWindow(lookalike);
    doubles::reset_records();

    // The mutex is free and no worker is left recorded: both modes run again.
    Package second("status:0 close exit:0");
    Run again{{}, &second};
    clear_log();
    CHECK(again.go([] {}) == VESK_OK);
    CHECK(IsWindowEnabled(owner));
    TestDevice d;
    CHECK(vesk_install_driver(&d.record, second.dir().c_str(), "x.inf", nullptr) == VESK_OK);
}

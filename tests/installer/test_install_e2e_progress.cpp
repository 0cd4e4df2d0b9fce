// The whole installation in progress-bar mode: the real package and installer as in
// test_install_e2e, with a test window as the owner of the library's progress window. Runs on
// an Xvfb display and a desktop of its own (with-xvfb.sh, desktop_main.cpp); the progress
// window's message hook (progress_support.h) makes the dialog known and records what it shows.
#include <windows.h>

#include <doctest.h>

#include <string>
#include <thread>

#include "e2e_support.h"
#include "progress_support.h"

using namespace e2e;

TEST_CASE("progress-bar mode: the package installs behind the progress window of a test owner") {
    Scene s;
    progress_test::install_hook();
    progress_test::owner = progress_test::make_owner();
    progress_test::dialog = nullptr;
    ResetEvent(progress_test::dialog_seen);
    ResetEvent(progress_test::run_over);
    // While the dialog runs: what it shows and whether the owner is disabled.
    std::thread helper([] {
        if (progress_test::wait_or_over(progress_test::dialog_seen, 30000)) progress_test::checkpoint();
    });

    vesk_install_options options{};
    options.parent_window = progress_test::owner;
    options.pending_wait_ms = 30000;
    vesk_result result;
    {
        SetupLogWriter log_writer;
        result = vesk_install_driver(&s.device.record, s.dir.c_str(), kInfName, &options);
    }
    SetEvent(progress_test::run_over);
    helper.join();  // every wait of the helper ends with the run
    INFO(run_test::dump_log());

    CHECK(result == VESK_OK);
    REQUIRE(progress_test::dialog != nullptr);
    REQUIRE(progress_test::checkpoints.size() == 1);
    CHECK(progress_test::checkpoints[0].text == L"Installing Driver...");
    CHECK_FALSE(progress_test::checkpoints[0].owner_enabled);
    // Done well within 15 s: the first text only, the window gone, the owner enabled again.
    CHECK(progress_test::text_at_end == L"Installing Driver...");
    CHECK_FALSE(IsWindow(progress_test::dialog));
    CHECK(IsWindowEnabled(progress_test::owner));

    CHECK(run_test::has_line("libvesk:debug [vesk_install_driver] Using progress bar mode"));
    CHECK(
        run_test::has_line("[installer process] Installing driver for " + s.device.hardware_id + " - please wait..."));
    CHECK(run_test::has_line("[installer process] driver update completed"));
    CHECK(run_test::has_line("[syslog] >>>  [e2e setup log line"));
    CHECK(service_of(s.device.device_id) == "WinUSB");
    CHECK(service_of(s.hub_node.instance_id) == "usbhub");
    check_policy_put_back();
    DestroyWindow(progress_test::owner);
}

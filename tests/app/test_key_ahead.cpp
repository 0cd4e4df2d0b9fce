// Which operation endings keep, start or let go of the signing key made for the next install.
#include <windows.h>

#include <doctest.h>

#include "key_ahead.h"
#include "setup_worker.h"

namespace {
constexpr char kChecked[] = "USB\\VID_2E3C&PID_DF11\\A1";
constexpr char kSameOtherCase[] = "usb\\vid_2e3c&pid_df11\\a1";
constexpr char kOther[] = "USB\\VID_2E3C&PID_DF11\\B2";

enum class After { none, kept, new_key };
}  // namespace

TEST_CASE("the key for the next install: kept for the same device, new for another, gone otherwise") {
    struct Row {
        const char* what;
        bool held;
        int32_t action;
        int32_t outcome;
        const char* device;
        After after;
    };
    const Row rows[] = {
        {"first check finds the device", false, SETUP_ACTION_CHECK, SETUP_OUTCOME_CHECKED, kChecked, After::new_key},
        {"check again, same device", true, SETUP_ACTION_CHECK, SETUP_OUTCOME_CHECKED, kSameOtherCase, After::kept},
        {"check again, another device", true, SETUP_ACTION_CHECK, SETUP_OUTCOME_CHECKED, kOther, After::new_key},
        {"check finds no device", true, SETUP_ACTION_CHECK, SETUP_OUTCOME_INCOMPLETE, kChecked, After::none},
        {"check finds WinUSB there", true, SETUP_ACTION_CHECK, SETUP_OUTCOME_ALREADY_WINUSB, kChecked, After::none},
        {"install verified (key used)", true, SETUP_ACTION_INSTALL, SETUP_OUTCOME_VERIFIED, kChecked, After::none},
        {"install failed", true, SETUP_ACTION_INSTALL, SETUP_OUTCOME_INCOMPLETE, kChecked, After::none},
    };
    for (const Row& row : rows) {
        CAPTURE(row.what);
        unique_signing_key key;
        if (row.held) {
            vesk_signing_key* made = nullptr;
            REQUIRE(vesk_create_signing_key(&made) == VESK_OK);
            key.reset(made);
        }
        const vesk_signing_key* before = key.get();
        keep_key_for_next_install(key, kChecked, row.action, row.outcome, row.device);
        switch (row.after) {
            case After::none:
                CHECK_FALSE(key);
                break;
            case After::kept:
                CHECK(key.get() == before);
                break;
            case After::new_key:
                CHECK(key);
                CHECK(key.get() != before);
                break;
        }
    }
}

// The restore-point policy around an installation: Wine's missing group policy object, and,
// with the test double registered in the prefix, the value set and put back exactly.
// The value found first is kept for the whole process (one installer run): the cases that find
// a value therefore come last, and the 0xFFFFFFFF case runs in a process of its own.
#include <windows.h>
#include <objbase.h>

#include <doctest.h>

#include <string>
#include <vector>

#include "doubles_support.h"
#include "installer.h"
#include "pipe_capture.h"

namespace {
const std::string kAdd = "machine=1 add=1 ext={35378EAC-683F-11D2-A89A-00C04FBBCFA2} snapin={3D271CFC-2BC6-4AC2-B633-3BDFF5BDAB2A}";
const std::string kRemove = "machine=1 add=0 ext={35378EAC-683F-11D2-A89A-00C04FBBCFA2} snapin={3D271CFC-2BC6-4AC2-B633-3BDFF5BDAB2A}";

struct Com {
    Com() { CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED); }
    ~Com() { CoUninitialize(); }
};
}  // namespace

TEST_CASE("without a group policy object (Wine) both steps fail with the COM error and change nothing") {
    Com com;
    doubles::reset_records();
    capture::PipeCapture pipe;
    CHECK_FALSE(set_restore_point_policy(true));
    CHECK(pipe.wait_for_text("CoCreateInstance failed; hr = 80040154"));
    CHECK(doubles::policy_value() == "no key");
}

TEST_CASE("with the policy object: a missing key, a key without the value, then a value of 0") {
    Com com;
    doubles::reset_records();
    doubles::ScopedGpoDouble gpo(doubles::env_path(L"VESK_GPO_DOUBLE"));
    capture::PipeCapture pipe;

    // No key at all: created, value 1; the restore deletes the value and leaves the empty key.
    CHECK(set_restore_point_policy(true));
    CHECK(doubles::policy_value() == "1");
    CHECK(set_restore_point_policy(false));
    CHECK(doubles::policy_value() == "absent");
    CHECK(pipe.wait_for_text("successfully disabled the system restore point creation setting"));
    CHECK(pipe.wait_for_text("successfully restored the system restore point creation setting"));
    CHECK(doubles::gpo_saves() == std::vector<std::string>{kAdd + " DisableSystemRestore=1",
                                                           kRemove + " DisableSystemRestore=absent"});

    // The key exists without the value: the value that the disable made is deleted again.
    CHECK(set_restore_point_policy(true));
    CHECK(doubles::policy_value() == "1");
    CHECK(set_restore_point_policy(false));
    CHECK(doubles::policy_value() == "absent");

    // An administrator's 0: saved, 1 during, 0 again after.
    doubles::set_policy_value(0);
    CHECK(set_restore_point_policy(true));
    CHECK(doubles::policy_value() == "1");
    CHECK(set_restore_point_policy(false));
    CHECK(doubles::policy_value() == "0");
    CHECK(doubles::gpo_saves().size() == 6);
    doubles::reset_records();
}

TEST_CASE("a value of 0xFFFFFFFF is put back, not deleted" * doctest::skip(std::getenv("VESK_POLICY_ALL_ONES") == nullptr)) {
    Com com;
    doubles::reset_records();
    doubles::ScopedGpoDouble gpo(doubles::env_path(L"VESK_GPO_DOUBLE"));
    capture::PipeCapture pipe;
    doubles::set_policy_value(0xFFFFFFFF);
    CHECK(set_restore_point_policy(true));
    CHECK(doubles::policy_value() == "1");
    CHECK(set_restore_point_policy(false));
    CHECK(doubles::policy_value() == "4294967295");
    doubles::reset_records();
}

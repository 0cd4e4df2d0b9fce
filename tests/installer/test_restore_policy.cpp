// The restore-point policy around an installation: Wine's missing group policy object, and,
// with the test double registered in the prefix, the value set and put back exactly.
// While the policy is off its original waits under the product's key, which only SYSTEM and
// the Administrators may open; a stored original that an earlier installer left is used
// instead of the value found. The 0xFFFFFFFF case runs in a process of its own.
#include <windows.h>
#include <objbase.h>
#include <sddl.h>

#include <doctest.h>

#include <string>
#include <vector>

#include "doubles_support.h"
#include "installer.h"
#include "pipe_capture.h"
#include "restore_point_policy.h"

namespace {
const std::string kAdd =
    "machine=1 add=1 ext={35378EAC-683F-11D2-A89A-00C04FBBCFA2} snapin={3D271CFC-2BC6-4AC2-B633-3BDFF5BDAB2A}";
const std::string kRemove =
    "machine=1 add=0 ext={35378EAC-683F-11D2-A89A-00C04FBBCFA2} snapin={3D271CFC-2BC6-4AC2-B633-3BDFF5BDAB2A}";

// "none", "absent" or the stored value in decimal.
std::string stored_policy() {
    PolicyValue v;
    if (!load_stored_policy(v)) return "none";
    return v.present ? std::to_string(v.value) : "absent";
}

std::wstring stored_key_dacl() {
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kStoredPolicyKey, 0, READ_CONTROL | KEY_WOW64_64KEY, &key) != ERROR_SUCCESS)
        return L"no key";
    std::vector<BYTE> sd(4096);
    DWORD size = static_cast<DWORD>(sd.size());
    const LONG r = RegGetKeySecurity(key, DACL_SECURITY_INFORMATION, sd.data(), &size);
    RegCloseKey(key);
    if (r != ERROR_SUCCESS) return L"unreadable";
    wchar_t* text = nullptr;
    if (!ConvertSecurityDescriptorToStringSecurityDescriptorW(sd.data(), SDDL_REVISION_1, DACL_SECURITY_INFORMATION,
                                                              &text, nullptr))
        return L"unconvertible";
    std::wstring out = text;
    LocalFree(text);
    return out;
}

struct Com {
    Com() { CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED); }
    ~Com() { CoUninitialize(); }
};
}  // namespace

TEST_CASE("without a group policy object (Wine) both steps fail with the COM error and change nothing") {
    Com com;
    RestorePolicySession session;  // one installer run's
    doubles::reset_records();
    REQUIRE(remove_stored_policy() == ERROR_SUCCESS);
    capture::PipeCapture pipe;
    CHECK_FALSE(set_restore_point_policy(session, true));
    CHECK(pipe.wait_for_text("CoCreateInstance failed; hr = 80040154"));
    CHECK(doubles::policy_value() == "no key");
    CHECK(stored_policy() == "none");
}

TEST_CASE("with the policy object: a missing key, a key without the value, then a value of 0") {
    Com com;
    RestorePolicySession session;  // one installer run's
    doubles::reset_records();
    doubles::ScopedGpoDouble gpo(doubles::env_path(L"VESK_GPO_DOUBLE"));
    capture::PipeCapture pipe;

    REQUIRE(remove_stored_policy() == ERROR_SUCCESS);

    // No key at all: created, value 1; the restore deletes the value and leaves the empty key.
    // Meanwhile the absence waits in the product's key, for the Administrators and SYSTEM only.
    CHECK(set_restore_point_policy(session, true));
    CHECK(doubles::policy_value() == "1");
    CHECK(stored_policy() == "absent");
    CHECK(stored_key_dacl() == kStoredPolicySddl);
    CHECK(set_restore_point_policy(session, false));
    CHECK(doubles::policy_value() == "absent");
    CHECK(stored_policy() == "none");
    CHECK(stored_key_dacl() == L"no key");
    CHECK(pipe.wait_for_text("successfully disabled the system restore point creation setting"));
    CHECK(pipe.wait_for_text("successfully restored the system restore point creation setting"));
    CHECK(doubles::gpo_saves() ==
          std::vector<std::string>{kAdd + " DisableSystemRestore=1", kRemove + " DisableSystemRestore=absent"});

    // The key exists without the value: the value that the disable made is deleted again.
    CHECK(set_restore_point_policy(session, true));
    CHECK(doubles::policy_value() == "1");
    CHECK(set_restore_point_policy(session, false));
    CHECK(doubles::policy_value() == "absent");

    // An administrator's 0: saved, 1 during, 0 again after.
    doubles::set_policy_value(0);
    CHECK(set_restore_point_policy(session, true));
    CHECK(doubles::policy_value() == "1");
    CHECK(stored_policy() == "0");
    CHECK(set_restore_point_policy(session, false));
    CHECK(doubles::policy_value() == "0");
    CHECK(stored_policy() == "none");
    CHECK(doubles::gpo_saves().size() == 6);
    doubles::reset_records();
}

TEST_CASE("an original stored by an installer that never restored it wins over the value found") {
    Com com;
    RestorePolicySession session;  // one installer run's
    doubles::reset_records();
    doubles::ScopedGpoDouble gpo(doubles::env_path(L"VESK_GPO_DOUBLE"));
    capture::PipeCapture pipe;
    struct Row {
        PolicyValue stored;
        const char* after;
    };
    static const Row rows[] = {{{true, 0}, "0"}, {{false, 0}, "absent"}, {{true, 7}, "7"}};
    for (const Row& r : rows) {
        CAPTURE(r.after);
        REQUIRE(store_policy(r.stored) == ERROR_SUCCESS);
        doubles::set_policy_value(1);  // what the killed installer left
        CHECK(set_restore_point_policy(session, true));
        CHECK(doubles::policy_value() == "1");
        CHECK(stored_policy() == r.after);
        CHECK(set_restore_point_policy(session, false));
        CHECK(doubles::policy_value() == r.after);
        CHECK(stored_policy() == "none");
    }
    doubles::reset_records();
}

TEST_CASE("a stored original with a descriptor of another's making gets the product's own") {
    Com com;
    doubles::reset_records();
    REQUIRE(remove_stored_policy() == ERROR_SUCCESS);
    HKEY key = nullptr;
    REQUIRE(RegCreateKeyExW(HKEY_LOCAL_MACHINE, kStoredPolicyKey, 0, nullptr, 0, KEY_ALL_ACCESS | KEY_WOW64_64KEY,
                            nullptr, &key, nullptr) == ERROR_SUCCESS);
    RegCloseKey(key);
    CHECK(stored_key_dacl() != kStoredPolicySddl);
    CHECK(stored_policy() == "none");  // a key without the value holds no original
    REQUIRE(store_policy(PolicyValue{true, 0}) == ERROR_SUCCESS);
    CHECK(stored_key_dacl() == kStoredPolicySddl);
    CHECK(stored_policy() == "0");
    REQUIRE(remove_stored_policy() == ERROR_SUCCESS);
}

TEST_CASE("a value of 0xFFFFFFFF is put back, not deleted" *
          doctest::skip(std::getenv("VESK_POLICY_ALL_ONES") == nullptr)) {
    Com com;
    RestorePolicySession session;  // one installer run's
    doubles::reset_records();
    doubles::ScopedGpoDouble gpo(doubles::env_path(L"VESK_GPO_DOUBLE"));
    capture::PipeCapture pipe;
    REQUIRE(remove_stored_policy() == ERROR_SUCCESS);
    doubles::set_policy_value(0xFFFFFFFF);
    CHECK(set_restore_point_policy(session, true));
    CHECK(doubles::policy_value() == "1");
    CHECK(set_restore_point_policy(session, false));
    CHECK(doubles::policy_value() == "4294967295");
    doubles::reset_records();
}

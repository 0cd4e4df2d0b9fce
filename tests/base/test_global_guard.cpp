// The guards of the library calls: one holder at a time, a guard found present answered as
// busy at once, and, where the system has private namespaces, out of reach of a process that
// squats the old global name. Wine 8 has no private namespaces: there the fallback to
// "Global\%s" with its one log line is what runs.
#include <windows.h>
#include <sddl.h>

#include <doctest.h>

#include <string>

#include "global_guard.h"
#include "run_support.h"
#include "vesk_log.h"
#include "wine_cannot.h"

using namespace run_test;

namespace {
bool private_namespaces() {
    HMODULE kernel32 = GetModuleHandleW(L"kernel32");
    for (const char* f : {"CreateBoundaryDescriptorW", "AddSIDToBoundaryDescriptor", "DeleteBoundaryDescriptor",
                          "CreatePrivateNamespaceW", "OpenPrivateNamespaceW", "ClosePrivateNamespace"})
        if (!GetProcAddress(kernel32, f)) return false;
    return true;
}

std::string object_name(const char* function) {
    char name[kMutexNameBytes];
    REQUIRE(guard_object_name(function, name));
    return name;
}
}  // namespace

// First: the line is logged once per process, by the first guard that may log.
TEST_CASE("without private namespaces the guards use the global name and say so once") {
    capture_log();  // the logger's own guards log nothing
    clear_log();
    const std::string fallback =
        "libvesk:warning [vesk_test_guard] No private namespaces on this system - guarding with";
    {
        GlobalGuard first("vesk_test_guard", log_guard_report);
        CHECK(first.status() == VESK_OK);
    }
    GlobalGuard second("vesk_test_guard", log_guard_report);
    CHECK(second.status() == VESK_OK);
    GlobalGuard quiet("vesk_test_quiet", nullptr);  // reports nothing
    CHECK(quiet.status() == VESK_OK);
    if (private_namespaces()) {
        CHECK(object_name("vesk_create_list") == "Morvane-Driver-Setup\\vesk_create_list");
        CHECK_MESSAGE(count_lines("No private namespaces") == 0, dump_log());
    } else {
        CHECK(object_name("vesk_create_list") == "Global\\vesk_create_list");
        CHECK_MESSAGE(count_lines(fallback + " \"Global\\vesk_test_guard\"") == 1, dump_log());
        CHECK(log_lines.size() == 1);
    }
}

TEST_CASE("a guard present already answers busy, in this process and from another") {
    {
        GlobalGuard first("vesk_test_guard", log_guard_report);
        REQUIRE(first.status() == VESK_OK);
        GlobalGuard second("vesk_test_guard", log_guard_report);
        CHECK(second.status() == VESK_ERR_BUSY);
        GlobalGuard other("vesk_test_other", log_guard_report);
        CHECK(other.status() == VESK_OK);
    }
    GlobalGuard again("vesk_test_guard", log_guard_report);
    CHECK(again.status() == VESK_OK);

    // A holder elsewhere: a named object of the guard's own name, as another process makes it.
    // Only where the name is the global one can a test process make it at all without the
    // namespace (Wine): there it is the plain name.
    if (!private_namespaces()) {
        HANDLE held = CreateMutexA(nullptr, TRUE, object_name("vesk_test_held").c_str());
        REQUIRE(held);
        GlobalGuard guard("vesk_test_held", log_guard_report);
        CHECK(guard.status() == VESK_ERR_BUSY);
        CloseHandle(held);
        GlobalGuard after("vesk_test_held", log_guard_report);
        CHECK(after.status() == VESK_OK);
    }
}

TEST_CASE("a squatter of the old global name with a descriptor of its own" * WINDOWS_ONLY) {
    if (wine_cannot("Wine 8 has no private namespaces: the guards fall back to the global name, which a squatter "
                    "can hold"))
        return;
    REQUIRE(private_namespaces());
    struct Row {
        const wchar_t* sddl;  // null: the default descriptor
        const char* what;
    };
    static const Row rows[] = {{nullptr, "default"}, {L"D:P(A;;GA;;;WD)", "everyone"}, {L"D:P(D;;GA;;;WD)", "nobody"}};
    for (const Row& r : rows) {
        CAPTURE(std::string(r.what));
        UniqueLocal sd;
        if (r.sddl)
            REQUIRE(ConvertStringSecurityDescriptorToSecurityDescriptorW(
                r.sddl, SDDL_REVISION_1, reinterpret_cast<PSECURITY_DESCRIPTOR*>(sd.put()), nullptr));
        SECURITY_ATTRIBUTES sa = {sizeof sa, sd.get(), FALSE};
        UniqueHandle squat(CreateMutexW(r.sddl ? &sa : nullptr, FALSE, L"Global\\vesk_test_squatted"));
        REQUIRE(squat);
        GlobalGuard guard("vesk_test_squatted", log_guard_report);
        CHECK(guard.status() == VESK_OK);  // the name that counts is in the namespace
    }
}

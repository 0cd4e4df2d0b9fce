#include "wine_cannot.h"

#if defined(_WIN32)
#include <windows.h>
#endif

#include <cstdio>
#include <set>
#include <string>
#include <vector>

namespace {
struct Skip {
    std::string name;
    std::string reason;
};
std::vector<Skip> skips;
int cases_run = 0;
std::string current_case;

// Counts the cases that ran, whatever the reporter.
struct CaseCounter : doctest::IReporter {
    explicit CaseCounter(const doctest::ContextOptions&) {}
    void report_query(const doctest::QueryData&) override {}
    void test_run_start() override {}
    void test_run_end(const doctest::TestRunStats&) override {}
    void test_case_start(const doctest::TestCaseData& data) override {
        ++cases_run;
        current_case = data.m_name;
    }
    void test_case_reenter(const doctest::TestCaseData&) override {}
    void test_case_end(const doctest::CurrentTestCaseStats&) override {}
    void test_case_exception(const doctest::TestCaseException&) override {}
    void subcase_start(const doctest::SubcaseSignature&) override {}
    void subcase_end() override {}
    void log_assert(const doctest::AssertData&) override {}
    void log_message(const doctest::MessageData&) override {}
    void test_case_skipped(const doctest::TestCaseData&) override {}
};
DOCTEST_REGISTER_LISTENER("vesk_case_counter", 1, CaseCounter);
}  // namespace

bool running_on_wine() {
#if defined(_WIN32)
    HMODULE ntdll = GetModuleHandleW(L"ntdll");
    return ntdll && GetProcAddress(ntdll, "wine_get_version") != nullptr;
#else
    return false;
#endif
}

bool wine_cannot(const char* reason) {
    if (!running_on_wine()) return false;
    for (const Skip& s : skips)
        if (s.name == current_case && s.reason == reason) return true;  // re-entered for its next subcase
    skips.push_back({current_case, reason});
    return true;
}

int finish_with_skips(int result) {
    for (const Skip& s : skips) std::printf("SKIPPED: %s: %s\n", s.name.c_str(), s.reason.c_str());
    std::fflush(stdout);
    std::set<std::string> skipped_cases;
    for (const Skip& s : skips) skipped_cases.insert(s.name);
    if (result == 0 && !skipped_cases.empty() && static_cast<int>(skipped_cases.size()) == cases_run)
        return kSkipExitCode;
    return result;
}

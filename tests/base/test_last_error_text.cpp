#include <windows.h>

#include <doctest.h>

#include <atomic>
#include <cstring>
#include <initializer_list>
#include <span>
#include <string>
#include <thread>

#include "pki_error_text.h"
#include "error_text.h"
#include "libvesk.h"
#include "code_texts.h"

TEST_CASE("a Windows error is its bracketed code and the system's text, without the line end") {
    const std::string text = last_error_text(ERROR_ACCESS_DENIED);
    CHECK(GetLastError() == ERROR_ACCESS_DENIED);
    REQUIRE(text.rfind("[0x00000005] ", 0) == 0);
    const std::string message = text.substr(13);
    CHECK(!message.empty());
    CHECK(message.find_first_of("\r\n") == std::string::npos);
    CHECK(message.back() != ' ');

    // An HRESULT shows the message of its low 16 bits, with the whole code in brackets.
    const std::string hr = last_error_text(static_cast<uint32_t>(E_ACCESSDENIED));
    CHECK(hr == "[0x80070005] " + message);
    CHECK(GetLastError() == static_cast<DWORD>(E_ACCESSDENIED));
}

TEST_CASE("code 0 describes the thread's last error") {
    SetLastError(ERROR_FILE_NOT_FOUND);
    const std::string text = last_error_text(0);
    CHECK(text.rfind("[0x00000002] ", 0) == 0);
    CHECK(text.size() > 13);
    CHECK(GetLastError() == ERROR_FILE_NOT_FOUND);
}

TEST_CASE("a code without a system message") {
    // Low 16 bits 0xFFFF have no message on Windows or Wine. Wine has no texts for SetupAPI
    // codes such as 0xE000020B either, but Windows has: those are not used here.
    SetLastError(0xdeadbeef);
    const std::string text = last_error_text(0x2000FFFFu);
    CHECK(text == "Windows error code 0x2000FFFF");
    CHECK(GetLastError() == 0x2000FFFFu);
}

TEST_CASE("PkiErrorText outside its table: the whole code first, its low 16 bits only for FACILITY_WIN32") {
    // So E_NOTIMPL never reads as error 1 ("Invalid function."), nor a trust error as the
    // unrelated Win32 error of its low bits. Texts as Wine 8 has them; Windows also has texts
    // for the trust codes that Wine lacks.
    static const CodeText<uint32_t> rows[] = {
        {0x800B0100, "[0x800B0100] No Signature found in file."},
        {0x80004001, "[0x80004001] Not implemented."},
        {0x80004005, "[0x80004005] Call failed."},
        {0x80070002, "[0x80070002] File not found."},
        {0x8007000E, "[0x8007000E] Out of memory."},
        {0x00000005, "[0x00000005] Access denied."},
        {0x800B0109, "Windows error code 0x800B0109"},  // CERT_E_UNTRUSTEDROOT, not error 0x109
        {0x800B010A, "Windows error code 0x800B010A"},
        {0x800B0001, "Windows error code 0x800B0001"},  // not error 1
        {0x800B0003, "Windows error code 0x800B0003"},  // not error 3
    };
    for (const auto& r : rows) {
        CAPTURE(r.code);
        CHECK(std::string(PkiErrorText(r.code)) == r.text);
        CHECK(GetLastError() == r.code);
    }
}

TEST_CASE("a language the system lacks falls back to the next one") {
    // Wine, like a Windows without the English language pack for English, has no Zulu (0x0435)
    // resources: that request fails with ERROR_RESOURCE_LANG_NOT_FOUND.
    constexpr uint16_t kMissing = 0x0435, kGerman = 0x0407;
    char out[128];
    struct Case {
        const char* name;
        std::initializer_list<uint16_t> languages;
        bool found;
        const char* text;
        uint32_t format_error;
    };
    const Case cases[] = {
        {"US English first", {0x0409, 0}, true, "Access denied.", 0},
        {"a missing language, then the system's choice", {kMissing, 0}, true, "Access denied.", 0},
        {"a missing language, then German", {kMissing, kGerman}, true, "Zugriff verweigert.", 0},
        {"only a missing language", {kMissing}, false, "", ERROR_RESOURCE_LANG_NOT_FOUND},
    };
    for (const Case& c : cases) {
        CAPTURE(c.name);
        std::memset(out, 'x', sizeof out);
        const SystemMessage m = system_message(ERROR_ACCESS_DENIED, out, sizeof out, "\r\n ",
                                               std::span(c.languages.begin(), c.languages.size()));
        CHECK(m.found == c.found);
        CHECK(std::string(out) == c.text);
        CHECK(m.format_error == c.format_error);
    }
    SUBCASE("a code without a message in any language reports the last request's error") {
        const uint16_t languages[] = {kMissing, 0};
        const SystemMessage m = system_message(0x2000FFFFu, out, sizeof out, "\r\n", languages);
        CHECK(!m.found);
        CHECK(m.format_error == ERROR_MR_MID_NOT_FOUND);
        CHECK(out[0] == '\0');
    }
    SUBCASE("a message is cut to whole characters and kept terminated") {
        char small[8];
        const uint16_t languages[] = {kGerman};
        const SystemMessage m = system_message(ERROR_ACCESS_DENIED, small, sizeof small, "", languages);
        CHECK(m.found);
        CHECK(std::string(small) == "Zugriff");
        char tiny[4];  // "Zugr" does not fit with its terminator
        CHECK(system_message(ERROR_ACCESS_DENIED, tiny, sizeof tiny, "", languages).found);
        CHECK(std::string(tiny) == "Zug");
    }
}

TEST_CASE("two threads formatting different codes at once each keep their own text") {
    // Every text comes from a buffer of the calling thread: with one shared buffer the other
    // thread's text shows up between the call and the comparison.
    struct Texts {
        std::string windows, pki, result;
    };
    auto texts_of = [](uint32_t windows, uint32_t pki, int result) {
        return Texts{last_error_text(windows), PkiErrorText(pki), vesk_error_text(result)};
    };
    const Texts want[2] = {texts_of(ERROR_FILE_NOT_FOUND, 0x8009FFF1, -1001),
                           texts_of(ERROR_ACCESS_DENIED, 0x8009FFF2, -2002)};
    REQUIRE(want[0].windows != want[1].windows);
    REQUIRE(want[0].pki != want[1].pki);
    REQUIRE(want[0].result != want[1].result);
    std::atomic<int> ready{0};
    int mismatches[2] = {0, 0};
    auto run = [&](int i) {
        const uint32_t windows = i ? ERROR_ACCESS_DENIED : ERROR_FILE_NOT_FOUND;
        const uint32_t pki = i ? 0x8009FFF2 : 0x8009FFF1;
        const int result = i ? -2002 : -1001;
        ready.fetch_add(1);
        while (ready.load() < 2) std::this_thread::yield();
        for (int round = 0; round < 3000; ++round) {
            const char* a = last_error_text(windows);
            const char* b = PkiErrorText(pki);
            const char* c = vesk_error_text(result);
            std::this_thread::yield();
            if (want[i].windows != a || want[i].pki != b || want[i].result != c) ++mismatches[i];
        }
    };
    std::thread other(run, 1);
    run(0);
    other.join();
    CHECK(mismatches[0] == 0);
    CHECK(mismatches[1] == 0);
}

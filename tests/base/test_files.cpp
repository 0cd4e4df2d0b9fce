// Owner-restricted creation and the UTF-8 adaptors, in a scratch directory below TEMP.
#include <windows.h>
#include <aclapi.h>
#include <sddl.h>

#include <doctest.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>

#include "files.h"
#include "owners.h"
#include "wine_cannot.h"

namespace {
// check_dir as an operation of its own, with a Shell32 table of its own (the library always
// calls it within an operation that has the table).
vesk_result check_dir(const char* path) {
    Shell32 shell32;
    if (!load_table(shell32, "check_dir")) return VESK_ERR_NO_RESOURCE;
    return ::check_dir(shell32, path);
}

std::string scratch() {
    static std::string dir;
    if (dir.empty()) {
        Utf8 temp(temp_directory());
        REQUIRE(temp);
        dir = std::string(temp.get()) + "\\vesk-files-" + std::to_string(GetCurrentProcessId());
        REQUIRE(check_dir(dir.c_str()) == VESK_OK);
    }
    return dir;
}

bool is_dir(const std::string& p) {
    const DWORD a = utf8_file_attributes(p.c_str());
    return a != INVALID_FILE_ATTRIBUTES && (a & FILE_ATTRIBUTE_DIRECTORY);
}

std::string slurp(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    std::stringstream ss;
    ss << f.rdbuf();
    return ss.str();
}

UniqueLocal sid_from(const wchar_t* text) {
    PSID sid = nullptr;
    REQUIRE(ConvertStringSidToSidW(text, &sid));
    return UniqueLocal(sid);
}

// The owner a file or directory reads back with.
UniqueLocal owner_of(const std::string& path) {
    Utf16 w(to_utf16(path.c_str()));
    PSID owner = nullptr;
    PSECURITY_DESCRIPTOR sd = nullptr;
    REQUIRE(GetNamedSecurityInfoW(w.get(), SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION, &owner, nullptr, nullptr,
                                  nullptr, &sd) == ERROR_SUCCESS);
    UniqueLocal owned_sd(sd);
    const DWORD n = GetLengthSid(owner);
    UniqueLocal copy(LocalAlloc(LMEM_FIXED, n));
    REQUIRE(CopySid(n, copy.get(), owner));
    return copy;
}

}  // namespace

TEST_CASE("GetSid is the token's user") {
    UniqueLocal sid(GetSid());
    REQUIRE(sid);
    CHECK(IsValidSid(sid.get()));
    HANDLE token = nullptr;
    REQUIRE(OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token));
    UniqueHandle owned(token);
    char buf[256];
    DWORD size = 0;
    REQUIRE(GetTokenInformation(token, TokenUser, buf, sizeof buf, &size));
    CHECK(EqualSid(reinterpret_cast<TOKEN_USER*>(buf)->User.Sid, sid.get()));
}

// Administrators own what the library creates, never the user (the descriptor it builds is
// checked as data in test_security_descriptors).
TEST_CASE("a directory and a file the library creates read back owned by Administrators" * WINDOWS_ONLY) {
    if (wine_cannot("Wine reads every file's owner back as the Unix user, whatever owner was set")) return;
    const std::string dir = scratch() + "\\owned\\deeper";
    REQUIRE(check_dir(dir.c_str()) == VESK_OK);
    const std::string file = dir + "\\owned.bin";
    FILE* f = fopen_as_userU(file.c_str());
    REQUIRE(f);
    std::fclose(f);
    UniqueLocal admins(sid_from(L"BA"));
    for (const std::string& path : {scratch() + "\\owned", dir, file}) {
        CAPTURE(path);
        CHECK(EqualSid(owner_of(path).get(), admins.get()));
    }
}

TEST_CASE("check_dir") {
    const std::string base = scratch();
    SUBCASE("an existing directory is accepted as it is") { CHECK(check_dir(base.c_str()) == VESK_OK); }
    SUBCASE("a file is refused") {
        const std::string file = base + "\\plain.txt";
        FILE* f = fopen_as_userU(file.c_str());
        REQUIRE(f);
        std::fclose(f);
        CHECK(check_dir(file.c_str()) == VESK_ERR_ACCESS_DENIED);
    }
    SUBCASE("three missing levels are created") {
        const std::string deep = base + "\\a\\b\\c";
        CHECK(check_dir(deep.c_str()) == VESK_OK);
        CHECK(is_dir(deep));
    }
    SUBCASE("a relative path lives below the program's directory") {
        const std::string name = "vesk-relative-" + std::to_string(GetCurrentProcessId());
        CHECK(check_dir(name.c_str()) == VESK_OK);
        char dir[kPathBytes];
        REQUIRE(program_directory(dir) > 0);
        const std::string full = std::string(dir) + "\\" + name;
        CHECK(is_dir(full));
        Utf16 w(to_utf16(full.c_str()));
        CHECK(RemoveDirectoryW(w.get()));
    }
}

TEST_CASE("fopen_as_userU empties a file and writes bytes untranslated") {
    const std::string file = scratch() + "\\bytes.bin";
    FILE* f = fopen_as_userU(file.c_str());
    REQUIRE(f);
    std::fputs("a much longer first content\r\n", f);
    std::fclose(f);
    f = fopen_as_userU(file.c_str());
    REQUIRE(f);
    std::fputs("x\ny", f);
    std::fclose(f);
    CHECK(slurp(file) == "x\ny");

    CHECK(fopen_as_userU(nullptr) == nullptr);
    SetLastError(0xdeadbeef);
    CHECK(fopen_as_userU((scratch() + "\\missing\\dir\\f.txt").c_str()) == nullptr);
    CHECK(GetLastError() == ERROR_PATH_NOT_FOUND);
}

TEST_CASE("conversions: null, empty and non-ASCII") {
    CHECK(to_utf16(nullptr) == nullptr);
    CHECK(to_utf8(nullptr) == nullptr);
    Utf16 empty16(to_utf16(""));
    REQUIRE(empty16);
    CHECK(empty16.get()[0] == L'\0');
    Utf8 empty8(to_utf8(L""));
    REQUIRE(empty8);
    CHECK(empty8.get()[0] == '\0');
    Utf16 w(
        to_utf16("Gr\xC3\xBC\xC3\x9F"
                 "e"));  // "Grüße"
    REQUIRE(w);
    CHECK(std::wstring(w.get()) == L"Gr\u00FC\u00DFe");
    Utf8 back(to_utf8(w.get()));
    CHECK(std::string(back.get()) ==
          "Gr\xC3\xBC\xC3\x9F"
          "e");
}

TEST_CASE("adaptors leave the wrapped call's last error") {
    const std::string base = scratch();
    SetLastError(0xdeadbeef);
    CHECK(utf8_create_file((base + "\\no\\such\\f").c_str(), GENERIC_WRITE, nullptr) == INVALID_HANDLE_VALUE);
    CHECK(GetLastError() == ERROR_PATH_NOT_FOUND);

    SetLastError(0xdeadbeef);
    CHECK(utf8_file_attributes((base + "\\never-made").c_str()) == INVALID_FILE_ATTRIBUTES);
    CHECK(GetLastError() == ERROR_FILE_NOT_FOUND);

    // A quoted path is looked up without its quotes.
    CHECK((utf8_file_attributes(("\"" + base + "\"").c_str()) & FILE_ATTRIBUTE_DIRECTORY) != 0);

    Shell32 shell32;
    REQUIRE(load_table(shell32, "test"));
    CHECK(utf8_create_directory(shell32, (base + "\\x\\y").c_str(), nullptr) == ERROR_SUCCESS);
    CHECK(utf8_create_directory(shell32, (base + "\\x\\y").c_str(), nullptr) == ERROR_ALREADY_EXISTS);

    SHELLEXECUTEINFOA sei = {};
    sei.cbSize = sizeof sei - 4;
    SetLastError(0xdeadbeef);
    CHECK_FALSE(utf8_shell_execute(shell32, &sei));
    CHECK(GetLastError() == ERROR_BAD_LENGTH);

    STARTUPINFOA si = {};
    si.cb = sizeof si + 1;
    PROCESS_INFORMATION pi = {};
    SetLastError(0xdeadbeef);
    CHECK_FALSE(utf8_create_process("cmd.exe /c exit 0", nullptr, &si, &pi));
    CHECK(GetLastError() == ERROR_BAD_LENGTH);
}

TEST_CASE("process_exit_result maps exit codes") {
    struct Row {
        const char* command;
        vesk_result want;
    };
    static const Row rows[] = {
        {"cmd.exe /c exit 0", VESK_OK},
        {"cmd.exe /c exit 5", VESK_ERR_OTHER},
    };
    for (const Row& r : rows) {
        CAPTURE(r.command);
        STARTUPINFOA si = {};
        si.cb = sizeof si;
        PROCESS_INFORMATION pi = {};
        REQUIRE(utf8_create_process(r.command, nullptr, &si, &pi));
        UniqueHandle process(pi.hProcess), thread(pi.hThread);
        REQUIRE(WaitForSingleObject(pi.hProcess, 10000) == WAIT_OBJECT_0);
        CHECK(process_exit_result(pi.hProcess) == r.want);
    }
    // A process that is still running reports STILL_ACTIVE.
    CHECK(process_exit_result(GetCurrentProcess()) == VESK_ERR_TIMED_OUT);
}

TEST_CASE("program_directory and temp_directory") {
    char dir[kPathBytes];
    const std::size_t n = program_directory(dir);
    REQUIRE(n > 0);
    CHECK(n == std::strlen(dir));
    CHECK(dir[n - 1] != '\\');
    CHECK(is_dir(dir));
    Utf8 temp(temp_directory());
    REQUIRE(temp);
    CHECK(is_dir(temp.get()));
}

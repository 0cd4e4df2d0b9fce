// The installer is held against writing and deleting while its bytes are compared with the ones
// the program carries and its process is started; another file under its name is never started.
#include <windows.h>

#include <doctest.h>

#include <cstdio>
#include <string>

#include "installer_image.h"
#include "run_support.h"

using namespace run_test;

namespace {
void write_bytes(const std::string& path, const std::string& bytes) {
    FILE* f = std::fopen(path.c_str(), "wb");
    REQUIRE(f);
    CHECK(std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size());
    std::fclose(f);
}

HANDLE open_for(const std::string& path, DWORD access) {
    return CreateFileA(path.c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                       OPEN_EXISTING, 0, nullptr);
}
}  // namespace

TEST_CASE("a held installer can be read but neither written, deleted nor renamed") {
    Package p("exit:0");
    char name[kProgramNameBytes];
    REQUIRE(installer_program_name(GetPlatformArch(), name));
    const std::string path = p.file(name);
    UniqueFile held;
    REQUIRE(hold_installer(p.dir().c_str(), name, held) == VESK_OK);
    REQUIRE(held);
    HANDLE h = open_for(path, GENERIC_WRITE);
    CHECK(h == INVALID_HANDLE_VALUE);
    CHECK(GetLastError() == ERROR_SHARING_VIOLATION);
    CHECK_FALSE(DeleteFileA(path.c_str()));
    CHECK_FALSE(MoveFileA(path.c_str(), (path + ".old").c_str()));
    h = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    CHECK(h != INVALID_HANDLE_VALUE);
    CloseHandle(h);
    held.reset();
    h = open_for(path, GENERIC_WRITE);
    CHECK(h != INVALID_HANDLE_VALUE);
    CloseHandle(h);
}

TEST_CASE("an installer that differs from the carried one is refused and never started") {
    capture_log();
    char name[kProgramNameBytes];
    REQUIRE(installer_program_name(GetPlatformArch(), name));
    struct Row {
        const char* what;
        void (*change)(const std::string& path);
    };
    static const Row rows[] = {
        {"one byte changed",
         [](const std::string& path) {
             std::string bytes = read_text(path);
             bytes[bytes.size() / 2] = static_cast<char>(bytes[bytes.size() / 2] ^ 0x5A);
             write_bytes(path, bytes);
         }},
        {"one byte more", [](const std::string& path) { write_bytes(path, read_text(path) + "x"); }},
        {"cut short", [](const std::string& path) { write_bytes(path, read_text(path).substr(0, 4096)); }},
    };
    for (const Row& r : rows) {
        CAPTURE(r.what);
        Package p("print:started exit:0");
        r.change(p.file(name));
        TestDevice d;
        clear_log();
        CHECK(vesk_install_driver(&d.record, p.dir().c_str(), "x.inf", nullptr) == VESK_ERR_ACCESS_DENIED);
        CHECK_MESSAGE(
            has_line("[hold_installer] Installer '" + p.file(name) + "' is not the one this application carries"),
            dump_log());
        CHECK_FALSE(has_line("started"));
    }
    // The same bytes pass.
    Package p("exit:0");
    UniqueFile held;
    CHECK(hold_installer(p.dir().c_str(), name, held) == VESK_OK);
}

// vesk_is_driver_supported and the co-installer's version, read from the carried bytes: the
// same record as the version library reads from the written file, and nothing done in TEMP.
#include <windows.h>
#include <winioctl.h>

#include <doctest.h>

#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "driver_support.h"
#include "package_support.h"
#include "payload.h"
#include "pe_version.h"

using namespace pkgtest;

namespace {
bool is_zero(const VS_FIXEDFILEINFO& v) {
    static const VS_FIXEDFILEINFO zero{};
    return std::memcmp(&v, &zero, sizeof v) == 0;
}

const payload_entry& version_row() {
    for (const payload_entry& r : payload_table)
        if (std::strcmp(r.file_name, "winusbcoinstaller2.dll") == 0) return r;
    FAIL("no co-installer row");
    return payload_table[0];
}

// What the version library reads from a file.
std::optional<VS_FIXEDFILEINFO> library_version(const std::string& path) {
    const std::wstring wide = widen(path);
    DWORD handle = 0;
    const DWORD size = GetFileVersionInfoSizeW(wide.c_str(), &handle);
    if (size == 0) return std::nullopt;
    std::vector<unsigned char> block(size);
    VS_FIXEDFILEINFO* fixed = nullptr;
    UINT fixed_size = 0;
    if (!GetFileVersionInfoW(wide.c_str(), 0, size, block.data()) ||
        !VerQueryValueW(block.data(), L"\\", reinterpret_cast<void**>(&fixed), &fixed_size) || !fixed ||
        fixed_size < sizeof *fixed)
        return std::nullopt;
    return *fixed;
}

// The version as the library once read it: the row written to a file, read by the version
// library (here in a directory of the test's own).
VS_FIXEDFILEINFO version_of_written_row() {
    ScratchDir d;
    const payload_entry& r = version_row();
    const std::string path = d.path() + "\\" + r.file_name;
    write_file(path, std::string(reinterpret_cast<const char*>(r.bytes), static_cast<uint32_t>(r.length)));
    const std::optional<VS_FIXEDFILEINFO> v = library_version(path);
    REQUIRE(v.has_value());
    return *v;
}

// Equal apart from the file date, which the library takes from the payload row.
bool same_version(const VS_FIXEDFILEINFO& a, const VS_FIXEDFILEINFO& b) {
    return std::memcmp(&a, &b, offsetof(VS_FIXEDFILEINFO, dwFileDateMS)) == 0;
}
}  // namespace

TEST_CASE("WinUSB without a record is supported and writes nothing to TEMP") {
    ScratchDir temp;
    ScopedEnv env(L"TEMP", widen(temp.path()).c_str());
    CHECK(vesk_is_driver_supported(VESK_DRIVER_WINUSB, nullptr) == 1);
    std::vector<std::string> files;
    list_files(temp.path(), "", files);
    CHECK(files.empty());
}

TEST_CASE("WinUSB with a record: the co-installer's version and row 2's date, no file left in TEMP") {
    ScratchDir temp;
    ScopedEnv env(L"TEMP", widen(temp.path()).c_str());
    VS_FIXEDFILEINFO v;
    std::memset(&v, 0xAB, sizeof v);
    CHECK(vesk_is_driver_supported(VESK_DRIVER_WINUSB, &v) == 1);
    CHECK(v.dwSignature == 0xFEEF04BD);
    // 2012-06-02 07:35:28 UTC as a file time.
    const uint64_t want = (1338622528ULL + 11644473600ULL) * 10000000ULL;
    CHECK(v.dwFileDateMS == static_cast<DWORD>(want >> 32));
    CHECK(v.dwFileDateLS == static_cast<DWORD>(want & 0xFFFFFFFFu));
#if VESK_PAYLOAD_STANDINS
    CHECK(v.dwFileVersionMS == ((VESK_STANDIN_V1 << 16) | VESK_STANDIN_V2));
    CHECK(v.dwFileVersionLS == ((VESK_STANDIN_V3 << 16) | VESK_STANDIN_V4));
#else
    CHECK(v.dwFileVersionMS != 0);
#endif
    CHECK(same_version(v, version_of_written_row()));
    CHECK(std::memcmp(&version_cache[VESK_DRIVER_WINUSB], &v, sizeof v) == 0);
    std::vector<std::string> files;
    list_files(temp.path(), "", files);
    CHECK(files.empty());
}

TEST_CASE("the other kinds") {
    VS_FIXEDFILEINFO v;
    std::memset(&v, 0xAB, sizeof v);
    CHECK(vesk_is_driver_supported(VESK_DRIVER_CDC, &v) == 1);
    VS_FIXEDFILEINFO untouched;
    std::memset(&untouched, 0xAB, sizeof untouched);
    CHECK(std::memcmp(&v, &untouched, sizeof v) == 0);

    CHECK(vesk_is_driver_supported(VESK_DRIVER_LIBUSB0, &v) == 0);
    CHECK(is_zero(v));
    CHECK(vesk_is_driver_supported(VESK_DRIVER_LIBUSBK, &v) == 0);
    CHECK(is_zero(v));

    {
        LogCapture log;
        CHECK(vesk_is_driver_supported(VESK_DRIVER_USER, nullptr) == 0);
        CHECK(log.text().empty());
    }
    for (int kind : {5, -1, 1000}) {
        CAPTURE(kind);
        LogCapture log;
        CHECK(vesk_is_driver_supported(kind, nullptr) == 0);
        CHECK(log.has("libvesk:error [vesk_is_driver_supported] Unknown driver type"));
    }
    CHECK(get_version_info(4, &v) == VESK_ERR_INVALID_PARAMETER);
    CHECK(get_version_info(VESK_DRIVER_WINUSB, nullptr) == VESK_ERR_INVALID_PARAMETER);
    CHECK(get_version_info(VESK_DRIVER_LIBUSB0, &v) == VESK_ERR_NOT_FOUND);  // no payload row of that name
}

TEST_CASE("TEMP unset: the version is read all the same, without a message") {
    version_cache[VESK_DRIVER_WINUSB] = {};
    ScopedEnv env(L"TEMP", nullptr);
    VS_FIXEDFILEINFO v;
    std::memset(&v, 0xAB, sizeof v);
    LogCapture log;
    CHECK(vesk_is_driver_supported(VESK_DRIVER_WINUSB, &v) == 1);
    CHECK(v.dwSignature == 0xFEEF04BD);
    CHECK(std::memcmp(&version_cache[VESK_DRIVER_WINUSB], &v, sizeof v) == 0);
    CHECK(log.text().empty());
}

TEST_CASE("a filled cache slot answers without touching TEMP") {
    ScratchDir temp;
    {
        ScopedEnv env(L"TEMP", widen(temp.path()).c_str());
        VS_FIXEDFILEINFO v{};
        REQUIRE(get_version_info(VESK_DRIVER_WINUSB, &v) == VESK_OK);
    }
    ScopedEnv env(L"TEMP", nullptr);
    VS_FIXEDFILEINFO again{};
    LogCapture log;
    CHECK(get_version_info(VESK_DRIVER_WINUSB, &again) == VESK_OK);
    CHECK(again.dwSignature == 0xFEEF04BD);
    CHECK(log.text().empty());
}

namespace {
// What a probe must leave as it found it at a name in TEMP: the name's own attributes (a link
// not followed), where a link points, and the bytes or listing reached through it.
struct Snapshot {
    DWORD attributes = INVALID_FILE_ATTRIBUTES;
    std::vector<unsigned char> reparse;  // the link's reparse data, empty for no link
    std::string content;                 // a file's bytes, or a directory's listing

    bool operator==(const Snapshot&) const = default;
};

std::vector<unsigned char> reparse_data(const std::string& path) {
    UniqueFile f(CreateFileW(widen(path).c_str(), FILE_READ_ATTRIBUTES,
                             FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                             FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    std::vector<unsigned char> buffer(MAXIMUM_REPARSE_DATA_BUFFER_SIZE);
    DWORD got = 0;
    if (!f || !DeviceIoControl(f.get(), FSCTL_GET_REPARSE_POINT, nullptr, 0, buffer.data(),
                               static_cast<DWORD>(buffer.size()), &got, nullptr))
        return {};
    buffer.resize(got);
    return buffer;
}

Snapshot snapshot(const std::string& path) {
    Snapshot s;
    s.attributes = GetFileAttributesW(widen(path).c_str());
    if (s.attributes != INVALID_FILE_ATTRIBUTES && (s.attributes & FILE_ATTRIBUTE_REPARSE_POINT))
        s.reparse = reparse_data(path);
    if (is_dir(path)) {
        std::vector<std::string> files;
        list_files(path, "", files);
        for (const std::string& f : files) s.content += f + "=" + read_file(path + "\\" + f) + "\n";
    } else {
        s.content = read_file(path);
    }
    return s;
}

enum class Plant { read_only_file, directory_link, file_link };

// Where a row's planted name lives (TEMP for the probe) and where a link points (elsewhere).
struct Planted {
    std::string what;  // empty: this row cannot be planted here
    std::string temp, elsewhere;
};

// The links the ctest fixture made on the Unix side (Wine 8 reports CreateSymbolicLinkW as done
// but makes nothing, and has no reparse points): <dir>\temp-dir and <dir>\temp-file each hold
// winusbcoinstaller2.dll, a link to <dir>\elsewhere\dir and to <dir>\elsewhere\victim.txt.
std::string fixture_links() {
    char unix_path[MAX_PATH] = "";
    if (GetEnvironmentVariableA("VESK_PLANTED_LINKS", unix_path, MAX_PATH) == 0) return {};
    std::string dos = std::string("Z:") + unix_path;
    for (char& c : dos)
        if (c == '/') c = '\\';
    return dos;
}

bool made(const std::string& path) { return GetFileAttributesW(widen(path).c_str()) != INVALID_FILE_ATTRIBUTES; }

// Plants under TEMP's co-installer name what the row says. A link is made through the API where
// that works (Windows), else the fixture's is used; without either, a directory link is stood
// in for by a plain directory and a file link is not run.
Planted plant(Plant kind, const ScratchDir& temp, const ScratchDir& elsewhere) {
    const std::string name = temp.path() + "\\winusbcoinstaller2.dll";
    switch (kind) {
        case Plant::read_only_file:
            write_file(name, "not a DLL: the user's own file\r\n");
            REQUIRE(SetFileAttributesW(widen(name).c_str(), FILE_ATTRIBUTE_READONLY));
            return {"a read-only file", temp.path(), elsewhere.path()};
        case Plant::directory_link: {
            const std::string target = elsewhere.path() + "\\dir";
            REQUIRE(CreateDirectoryW(widen(target).c_str(), nullptr));
            write_file(target + "\\inside.txt", "a file behind the link\r\n");
            if (CreateSymbolicLinkW(widen(name).c_str(), widen(target).c_str(),
                                    SYMBOLIC_LINK_FLAG_DIRECTORY | SYMBOLIC_LINK_FLAG_ALLOW_UNPRIVILEGED_CREATE) &&
                made(name))
                return {"a directory symbolic link", temp.path(), elsewhere.path()};
            if (const std::string links = fixture_links(); !links.empty())
                return {"a Unix directory symbolic link", links + "\\temp-dir", links + "\\elsewhere"};
            REQUIRE(CreateDirectoryW(widen(name).c_str(), nullptr));
            return {"a directory (no link could be made)", temp.path(), elsewhere.path()};
        }
        case Plant::file_link: {
            const std::string target = elsewhere.path() + "\\victim.txt";
            write_file(target, "a file an administrator's write would replace\r\n");
            if (CreateSymbolicLinkW(widen(name).c_str(), widen(target).c_str(),
                                    SYMBOLIC_LINK_FLAG_ALLOW_UNPRIVILEGED_CREATE) &&
                made(name))
                return {"a file symbolic link", temp.path(), elsewhere.path()};
            if (const std::string links = fixture_links(); !links.empty())
                return {"a Unix file symbolic link", links + "\\temp-file", links + "\\elsewhere"};
            return {};
        }
    }
    return {};
}

// Removes what was planted in a scratch TEMP before the scratch directories go, so that no
// removal reaches through a link.
struct Unplant {
    std::string name;
    ~Unplant() {
        const std::wstring w = widen(name);
        SetFileAttributesW(w.c_str(), FILE_ATTRIBUTE_NORMAL);
        if (!RemoveDirectoryW(w.c_str())) DeleteFileW(w.c_str());
    }
};
}  // namespace

TEST_CASE("a file or link planted in TEMP under the co-installer's name is left as it is") {
    const VS_FIXEDFILEINFO expected = version_of_written_row();
    for (Plant kind : {Plant::read_only_file, Plant::directory_link, Plant::file_link}) {
        ScratchDir temp, elsewhere;
        const Unplant unplant{temp.path() + "\\winusbcoinstaller2.dll"};
        const Planted p = plant(kind, temp, elsewhere);
        if (p.what.empty()) {
            MESSAGE("no file symbolic link could be made here: that row is not run");
            continue;
        }
        CAPTURE(p.what);
        const std::string name = p.temp + "\\winusbcoinstaller2.dll";
        const Snapshot at_name = snapshot(name);
        const Snapshot behind = snapshot(p.elsewhere);
        const Snapshot in_temp = snapshot(p.temp);
        REQUIRE(at_name.attributes != INVALID_FILE_ATTRIBUTES);
        if (p.what.find(" symbolic link") != std::string::npos) REQUIRE_FALSE(behind.content.empty());
        if (p.what.rfind("a directory symbolic", 0) == 0 || p.what.rfind("a file symbolic", 0) == 0)
            CHECK_FALSE(at_name.reparse.empty());

        version_cache[VESK_DRIVER_WINUSB] = {};
        VS_FIXEDFILEINFO v{};
        {
            ScopedEnv env(L"TEMP", widen(p.temp).c_str());
            LogCapture log;
            CHECK(vesk_is_driver_supported(VESK_DRIVER_WINUSB, &v) == 1);
            CHECK(log.text().empty());
        }
        CHECK(same_version(v, expected));
        CHECK(snapshot(name) == at_name);
        CHECK(snapshot(p.elsewhere) == behind);
        CHECK(snapshot(p.temp) == in_temp);
    }
}

TEST_CASE("the reader agrees with the version library on the system's own DLLs") {
    char system[MAX_PATH];
    REQUIRE(GetSystemDirectoryA(system, MAX_PATH) > 0);
    int compared = 0;
    for (const char* dll : {"kernel32.dll", "user32.dll", "setupapi.dll", "version.dll", "crypt32.dll", "ntdll.dll",
                            "comctl32.dll", "shell32.dll", "msvcrt.dll", "winusb.dll"}) {
        CAPTURE(dll);
        const std::string path = std::string(system) + "\\" + dll;
        const std::string bytes = read_file(path);
        if (bytes.empty()) continue;
        const std::optional<VS_FIXEDFILEINFO> want = library_version(path);
        const std::optional<pe_fixed_version> got =
            read_pe_fixed_version({reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size()});
        REQUIRE(got.has_value() == want.has_value());
        if (!want) continue;
        CHECK(std::memcmp(&*got, &*want, sizeof *want) == 0);
        ++compared;
    }
    CHECK(compared > 0);
}

// The payload table as built, the templates it carries, the co-installers (or their stand-ins)
// and extract_binaries.
#include <windows.h>

#include <doctest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "load_library.h"
#include "package_support.h"
#include "payload.h"
#include "payload_extract.h"

using namespace pkgtest;

namespace {
// The table that the preparation passes to the extraction, loaded once for the test program.
const Shell32& shell32() {
    static const Shell32 table = [] {
        Shell32 t;
        REQUIRE(load_table(t, "test"));
        return t;
    }();
    return table;
}
std::string row_bytes(const payload_entry& r) {
    return std::string(reinterpret_cast<const char*>(r.bytes), static_cast<std::size_t>(r.length));
}
int64_t utc(int y, int mo, int d, int h, int mi, int s) {
    SYSTEMTIME st{};
    st.wYear = static_cast<WORD>(y);
    st.wMonth = static_cast<WORD>(mo);
    st.wDay = static_cast<WORD>(d);
    st.wHour = static_cast<WORD>(h);
    st.wMinute = static_cast<WORD>(mi);
    st.wSecond = static_cast<WORD>(s);
    FILETIME ft;
    SystemTimeToFileTime(&st, &ft);
    const int64_t t = (static_cast<int64_t>(ft.dwHighDateTime) << 32) | ft.dwLowDateTime;
    return t / 10000000 - 11644473600LL;
}
}  // namespace

TEST_CASE("the table: fourteen rows in order, the co-installers' time stamps fixed") {
    struct Row {
        const char* dir;
        const char* name;
    };
    static const Row rows[kPayloadRows] = {
        {"x86", "WdfCoInstaller01011.dll"},
        {"x86", "winusbcoinstaller2.dll"},
        {"amd64", "WdfCoInstaller01011.dll"},
        {"amd64", "winusbcoinstaller2.dll"},
        {".", "installer_x86.exe"},
        {".", "installer_x64.exe"},
        {"", "winusb.inf.in"},
        {"", "libusb0.inf.in"},
        {"", "libusbk.inf.in"},
        {"", "usbser.inf.in"},
        {"", "winusb.cat.in"},
        {"", "libusb0.cat.in"},
        {"", "libusbk.cat.in"},
        {"", "usbser.cat.in"},
    };
    for (std::size_t i = 0; i < kPayloadRows; ++i) {
        CAPTURE(i);
        CHECK(std::string(payload_table[i].directory) == rows[i].dir);
        CHECK(std::string(payload_table[i].file_name) == rows[i].name);
        CHECK(payload_table[i].length > 0);
        CHECK(payload_table[i].bytes != nullptr);
    }
    CHECK(payload_table[0].timestamp == utc(2012, 8, 17, 9, 47, 44));
    CHECK(payload_table[1].timestamp == utc(2012, 6, 2, 7, 35, 28));
    CHECK(payload_table[2].timestamp == utc(2012, 8, 17, 10, 57, 0));
    CHECK(payload_table[3].timestamp == utc(2012, 6, 2, 7, 35, 26));
    CHECK(payload_table[1].timestamp == 1338622528);
    // Rows 1 to 6 are PE images, each of the machine its directory or name says.
    static const WORD machines[6] = {IMAGE_FILE_MACHINE_I386,  IMAGE_FILE_MACHINE_I386, IMAGE_FILE_MACHINE_AMD64,
                                     IMAGE_FILE_MACHINE_AMD64, IMAGE_FILE_MACHINE_I386, IMAGE_FILE_MACHINE_AMD64};
    for (std::size_t i = 0; i < 6; ++i) {
        CAPTURE(i);
        const std::string image = row_bytes(payload_table[i]);
        REQUIRE(image.size() > 0x40);
        CHECK(image.substr(0, 2) == "MZ");
        DWORD pe = 0;
        std::memcpy(&pe, image.data() + 0x3C, sizeof pe);
        REQUIRE(pe + 6 <= image.size());
        CHECK(image.substr(pe, 4) == std::string("PE\0\0", 4));
        WORD machine = 0;
        std::memcpy(&machine, image.data() + pe + 4, sizeof machine);
        CHECK(machine == machines[i]);
    }
#if VESK_PAYLOAD_STANDINS
    // The stand-ins are small; Microsoft's files have the lengths the build checked.
    for (std::size_t i = 0; i < 4; ++i) CHECK(payload_table[i].length < 65536);
#else
    CHECK(payload_table[0].length == 1629040);
    CHECK(payload_table[1].length == 851176);
    CHECK(payload_table[2].length == 1795952);
    CHECK(payload_table[3].length == 1002728);
#endif
}

TEST_CASE("the templates: line counts, final line ends, telling lines") {
    struct Row {
        std::size_t index;
        std::size_t lines;
        bool final_crlf;
        std::size_t line_no;  // 1-based
        const char* line;
    };
    static const Row rows[] = {
        {6, 99, false, 1, "; #INF_FILENAME#"},
        {6, 99, false, 6, "DeviceID   = \"#DEVICE_HARDWARE_ID#\""},
        {6, 99, false, 10, "Signature   = \"$Windows NT$\""},
        {6, 99, false, 15, "DriverVer   = #DRIVER_DATE#, #DRIVER_VERSION#"},
        {6, 99, false, 45, "DisplayName   = \"WinUSB - Kernel Driver #DRIVER_DATE# #DRIVER_VERSION#\""},
        {6, 99, false, 58, "AddReg = #USE_DEVICE_INTERFACE_GUID#"},
        {6, 99, false, 78,
         "HKR,,CoInstallers32,0x00010000,\"WdfCoInstaller#WDF_VERSION#.dll,WdfCoInstaller\",\"WinUSBCoInstaller2."
         "dll\""},
        {6, 99, false, 99, ";"},
        {9, 61, true, 14, "ClassGuid   = {4D36E978-E325-11CE-BFC1-08002BE10318}"},
        {9, 61, true, 17, "DriverVer   = #DRIVER_DATE#, 1.0.0.0"},
        {9, 61, true, 33, "CopyFiles   = FakeModemCopyFileSection ; defined in mdmcpq.inf"},
        {9, 61, true, 61, "[SourceDisksFiles]"},
        {10, 5, false, 3, ""},
        {10, 5, false, 4, "WdfCoInstaller#WDF_VERSION#.dll"},
        {10, 5, false, 5, "winusbcoinstaller2.dll"},
        {13, 1, true, 1, "# The USB CDC Serial driver doesn't need extra binaries"},
    };
    for (const Row& r : rows) {
        const payload_entry& e = payload_table[r.index];
        CAPTURE(e.file_name);
        CAPTURE(r.line_no);
        std::string text = row_bytes(e);
        const bool crlf = text.size() >= 2 && text.compare(text.size() - 2, 2, "\r\n") == 0;
        CHECK(crlf == r.final_crlf);
        if (crlf) text.resize(text.size() - 2);
        // Every line end is CR LF: no bare LF or CR anywhere.
        const std::vector<std::string> lines = split_crlf(text);
        for (const std::string& l : lines) CHECK(l.find_first_of("\r\n") == std::string::npos);
        CHECK(lines.size() == r.lines);
        REQUIRE(r.line_no <= lines.size());
        CHECK(lines[r.line_no - 1] == r.line);
    }
    // The templates of kinds this build never prepares are one comment line each.
    for (std::size_t i : {7u, 8u, 11u, 12u}) {
        const std::string t = row_bytes(payload_table[i]);
        CAPTURE(payload_table[i].file_name);
        CHECK(t.find("\r\n") == t.size() - 2);
        CHECK((t[0] == ';' || t[0] == '#'));
    }
}

#if VESK_PAYLOAD_STANDINS
// The stand-ins of this program's own architecture: only those load into it.
#ifdef _WIN64
constexpr char kOwnStandins[] = "amd64";
#else
constexpr char kOwnStandins[] = "x86";
#endif

TEST_CASE("the stand-ins: entry points answer NO_ERROR, the version resource says what they are") {
    ScratchDir d;
    REQUIRE(extract_binaries(shell32(), d.path().c_str()) == VESK_OK);
    struct Row {
        const char* file;
        const char* entry;
    };
    static const Row rows[] = {{"WdfCoInstaller01011.dll", "WdfCoInstaller"},
                               {"winusbcoinstaller2.dll", "WinUSBCoInstaller"}};
    for (const Row& r : rows) {
        CAPTURE(r.file);
        const std::string path = d.path() + "\\" + kOwnStandins + "\\" + r.file;
        HMODULE m = LoadLibraryExA(path.c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
        REQUIRE(m != nullptr);
        using Entry = DWORD(CALLBACK*)(DWORD, void*, void*, void*);
        FARPROC p = GetProcAddress(m, r.entry);
        REQUIRE(bool(p));
        auto entry = reinterpret_cast<Entry>(reinterpret_cast<void (*)()>(p));
        for (DWORD function :
             {0x02u /*DIF_INSTALLDEVICE*/, 0x05u /*DIF_REMOVE*/, 0x19u /*DIF_NEWDEVICEWIZARD_FINISHINSTALL*/})
            CHECK(entry(function, nullptr, nullptr, nullptr) == NO_ERROR);
        FreeLibrary(m);

        // Version is not a known DLL: loaded by name, as the library does.
        UniqueModule version(load_system_library("Version"));
        decltype(&::GetFileVersionInfoSizeA) size_of = nullptr;
        decltype(&::GetFileVersionInfoA) read_info = nullptr;
        decltype(&::VerQueryValueA) query = nullptr;
        REQUIRE(resolve(version.get(), "test", "Version", "GetFileVersionInfoSizeA", size_of));
        REQUIRE(resolve(version.get(), "test", "Version", "GetFileVersionInfoA", read_info));
        REQUIRE(resolve(version.get(), "test", "Version", "VerQueryValueA", query));
        DWORD handle = 0;
        const DWORD size = size_of(path.c_str(), &handle);
        REQUIRE(size > 0);
        std::vector<char> block(size);
        REQUIRE(read_info(path.c_str(), 0, size, block.data()));
        char* company = nullptr;
        UINT len = 0;
        REQUIRE(
            query(block.data(), "\\StringFileInfo\\040904b0\\CompanyName", reinterpret_cast<void**>(&company), &len));
        CHECK(std::string(company).find("test stand-in") != std::string::npos);
        CHECK(std::string(company).find("not Microsoft") != std::string::npos);
        char* description = nullptr;
        REQUIRE(query(block.data(), "\\StringFileInfo\\040904b0\\FileDescription",
                      reinterpret_cast<void**>(&description), &len));
        CHECK(std::string(description).find("Test stand-in") == 0);
    }
}
#endif

TEST_CASE("extraction: the package layout, no template on disk, a second run overwrites") {
    ScratchDir d;
    LogCapture log;
    REQUIRE(extract_binaries(shell32(), d.path().c_str()) == VESK_OK);
    CHECK(log.has("libvesk:info [extract_binaries] Successfully extracted driver files to '" + d.path() + "'"));
    std::vector<std::string> files;
    list_files(d.path(), "", files);
    std::sort(files.begin(), files.end());
    const std::vector<std::string> want = {
        "amd64\\WdfCoInstaller01011.dll", "amd64\\winusbcoinstaller2.dll", "installer_x64.exe", "installer_x86.exe",
        "x86\\WdfCoInstaller01011.dll",   "x86\\winusbcoinstaller2.dll"};
    CHECK(files == want);
    for (std::size_t i = 0; i < 6; ++i) {
        const payload_entry& r = payload_table[i];
        const std::string path = d.path() + "\\" + r.directory + "\\" + r.file_name;
        CAPTURE(path);
        CHECK(read_file(path) == row_bytes(r));
    }
    const std::string victim = d.path() + "\\x86\\winusbcoinstaller2.dll";
    write_file(victim, "spoiled");
    REQUIRE(extract_binaries(shell32(), d.path().c_str()) == VESK_OK);
    CHECK(read_file(victim) == row_bytes(payload_table[1]));
}

TEST_CASE("extraction: path lengths at the 257-byte limit") {
    {
        ScratchDir s;
        const std::string d = s.padded(229);  // row 3 needs 229 + 5 + 23 = 257: everything fits
        REQUIRE(extract_binaries(shell32(), d.c_str()) == VESK_OK);
        CHECK(exists(d + "\\amd64\\WdfCoInstaller01011.dll"));
        CHECK(exists(d + "\\installer_x64.exe"));
    }
    {
        ScratchDir s;
        const std::string d = s.padded(230);
        LogCapture log;
        CHECK(extract_binaries(shell32(), d.c_str()) == VESK_ERR_NO_RESOURCE);
        CHECK(exists(d + "\\x86\\WdfCoInstaller01011.dll"));
        CHECK(exists(d + "\\x86\\winusbcoinstaller2.dll"));
        CHECK(is_dir(d + "\\amd64"));  // made before the length is checked
        CHECK_FALSE(exists(d + "\\amd64\\WdfCoInstaller01011.dll"));
        // The composed path was cut to 259 bytes.
        const std::string cut = (d + "\\amd64\\WdfCoInstaller01011.dll").substr(0, 259);
        CHECK(log.has("libvesk:error [extract_binaries] Qualified path is too long: '" + cut + "'"));
    }
    {
        ScratchDir s;
        const std::string d = s.padded(232);
        LogCapture log;
        CHECK(extract_binaries(shell32(), d.c_str()) == VESK_ERR_NO_RESOURCE);
        CHECK(is_dir(d + "\\x86"));
        std::vector<std::string> files;
        list_files(d, "", files);
        CHECK(files.empty());
        CHECK(log.has("Qualified path is too long: '"));
    }
    for (const std::size_t n : {256u, 257u, 259u}) {
        // D\x86 itself would be cut to "D\x8" or "D\x": nothing is created, not even D.
        CAPTURE(n);
        ScratchDir s;
        const std::string d = s.padded(n);
        LogCapture log;
        CHECK(extract_binaries(shell32(), d.c_str()) == VESK_ERR_NO_RESOURCE);
        CHECK_FALSE(exists(d));
        const std::string cut = (d + "\\x86").substr(0, 259);
        CHECK(log.has("libvesk:error [extract_binaries] Qualified path is too long: '" + cut + "'"));
        CHECK_FALSE(log.has("[check_dir]"));
    }
}

TEST_CASE("extraction: a file in the way of a directory fails with check_dir's result") {
    ScratchDir s;
    write_file(s.path() + "\\x86", "not a directory");
    LogCapture log;
    CHECK(extract_binaries(shell32(), s.path().c_str()) == VESK_ERR_ACCESS_DENIED);
    CHECK(log.has("[check_dir]"));
}

TEST_CASE("extraction: a file that cannot be created") {
    ScratchDir s;
    // A directory where the installer should go: the file cannot be created.
    CreateDirectoryA((s.path() + "\\installer_x86.exe").c_str(), nullptr);
    LogCapture log;
    CHECK(extract_binaries(shell32(), s.path().c_str()) == VESK_ERR_NO_RESOURCE);
    CHECK(log.has("libvesk:error [extract_binaries] Could not create file '" + s.path() +
                  "\\.\\installer_x86.exe' ([0x"));
    CHECK(exists(s.path() + "\\amd64\\winusbcoinstaller2.dll"));  // rows before it stay written
}

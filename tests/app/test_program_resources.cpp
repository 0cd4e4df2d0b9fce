// What Windows reads from the built programs before it runs them: the setup program's icon in
// every size from 16 to 256 pixels; the installers' manifest (administrator rights, Windows 10,
// no Common Controls) and their version, the setup program's.
#include <windows.h>

#include <doctest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

// Unix paths from CTest (separated by '|'), as Windows paths.
std::vector<std::wstring> programs(const char* variable) {
    const char* unix_paths = std::getenv(variable);
    REQUIRE_MESSAGE(unix_paths, variable);
    std::vector<std::wstring> paths;
    std::wstring all(unix_paths, unix_paths + std::char_traits<char>::length(unix_paths));
    for (std::size_t start = 0; start <= all.size();) {
        std::size_t end = all.find(L'|', start);
        if (end == std::wstring::npos) end = all.size();
        std::wstring path = all.substr(start, end - start);
        std::replace(path.begin(), path.end(), L'/', L'\\');
        if (!path.empty()) paths.push_back(path[0] == L'\\' ? L"Z:" + path : path);
        start = end + 1;
    }
    return paths;
}
std::wstring program(const char* variable) {
    const std::vector<std::wstring> paths = programs(variable);
    REQUIRE(paths.size() == 1);
    return paths[0];
}

struct Image {
    HMODULE module;
    explicit Image(const std::wstring& path)
        : module(LoadLibraryExW(path.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE)) {}
    ~Image() {
        if (module) FreeLibrary(module);
    }
    Image(const Image&) = delete;
    Image& operator=(const Image&) = delete;
    std::string resource(const wchar_t* type, const wchar_t* name) const {
        HRSRC found = FindResourceW(module, name, type);
        if (!found) return {};
        HGLOBAL data = LoadResource(module, found);
        const char* bytes = static_cast<const char*>(LockResource(data));
        return bytes ? std::string(bytes, SizeofResource(module, found)) : std::string();
    }
};

#pragma pack(push, 2)
struct GroupEntry {
    BYTE width, height, colours, reserved;
    WORD planes, bits;
    DWORD bytes;
    WORD id;
};
#pragma pack(pop)

struct Version {
    std::wstring file, product;
    DWORD fixed_ms = 0, fixed_ls = 0;
};

Version version_of(const std::wstring& path) {
    Version v;
    DWORD ignored = 0;
    const DWORD size = GetFileVersionInfoSizeW(path.c_str(), &ignored);
    if (!size) return v;
    std::vector<BYTE> info(size);
    if (!GetFileVersionInfoW(path.c_str(), 0, size, info.data())) return v;
    VS_FIXEDFILEINFO* fixed = nullptr;
    UINT length = 0;
    if (VerQueryValueW(info.data(), L"\\", reinterpret_cast<void**>(&fixed), &length) && fixed) {
        v.fixed_ms = fixed->dwFileVersionMS;
        v.fixed_ls = fixed->dwFileVersionLS;
    }
    wchar_t* text = nullptr;
    if (VerQueryValueW(info.data(), L"\\StringFileInfo\\040904B0\\FileVersion", reinterpret_cast<void**>(&text),
                       &length))
        v.file = text;
    if (VerQueryValueW(info.data(), L"\\StringFileInfo\\040904B0\\ProductVersion", reinterpret_cast<void**>(&text),
                       &length))
        v.product = text;
    return v;
}

}  // namespace

TEST_CASE("the setup program's icon: one group, 16 to 256 pixels, each size loadable") {
    const std::wstring setup = program("VESK_SETUP_EXE");
    Image image(setup);
    REQUIRE(image.module);
    const std::string group = image.resource(RT_GROUP_ICON, MAKEINTRESOURCEW(1));
    REQUIRE(group.size() >= 6);
    const WORD count = *reinterpret_cast<const WORD*>(group.data() + 4);
    REQUIRE(group.size() == 6 + count * sizeof(GroupEntry));
    std::vector<int> sizes;
    for (WORD i = 0; i < count; ++i) {
        GroupEntry e;
        std::memcpy(&e, group.data() + 6 + i * sizeof e, sizeof e);
        sizes.push_back(e.width ? e.width : 256);
        CHECK(e.bits == 32);
    }
    CHECK(sizes == std::vector<int>{16, 24, 32, 48, 64, 256});
    for (int size : sizes) {
        CAPTURE(size);
        HICON icon = static_cast<HICON>(LoadImageW(image.module, MAKEINTRESOURCEW(1), IMAGE_ICON, size, size, 0));
        CHECK(icon);
        ICONINFO info = {};
        if (icon && GetIconInfo(icon, &info)) {
            BITMAP bm = {};
            GetObjectW(info.hbmColor ? info.hbmColor : info.hbmMask, sizeof bm, &bm);
            CHECK(bm.bmWidth == size);
            if (info.hbmColor) DeleteObject(info.hbmColor);
            if (info.hbmMask) DeleteObject(info.hbmMask);
        }
        if (icon) DestroyIcon(icon);
    }
}

TEST_CASE("both installers: a manifest for administrators on Windows 10, and the setup program's version") {
    const Version setup = version_of(program("VESK_SETUP_EXE"));
    REQUIRE_FALSE(setup.file.empty());
    const std::vector<std::wstring> installers = programs("VESK_INSTALLER_EXES");
    CHECK(installers.size() == 2);
    for (const std::wstring& path : installers) {
        CAPTURE(std::string(path.begin(), path.end()));
        {
            Image image(path);
            REQUIRE(image.module);
            const std::string manifest = image.resource(RT_MANIFEST, MAKEINTRESOURCEW(1));
            REQUIRE_FALSE(manifest.empty());
            CHECK(manifest.find("<requestedExecutionLevel level=\"requireAdministrator\" uiAccess=\"false\"/>") !=
                  std::string::npos);
            CHECK(manifest.find("<supportedOS Id=\"{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}\"/>") != std::string::npos);
            CHECK(manifest.find("Common-Controls") == std::string::npos);  // a console program
        }
        const Version v = version_of(path);
        CHECK(v.file == setup.file);
        CHECK(v.product == setup.product);
        CHECK(v.fixed_ms == setup.fixed_ms);
        CHECK(v.fixed_ls == setup.fixed_ls);
    }
}

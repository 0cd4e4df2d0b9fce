// Every security descriptor the programs give an object they create, read back as data from
// the very string or structure the create call gets, and compared entry by entry with the
// table written here: trustee, allow or deny, rights, inheritance, protection, owner and
// mandatory label. An added trustee, a widened right, a lost protection or label fails a row.
#include <windows.h>
#include <sddl.h>

#include <doctest.h>

#include <string>
#include <vector>

#include "files.h"
#include "owners.h"
#include "security_descriptors.h"

namespace {
constexpr char kUser[] = "<the token's user>";
constexpr char kSystem[] = "S-1-5-18";
constexpr char kAdmins[] = "S-1-5-32-544";
constexpr char kOwnerRights[] = "S-1-3-4";
constexpr char kHighLabel[] = "S-1-16-12288";
constexpr BYTE kInherited = OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE;

enum class Kind { allow, deny, label, other };

struct Entry {
    Kind kind;
    std::string trustee;
    DWORD rights;
    BYTE inheritance;
};

struct Expected {
    const char* object;
    const char* owner;  // null: none set, the creator's token decides
    bool dacl_present;
    bool dacl_protected;
    std::vector<Entry> dacl;
    std::vector<Entry> sacl;  // the mandatory label, if any
};

struct Found {
    std::string owner;  // empty: none
    bool dacl_present = false;
    bool dacl_protected = false;
    std::vector<Entry> dacl;
    std::vector<Entry> sacl;
};

std::string sid_text(PSID sid) {
    char* text = nullptr;
    REQUIRE(ConvertSidToStringSidA(sid, &text));
    UniqueLocal owned(text);
    return text;
}

std::string token_user() {
    HANDLE raw = nullptr;
    REQUIRE(OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &raw));
    UniqueHandle token(raw);
    alignas(TOKEN_USER) BYTE buffer[sizeof(TOKEN_USER) + SECURITY_MAX_SID_SIZE];
    DWORD size = 0;
    REQUIRE(GetTokenInformation(token.get(), TokenUser, buffer, sizeof buffer, &size));
    return sid_text(reinterpret_cast<TOKEN_USER*>(buffer)->User.Sid);
}

std::vector<Entry> entries(PACL acl) {
    std::vector<Entry> out;
    if (!acl) return out;
    for (DWORD i = 0; i < acl->AceCount; ++i) {
        void* raw = nullptr;
        REQUIRE(GetAce(acl, i, &raw));
        const auto* header = static_cast<ACE_HEADER*>(raw);
        // The allowed, denied and label entries share one layout: header, mask, SID.
        const auto* ace = static_cast<ACCESS_ALLOWED_ACE*>(raw);
        Kind kind = Kind::other;
        if (header->AceType == ACCESS_ALLOWED_ACE_TYPE) kind = Kind::allow;
        if (header->AceType == ACCESS_DENIED_ACE_TYPE) kind = Kind::deny;
        if (header->AceType == SYSTEM_MANDATORY_LABEL_ACE_TYPE) kind = Kind::label;
        std::string trustee = kind == Kind::other ? "?" : sid_text(const_cast<DWORD*>(&ace->SidStart));
        out.push_back({kind, trustee, ace->Mask, header->AceFlags});
    }
    return out;
}

Found read(PSECURITY_DESCRIPTOR sd) {
    Found f;
    REQUIRE(IsValidSecurityDescriptor(sd));
    SECURITY_DESCRIPTOR_CONTROL control = 0;
    DWORD revision = 0;
    REQUIRE(GetSecurityDescriptorControl(sd, &control, &revision));
    f.dacl_protected = (control & SE_DACL_PROTECTED) != 0;
    PSID owner = nullptr;
    BOOL defaulted = FALSE;
    REQUIRE(GetSecurityDescriptorOwner(sd, &owner, &defaulted));
    if (owner) f.owner = sid_text(owner);
    BOOL present = FALSE;
    PACL dacl = nullptr;
    REQUIRE(GetSecurityDescriptorDacl(sd, &present, &dacl, &defaulted));
    f.dacl_present = present != FALSE;
    if (present) f.dacl = entries(dacl);
    PACL sacl = nullptr;
    REQUIRE(GetSecurityDescriptorSacl(sd, &present, &sacl, &defaulted));
    if (present) f.sacl = entries(sacl);
    return f;
}

Found read_sddl(const wchar_t* sddl) {
    UniqueLocal sd;
    REQUIRE(ConvertStringSecurityDescriptorToSecurityDescriptorW(
        sddl, SDDL_REVISION_1, reinterpret_cast<PSECURITY_DESCRIPTOR*>(sd.put()), nullptr));
    return read(sd.get());
}

Found read_sddl(const char* sddl) {
    UniqueLocal sd;
    REQUIRE(ConvertStringSecurityDescriptorToSecurityDescriptorA(
        sddl, SDDL_REVISION_1, reinterpret_cast<PSECURITY_DESCRIPTOR*>(sd.put()), nullptr));
    return read(sd.get());
}

const char* kind_name(Kind k) {
    switch (k) {
        case Kind::allow:
            return "allow";
        case Kind::deny:
            return "deny";
        case Kind::label:
            return "label";
        case Kind::other:
            break;
    }
    return "other";
}

void check_entries(const char* list, const std::vector<Entry>& want, const std::vector<Entry>& got,
                   const std::string& user) {
    CAPTURE(std::string(list));
    CHECK(got.size() == want.size());
    for (std::size_t i = 0; i < want.size() && i < got.size(); ++i) {
        CAPTURE(i);
        const std::string trustee = want[i].trustee == kUser ? user : want[i].trustee;
        CHECK(std::string(kind_name(got[i].kind)) == kind_name(want[i].kind));
        CHECK(got[i].trustee == trustee);
        CHECK(got[i].rights == want[i].rights);
        CHECK(static_cast<int>(got[i].inheritance) == static_cast<int>(want[i].inheritance));
    }
    for (std::size_t i = want.size(); i < got.size(); ++i)
        FAIL_CHECK("unexpected entry " << kind_name(got[i].kind) << " " << got[i].trustee << " rights 0x" << std::hex
                                       << got[i].rights);
}

void check(const Expected& want, const Found& got) {
    CAPTURE(std::string(want.object));
    const std::string user = token_user();
    CHECK(got.owner == (want.owner ? want.owner : ""));
    CHECK(got.dacl_present == want.dacl_present);
    CHECK(got.dacl_protected == want.dacl_protected);
    check_entries("DACL", want.dacl, got.dacl, user);
    check_entries("SACL", want.sacl, got.sacl, user);
}

const DWORD kFileReadExecute = FILE_GENERIC_READ | FILE_GENERIC_EXECUTE;
const DWORD kNoUp = SYSTEM_MANDATORY_LABEL_NO_WRITE_UP | SYSTEM_MANDATORY_LABEL_NO_READ_UP;
}  // namespace

TEST_CASE("the descriptors of what the programs create, entry by entry") {
    const Expected package_folder{"package folder",
                                  nullptr,
                                  true,
                                  true,
                                  {{Kind::allow, kSystem, FILE_ALL_ACCESS, kInherited},
                                   {Kind::allow, kAdmins, FILE_ALL_ACCESS, kInherited},
                                   {Kind::allow, kOwnerRights, kFileReadExecute, kInherited}},
                                  {}};
    const Expected stored_policy{
        "stored restore-policy key",
        nullptr,
        true,
        true,
        {{Kind::allow, kSystem, KEY_ALL_ACCESS, kInherited}, {Kind::allow, kAdmins, KEY_ALL_ACCESS, kInherited}},
        {}};
    const Expected guards{"guards' namespace and mutexes",
                          nullptr,
                          true,
                          true,
                          {{Kind::allow, kSystem, GENERIC_ALL, 0}, {Kind::allow, kAdmins, GENERIC_ALL, 0}},
                          {}};
    const Expected installer_pipe{"installer pipe",
                                  nullptr,
                                  true,
                                  true,
                                  {{Kind::allow, kSystem, FILE_ALL_ACCESS, 0},
                                   {Kind::allow, kAdmins, FILE_ALL_ACCESS, 0},
                                   {Kind::allow, kUser, FILE_ALL_ACCESS, 0}},
                                  {{Kind::label, kHighLabel, kNoUp, 0}}};
    const Expected logger_pipe{"logger pipe", nullptr, true, true, {{Kind::allow, kUser, FILE_ALL_ACCESS, 0}}, {}};

    check(package_folder, read_sddl(kPackageDirectorySddl));
    check(stored_policy, read_sddl(kStoredPolicySddl));
    check(guards, read_sddl(kGuardSddl));
    char sddl[kPipeSddlBytes];
    REQUIRE(user_pipe_sddl(UserPipe::installer, sddl));
    check(installer_pipe, read_sddl(sddl));
    REQUIRE(user_pipe_sddl(UserPipe::logger, sddl));
    check(logger_pipe, read_sddl(sddl));
}

TEST_CASE("package files: an Administrators owner and no DACL of their own") {
    // Wine, like an administrator's elevated token on Windows, says the process is elevated.
    REQUIRE(process_is_elevated());
    CreationSecurity security("test");
    REQUIRE(security.attributes());
    CHECK(security.attributes()->lpSecurityDescriptor == &security.sd);
    CHECK(security.attributes()->bInheritHandle == FALSE);
    // Their access is what the package folder's inheritable entries above pass on.
    check(Expected{"package files", kAdmins, false, false, {}, {}}, read(&security.sd));
}

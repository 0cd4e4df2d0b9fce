// libFuzzer target for the parsing of instance IDs and hardware IDs that a USB device reports
// (parse_instance_id, is_supported_dfu_device, same_device_id): no memory fault, and each
// answer agrees with what the ID visibly says. Input: one flag byte, then the hardware ID,
// compatible ID and instance ID separated by NUL bytes. Built by scripts/fuzz.sh.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "device_fields.h"
#include "dfu_identity.h"

namespace {
void require(bool ok) {
    if (!ok) std::abort();
}

std::string upper(std::string s) {
    for (char& c : s)
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    return s;
}

// Whether some piece between separators starts with `prefix`.
bool has_piece(const std::string& id, const char* prefix) {
    for (std::size_t at = 0; (at = id.find(prefix, at)) != std::string::npos; ++at)
        if (at == 0 || std::strchr("\\#&", id[at - 1]) != nullptr) return true;
    return false;
}

struct Errors {
    int vid = 0, pid = 0, mi = 0;
};
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    if (size < 1) return 0;
    const uint8_t flags = data[0];
    std::vector<std::string> parts(3);
    std::size_t which = 0;
    for (std::size_t i = 1; i < size; ++i) {
        if (data[i] == 0 && which < 2)
            ++which;
        else
            parts[which].push_back(static_cast<char>(data[i] ? data[i] : 'x'));
    }
    const std::string& hardware_id = parts[0];
    const std::string& compatible_id = parts[1];
    const std::string& instance_id = parts[2];

    Errors errors;
    const InstanceIdParts p = parse_instance_id(
        instance_id.c_str(),
        [](IdPieceError e, void* ctx) {
            auto* n = static_cast<Errors*>(ctx);
            (e == IdPieceError::vid ? n->vid : e == IdPieceError::pid ? n->pid : n->mi) += 1;
        },
        &errors);
    require(p.has_vendor == has_piece(instance_id, "VID_"));
    if (p.product_set || errors.pid > 0) require(has_piece(instance_id, "PID_"));
    if (p.composite || errors.mi > 0) require(has_piece(instance_id, "MI_"));
    if (p.has_vendor && !p.vendor_set) require(errors.vid > 0);

    // A well-formed ID with a serial of hexadecimal digits gives back exactly its numbers.
    static const char kHex[] = "0123456789ABCDEF";
    std::string serial;
    for (char c : instance_id) serial += kHex[static_cast<unsigned char>(c) % 16];
    const unsigned want_vid = static_cast<unsigned>(hardware_id.size() * 7919u) & 0xFFFF;
    const unsigned want_pid = static_cast<unsigned>(compatible_id.size() * 104729u) & 0xFFFF;
    char canonical[64];
    std::snprintf(canonical, sizeof canonical, "USB\\VID_%04X&PID_%04X%s\\", want_vid, want_pid,
                  flags & 8 ? "&MI_03" : "");
    const InstanceIdParts c = parse_instance_id((canonical + serial).c_str());
    require(c.vendor_set && c.product_set && c.vendor_id == want_vid && c.product_id == want_pid);
    require(c.composite == ((flags & 8) != 0) && (!c.composite || c.interface_number == 3));
    // Without a callback the same answer.
    const InstanceIdParts q = parse_instance_id(instance_id.c_str());
    require(q.vendor_set == p.vendor_set && q.vendor_id == p.vendor_id && q.product_id == p.product_id &&
            q.composite == p.composite && q.interface_number == p.interface_number);

    const uint16_t vid = flags & 1 ? AT32_DFU_VID : p.vendor_id;
    const uint16_t pid = flags & 2 ? AT32_DFU_PID : p.product_id;
    const bool composite = (flags & 4) != 0;
    const bool supported =
        is_supported_dfu_device(vid, pid, composite, hardware_id.c_str(), compatible_id.c_str(), instance_id.c_str());
    if (supported) {
        require(vid == AT32_DFU_VID && pid == AT32_DFU_PID && !composite);
        require(upper(hardware_id).rfind("USB\\VID_2E3C&PID_DF11", 0) == 0);
        require(hardware_id.size() == 21 || hardware_id.size() == 30);
        require(upper(compatible_id).find("CLASS_FE&SUBCLASS_01&PROT_02") != std::string::npos);
        require(!instance_id.empty() && instance_id.size() < 1024);
    }
    // Only a to z fold: the same ID in upper case is the same device, and the answer is symmetric.
    require(same_device_id(instance_id.c_str(), upper(instance_id).c_str()));
    require(same_device_id(instance_id.c_str(), hardware_id.c_str()) ==
            same_device_id(hardware_id.c_str(), instance_id.c_str()));
    if (same_device_id(instance_id.c_str(), hardware_id.c_str())) require(upper(instance_id) == upper(hardware_id));
    require(!same_device_id(nullptr, instance_id.c_str()));
    return 0;
}

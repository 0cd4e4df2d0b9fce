// libvesk: the driver library's public interface. Records, result codes and operations.
// The result-code values cross process boundaries (the installer reports them as one signed
// byte) and are never renumbered.
#pragma once

#include <stdint.h>

// Window handles and the file-version record without pulling in <windows.h>, so that the
// portable parts of the library (and their native tests) can use this header too.
struct HWND__;
struct tagVS_FIXEDFILEINFO;

typedef int32_t vesk_result;

enum {
    VESK_OK = 0,
    VESK_ERR_INPUT_OUTPUT = -1,
    VESK_ERR_INVALID_PARAMETER = -2,
    VESK_ERR_ACCESS_DENIED = -3,
    VESK_ERR_NO_SUCH_DEVICE = -4,
    VESK_ERR_NOT_FOUND = -5,
    VESK_ERR_BUSY = -6,
    VESK_ERR_TIMED_OUT = -7,
    VESK_ERR_OVERFLOW = -8,
    VESK_ERR_INSTALL_PENDING = -9,
    VESK_ERR_INTERRUPTED = -10,
    VESK_ERR_NO_RESOURCE = -11,
    VESK_ERR_NOT_SUPPORTED = -12,
    VESK_ERR_ALREADY_EXISTS = -13,
    VESK_ERR_CANCELLED = -14,
    VESK_ERR_NEEDS_ELEVATION = -15,
    VESK_ERR_WRONG_ARCH = -16,
    VESK_ERR_BAD_INF = -17,
    VESK_ERR_NO_CATALOG = -18,
    VESK_ERR_UNSIGNED_REJECTED = -19,
    VESK_ERR_OTHER = -99,
};

enum {
    VESK_LOG_DEBUG = 0,
    VESK_LOG_INFO = 1,
    VESK_LOG_WARNING = 2,
    VESK_LOG_ERROR = 3,
};

typedef int32_t vesk_driver_kind;
enum {
    VESK_DRIVER_WINUSB = 0,
    VESK_DRIVER_LIBUSB0 = 1,
    VESK_DRIVER_LIBUSBK = 2,
    VESK_DRIVER_CDC = 3,
    VESK_DRIVER_USER = 4,
};

// One node of the list made by vesk_create_list; every string and record belongs to the list.
typedef struct vesk_device {
    struct vesk_device* next;
    uint16_t vendor_id;
    uint16_t product_id;
    int32_t composite;
    uint8_t interface_number;
    char* description;        // UTF-8, or null
    char* driver;             // service name (ANSI), null when driverless
    char* device_id;          // instance ID (ANSI)
    char* hardware_id;        // first hardware ID, empty when unreadable
    char* compatible_id;      // first compatible ID, empty when none
    char* upper_filter;       // first upper filter, or null
    uint64_t driver_version;  // 16 bits per dotted part
} vesk_device;

typedef struct vesk_list_options {
    int32_t include_installed;
    int32_t include_hubs;
    int32_t trim_description;
} vesk_list_options;

// A signing key made ahead of a preparation (vesk_create_signing_key); opaque.
typedef struct vesk_signing_key vesk_signing_key;

typedef struct vesk_prepare_options {
    vesk_driver_kind driver_kind;
    const char* manufacturer;
    const char* interface_guid;
    int32_t skip_catalog;
    int32_t skip_signing;
    const char* signer_subject;
    int32_t match_compatible_id;
    int32_t inf_is_template;
    // The key to sign the catalog with, null to make a new one. Waited for while it is being
    // made; used at most once (a second preparation given it makes its own); still the
    // caller's to destroy.
    vesk_signing_key* signing_key;
} vesk_prepare_options;

typedef struct vesk_install_options {
    struct HWND__* parent_window;  // null: standard mode; else progress-bar mode
    int32_t filter_mode;
    uint32_t pending_wait_ms;
} vesk_install_options;

typedef struct vesk_cert_options {
    struct HWND__* owner_window;
    int32_t skip_warning;
} vesk_cert_options;

// Logging (the logger pipe lives inside the calling process).
vesk_result vesk_register_logger(struct HWND__* window, uint32_t message, uint32_t buffer_size);
vesk_result vesk_set_log_threshold(int32_t level);
vesk_result vesk_read_logger(char* buffer, uint32_t buffer_size, uint32_t* message_size);
vesk_result vesk_unregister_logger(struct HWND__* window);

// Devices.
vesk_result vesk_create_list(vesk_device** list, const vesk_list_options* options);
vesk_result vesk_destroy_list(vesk_device* list);

// Driver packages.
int32_t vesk_is_driver_supported(vesk_driver_kind kind, struct tagVS_FIXEDFILEINFO* info);
vesk_result vesk_prepare_driver(const vesk_device* device, const char* path, const char* inf_name,
                                const vesk_prepare_options* options);
vesk_result vesk_install_driver(const vesk_device* device, const char* path, const char* inf_name,
                                const vesk_install_options* options);
// Expands the template file at a UTF-8 path with the current token table; the length of the
// new text (*out, for free()), or a value below 1 on failure.
int32_t vesk_tokenize_file(const char* path, char** out);
// Starts making a catalog-signing key (4096-bit RSA, in this process's memory only) on a thread
// of the library and returns at once with its handle, for a later vesk_prepare_driver.
vesk_result vesk_create_signing_key(vesk_signing_key** key);
// Destroys the key, or has it destroyed as soon as it is made; returns at once.
vesk_result vesk_destroy_signing_key(vesk_signing_key* key);
vesk_result vesk_install_trusted_certificate(const char* cert_name, const vesk_cert_options* options);

// Texts.
const char* vesk_error_text(vesk_result code);
const char* vesk_vendor_name(uint16_t vendor_id);

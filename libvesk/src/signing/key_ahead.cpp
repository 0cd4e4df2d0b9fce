// A signing key made on a thread of the library while the caller goes on, so that a later
// preparation finds it ready. The handle and the making thread share the key's record: whichever
// lets go of it last destroys the key, so destroying the handle never waits for the making.
#include "key_ahead.h"

#include <atomic>
#include <memory>
#include <new>
#include <utility>

#include "crypto_api.h"
#include "error_text.h"
#include "vesk_log.h"

namespace {
const char kSource[] = "vesk_create_signing_key";

struct KeyAhead {
    std::atomic<int> refs{1};  // the handle's and, while it runs, the making thread's
    UniqueHandle made;         // manual-reset event, set once the making thread has written key
    SigningKey key;
    std::atomic<bool> taken{false};
    ~KeyAhead() { destroy_signing_key(key); }
};

// Lets go of one reference; the last one destroys the record and with it the key. A count of our
// own, not shared_ptr: the product is built without exceptions, and a control block that cannot
// be allocated must be a failure, not the end of the process.
struct KeyAheadRelease {
    void operator()(KeyAhead* state) const {
        if (state->refs.fetch_sub(1, std::memory_order_acq_rel) == 1) std::unique_ptr<KeyAhead> last(state);
    }
};
using KeyAheadRef = std::unique_ptr<KeyAhead, KeyAheadRelease>;

// The first opening of the machine's Root store in a process can take a second (Wine reads the
// host's certificates then, once per process): read it once now, changing nothing, so that the
// signing does not wait for it.
void open_root_store_once() {
    const std::optional<Crypt32> crypt32 = load_crypt32(kSource);
    if (!crypt32) return;
    own_store(*crypt32, crypt32->open_store(CERT_STORE_PROV_SYSTEM_A, X509_ASN_ENCODING, 0,
                                            CERT_SYSTEM_STORE_LOCAL_MACHINE | CERT_STORE_READONLY_FLAG, "Root"));
}

DWORD WINAPI make_ahead(void* parameter) {
    const KeyAheadRef ref(static_cast<KeyAhead*>(parameter));
    KeyAhead& state = *ref;
    if (!make_signing_key(state.key))
        vesk_log_message(VESK_LOG_WARNING, kSource, "The signing key could not be made ahead");
    SetEvent(state.made.get());
    open_root_store_once();
    return 0;  // the key goes here when its handle went first
}
}  // namespace

struct vesk_signing_key {
    KeyAheadRef state;
};

vesk_result vesk_create_signing_key(vesk_signing_key** key) {
    if (!key) return VESK_ERR_INVALID_PARAMETER;
    *key = nullptr;
    std::unique_ptr<vesk_signing_key> handle(new (std::nothrow) vesk_signing_key);
    if (!handle) return VESK_ERR_NO_RESOURCE;
    handle->state.reset(new (std::nothrow) KeyAhead);
    if (!handle->state) return VESK_ERR_NO_RESOURCE;
    handle->state->made.reset(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    if (!handle->state->made) {
        vesk_log_message(VESK_LOG_WARNING, kSource, "Could not create an event: %s", last_error_text(0));
        return VESK_ERR_NO_RESOURCE;
    }
    handle->state->refs.fetch_add(1, std::memory_order_relaxed);
    KeyAheadRef for_thread(handle->state.get());
    UniqueHandle thread(CreateThread(nullptr, 0, make_ahead, for_thread.get(), 0, nullptr));
    if (!thread) {
        vesk_log_message(VESK_LOG_WARNING, kSource, "Could not start making the signing key: %s", last_error_text(0));
        return VESK_ERR_NO_RESOURCE;
    }
    (void)for_thread.release();  // the thread's now
    *key = handle.release();
    return VESK_OK;
}

vesk_result vesk_destroy_signing_key(vesk_signing_key* key) {
    if (!key) return VESK_ERR_INVALID_PARAMETER;
    std::unique_ptr<vesk_signing_key> gone(key);
    return VESK_OK;
}

bool take_key_made_ahead(vesk_signing_key* ahead, SigningKey& out) {
    static const char source[] = "SelfSignFile";
    if (!ahead || !ahead->state) return false;
    KeyAhead& state = *ahead->state;
    if (state.taken.exchange(true)) {
        vesk_log_message(VESK_LOG_WARNING, source, "The signing key made ahead was used before: making a new one");
        return false;
    }
    const DWORD waited = WaitForSingleObject(state.made.get(), kKeyAheadWaitMs);
    if (waited != WAIT_OBJECT_0 || !state.key) {
        vesk_log_message(VESK_LOG_WARNING, source, "The signing key made ahead is not available: making a new one");
        return false;
    }
    out = std::move(state.key);
    return true;
}

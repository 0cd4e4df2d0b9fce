// RAII owners for Windows handles: one template, one trait per resource kind.
// Closing never clobbers GetLastError(), so a failure path can still report the error.
#pragma once

#include <windows.h>

#include <cstdlib>

template <class Tr>
class Unique {
    using T = typename Tr::type;
    T v_ = Tr::invalid();

public:
    Unique() = default;
    explicit Unique(T v) noexcept : v_(v) {}
    Unique(const Unique&) = delete;
    Unique& operator=(const Unique&) = delete;
    Unique(Unique&& o) noexcept : v_(o.release()) {}
    Unique& operator=(Unique&& o) noexcept {
        reset(o.release());
        return *this;
    }
    ~Unique() { reset(); }
    T get() const noexcept { return v_; }
    T* put() noexcept {
        reset();
        return &v_;
    }
    T release() noexcept {
        T v = v_;
        v_ = Tr::invalid();
        return v;
    }
    explicit operator bool() const noexcept { return Tr::valid(v_); }
    void reset(T v = Tr::invalid()) noexcept {
        if (Tr::valid(v_)) {
            DWORD e = GetLastError();
            Tr::close(v_);
            SetLastError(e);
        }
        v_ = v;
    }
};

template <class P, auto Close>
struct NullTr {
    using type = P;
    static P invalid() { return nullptr; }
    static bool valid(P p) { return p != nullptr; }
    static void close(P p) { Close(p); }
};

struct FileTr : NullTr<HANDLE, &CloseHandle> {  // CreateFileW / CreateNamedPipeW fail with -1
    static HANDLE invalid() { return INVALID_HANDLE_VALUE; }
    static bool valid(HANDLE h) { return h && h != INVALID_HANDLE_VALUE; }
};

inline void local_free(void* p) { LocalFree(p); }
inline void crt_free(void* p) { std::free(p); }

using UniqueHandle = Unique<NullTr<HANDLE, &CloseHandle>>;  // events, processes, threads, mutexes
using UniqueFile = Unique<FileTr>;                          // files, pipes
using UniqueModule = Unique<NullTr<HMODULE, &FreeLibrary>>;
using UniqueHkey = Unique<NullTr<HKEY, &RegCloseKey>>;  // never a predefined HKEY
using UniqueLocal = Unique<NullTr<void*, &local_free>>;  // LocalAlloc'd SIDs, descriptors, strings
using UniqueMalloc = Unique<NullTr<void*, &crt_free>>;

// Typed views of a LocalAlloc'd / malloc'd block.
template <class T>
T* as(const UniqueLocal& p) {
    return static_cast<T*>(p.get());
}

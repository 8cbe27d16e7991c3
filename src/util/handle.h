// One owning handle type for every kind of system handle: a close function per kind,
// copying deleted, moving allowed. Nothing else in the code calls CloseHandle directly.
#pragma once
#include <windows.h>
#include <wininet.h>
#include <bcrypt.h>

#include <utility>

namespace mv {

template <typename T, typename Traits>
class Owned {
public:
    Owned() = default;
    explicit Owned(T h) : h_(h) {}
    ~Owned() { reset(); }
    Owned(const Owned&) = delete;
    Owned& operator=(const Owned&) = delete;
    Owned(Owned&& o) noexcept : h_(o.release()) {}
    Owned& operator=(Owned&& o) noexcept {
        if (this != &o) reset(o.release());
        return *this;
    }
    T get() const { return h_; }
    explicit operator bool() const { return Traits::Valid(h_); }
    T release() { return std::exchange(h_, Traits::Invalid()); }
    void reset(T h = Traits::Invalid()) {
        if (Traits::Valid(h_)) Traits::Close(h_);
        h_ = h;
    }

private:
    T h_ = Traits::Invalid();
};

// Kernel handles: both NULL and INVALID_HANDLE_VALUE mean "none".
struct KernelTraits {
    static HANDLE Invalid() { return nullptr; }
    static bool Valid(HANDLE h) { return h != nullptr && h != INVALID_HANDLE_VALUE; }
    static void Close(HANDLE h) { ::CloseHandle(h); }
};
struct InetTraits {
    static HINTERNET Invalid() { return nullptr; }
    static bool Valid(HINTERNET h) { return h != nullptr; }
    static void Close(HINTERNET h) { ::InternetCloseHandle(h); }
};
struct RegTraits {
    static HKEY Invalid() { return nullptr; }
    static bool Valid(HKEY h) { return h != nullptr; }
    static void Close(HKEY h) { ::RegCloseKey(h); }
};
struct FindTraits {
    static HANDLE Invalid() { return INVALID_HANDLE_VALUE; }
    static bool Valid(HANDLE h) { return h != nullptr && h != INVALID_HANDLE_VALUE; }
    static void Close(HANDLE h) { ::FindClose(h); }
};

// CNG objects: an algorithm provider, a key, a hash.
struct AlgTraits {
    static BCRYPT_ALG_HANDLE Invalid() { return nullptr; }
    static bool Valid(BCRYPT_ALG_HANDLE h) { return h != nullptr; }
    static void Close(BCRYPT_ALG_HANDLE h) { ::BCryptCloseAlgorithmProvider(h, 0); }
};
struct CngKeyTraits {
    static BCRYPT_KEY_HANDLE Invalid() { return nullptr; }
    static bool Valid(BCRYPT_KEY_HANDLE h) { return h != nullptr; }
    static void Close(BCRYPT_KEY_HANDLE h) { ::BCryptDestroyKey(h); }
};
struct CngHashTraits {
    static BCRYPT_HASH_HANDLE Invalid() { return nullptr; }
    static bool Valid(BCRYPT_HASH_HANDLE h) { return h != nullptr; }
    static void Close(BCRYPT_HASH_HANDLE h) { ::BCryptDestroyHash(h); }
};

using Handle = Owned<HANDLE, KernelTraits>;
using InetHandle = Owned<HINTERNET, InetTraits>;
using RegKey = Owned<HKEY, RegTraits>;
using FindHandle = Owned<HANDLE, FindTraits>;
using AlgHandle = Owned<BCRYPT_ALG_HANDLE, AlgTraits>;
using CngKey = Owned<BCRYPT_KEY_HANDLE, CngKeyTraits>;
using CngHash = Owned<BCRYPT_HASH_HANDLE, CngHashTraits>;

// COM interface pointer that releases on destruction.
template <typename I>
class ComPtr {
public:
    ComPtr() = default;
    ~ComPtr() { reset(); }
    ComPtr(const ComPtr&) = delete;
    ComPtr& operator=(const ComPtr&) = delete;
    ComPtr(ComPtr&& o) noexcept : p_(std::exchange(o.p_, nullptr)) {}
    ComPtr& operator=(ComPtr&& o) noexcept {
        if (this != &o) { reset(); p_ = std::exchange(o.p_, nullptr); }
        return *this;
    }
    I* get() const { return p_; }
    I* operator->() const { return p_; }
    I** put() { reset(); return &p_; }
    explicit operator bool() const { return p_ != nullptr; }
    void reset() { if (p_) { p_->Release(); p_ = nullptr; } }

private:
    I* p_ = nullptr;
};

}  // namespace mv

// The publisher's half of list signing: key creation and signing. Kept apart from the check
// so that the updater itself links only the verification.
#include <windows.h>
#include <bcrypt.h>

#include <array>
#include <cstdint>
#include <cstring>

#include "util/crypto.h"
#include "util/handle.h"
#include "util/text.h"

namespace mv {

namespace {

constexpr size_t kPrivateKeyBytes = 96;  // X‖Y‖d

std::wstring CngError(const wchar_t* call, NTSTATUS status) {
    return Format(L"%s failed (0x%08lx)", call, static_cast<unsigned long>(status));
}

bool OpenEcdsa(AlgHandle& alg, std::wstring& error) {
    BCRYPT_ALG_HANDLE raw = nullptr;
    NTSTATUS st = BCryptOpenAlgorithmProvider(&raw, BCRYPT_ECDSA_P256_ALGORITHM, nullptr, 0);
    if (!BCRYPT_SUCCESS(st)) {
        error = CngError(L"BCryptOpenAlgorithmProvider", st);
        return false;
    }
    alg.reset(raw);
    return true;
}

}  // namespace

bool CreateListKey(std::string& privateText, std::string& publicText, std::wstring& error) {
    AlgHandle alg;
    if (!OpenEcdsa(alg, error)) return false;
    BCRYPT_KEY_HANDLE raw = nullptr;
    NTSTATUS st = BCryptGenerateKeyPair(alg.get(), &raw, 256, 0);
    if (!BCRYPT_SUCCESS(st)) {
        error = CngError(L"BCryptGenerateKeyPair", st);
        return false;
    }
    CngKey key(raw);
    st = BCryptFinalizeKeyPair(key.get(), 0);
    if (!BCRYPT_SUCCESS(st)) {
        error = CngError(L"BCryptFinalizeKeyPair", st);
        return false;
    }
    std::string blob(sizeof(BCRYPT_ECCKEY_BLOB) + kPrivateKeyBytes, '\0');
    ULONG got = 0;
    st = BCryptExportKey(key.get(), nullptr, BCRYPT_ECCPRIVATE_BLOB, reinterpret_cast<PUCHAR>(blob.data()),
                         static_cast<ULONG>(blob.size()), &got, 0);
    if (!BCRYPT_SUCCESS(st) || got != blob.size()) {
        error = CngError(L"BCryptExportKey", st);
        return false;
    }
    const std::string material = blob.substr(sizeof(BCRYPT_ECCKEY_BLOB));
    privateText = EncodeBase64(material);
    publicText = EncodeBase64(material.substr(0, kListKeyBytes));
    SecureZeroMemory(blob.data(), blob.size());
    return true;
}

bool PublicKeyOf(std::string_view privateText, std::string& publicText) {
    std::string material;
    if (!DecodeBase64(privateText, material) || material.size() != kPrivateKeyBytes) return false;
    publicText = EncodeBase64(material.substr(0, kListKeyBytes));
    return true;
}

bool SignListBytes(std::string_view privateText, std::string_view data, std::string& signatureText, std::wstring& error) {
    std::string material, digest;
    if (!DecodeBase64(privateText, material) || material.size() != kPrivateKeyBytes) {
        error = L"the private key is not the base64 of 96 bytes";
        return false;
    }
    if (!Sha256Of(data, digest, error)) return false;
    AlgHandle alg;
    if (!OpenEcdsa(alg, error)) return false;
    std::string blob(sizeof(BCRYPT_ECCKEY_BLOB), '\0');
    BCRYPT_ECCKEY_BLOB header{BCRYPT_ECDSA_PRIVATE_P256_MAGIC, 32};
    memcpy(blob.data(), &header, sizeof(header));
    blob += material;
    BCRYPT_KEY_HANDLE raw = nullptr;
    NTSTATUS st = BCryptImportKeyPair(alg.get(), nullptr, BCRYPT_ECCPRIVATE_BLOB, &raw,
                                      reinterpret_cast<PUCHAR>(blob.data()), static_cast<ULONG>(blob.size()), 0);
    SecureZeroMemory(blob.data(), blob.size());
    SecureZeroMemory(material.data(), material.size());
    if (!BCRYPT_SUCCESS(st)) {
        error = CngError(L"BCryptImportKeyPair", st);
        return false;
    }
    CngKey key(raw);
    std::string signature(kListSignatureBytes, '\0');
    ULONG got = 0;
    st = BCryptSignHash(key.get(), nullptr, reinterpret_cast<PUCHAR>(digest.data()), static_cast<ULONG>(digest.size()),
                        reinterpret_cast<PUCHAR>(signature.data()), static_cast<ULONG>(signature.size()), &got, 0);
    if (!BCRYPT_SUCCESS(st) || got != kListSignatureBytes) {
        error = CngError(L"BCryptSignHash", st);
        return false;
    }
    signatureText = EncodeBase64(signature);
    return true;
}

namespace {

// 256-bit numbers as eight 32-bit limbs, least significant first: just enough arithmetic
// modulo the P-256 prime to test the curve equation. Speed does not matter here.
using U256 = std::array<uint32_t, 8>;

U256 FromBigEndian(std::string_view bytes) {
    U256 v{};
    for (size_t i = 0; i < 32; ++i)
        v[(31 - i) / 4] |= static_cast<uint32_t>(static_cast<unsigned char>(bytes[i])) << (8 * ((31 - i) % 4));
    return v;
}

U256 FromHex(const char* hex) {
    std::string bytes;
    for (size_t i = 0; i < 64; i += 2) bytes += static_cast<char>(std::stoi(std::string(hex + i, 2), nullptr, 16));
    return FromBigEndian(bytes);
}

const U256& Prime() {
    static const U256 p = FromHex("ffffffff00000001000000000000000000000000ffffffffffffffffffffffff");
    return p;
}

bool Less(const U256& a, const U256& b) {
    for (int i = 7; i >= 0; --i)
        if (a[i] != b[i]) return a[i] < b[i];
    return false;
}

// a - b, ignoring the borrow out.
U256 Sub(const U256& a, const U256& b) {
    U256 r{};
    int64_t borrow = 0;
    for (int i = 0; i < 8; ++i) {
        int64_t d = static_cast<int64_t>(a[i]) - b[i] - borrow;
        borrow = d < 0;
        r[i] = static_cast<uint32_t>(d + (borrow ? (int64_t{1} << 32) : 0));
    }
    return r;
}

// (a + b) mod p for a, b < p.
U256 AddMod(const U256& a, const U256& b) {
    U256 r{};
    uint64_t carry = 0;
    for (int i = 0; i < 8; ++i) {
        const uint64_t s = static_cast<uint64_t>(a[i]) + b[i] + carry;
        r[i] = static_cast<uint32_t>(s);
        carry = s >> 32;
    }
    return carry || !Less(r, Prime()) ? Sub(r, Prime()) : r;
}

// (a - b) mod p for a, b < p.
U256 SubMod(const U256& a, const U256& b) { return Less(a, b) ? AddMod(a, Sub(Prime(), b)) : Sub(a, b); }

// (a * b) mod p by doubling and adding over the bits of a.
U256 MulMod(const U256& a, const U256& b) {
    U256 r{};
    for (int bit = 255; bit >= 0; --bit) {
        r = AddMod(r, r);
        if ((a[bit / 32] >> (bit % 32)) & 1) r = AddMod(r, b);
    }
    return r;
}

}  // namespace

bool IsP256Point(std::string_view xy) {
    if (xy.size() != kListKeyBytes) return false;
    const U256 x = FromBigEndian(xy.substr(0, 32)), y = FromBigEndian(xy.substr(32, 32));
    if (!Less(x, Prime()) || !Less(y, Prime())) return false;
    static const U256 b = FromHex("5ac635d8aa3a93e7b3ebbd55769886bc651d06b0cc53b0f63bce3c3e27d2604b");
    // y^2 = x^3 - 3x + b
    const U256 left = MulMod(y, y);
    const U256 threeX = AddMod(AddMod(x, x), x);
    const U256 right = AddMod(SubMod(MulMod(MulMod(x, x), x), threeX), b);
    return left == right;
}

bool IsListPublicKey(std::string_view keyText, std::wstring& why) {
    std::string xy;
    if (!DecodeBase64(keyText, xy)) {
        why = L"it is not base64 text";
        return false;
    }
    if (xy.size() != kListKeyBytes) {
        why = Format(L"it decodes to %zu bytes; a P-256 public key is 64", xy.size());
        return false;
    }
    if (!IsP256Point(xy)) {
        why = L"its 64 bytes are not a point of the P-256 curve";
        return false;
    }
    return true;
}

}  // namespace mv

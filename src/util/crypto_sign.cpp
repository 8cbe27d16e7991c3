// The publisher's half of list signing: key creation and signing. Kept apart from the check
// so that the updater itself links only the verification.
#include <windows.h>
#include <bcrypt.h>

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

}  // namespace mv

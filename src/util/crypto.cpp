#include "util/crypto.h"

#include <windows.h>
#include <bcrypt.h>

#include <vector>

#include "util/handle.h"
#include "util/text.h"

namespace mv {

namespace {

constexpr char kBase64[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
constexpr NTSTATUS kInvalidSignature = static_cast<NTSTATUS>(0xC000A000L);

int Base64Value(char c) {
    if (c >= 'A' && c <= 'Z') return c - 'A';
    if (c >= 'a' && c <= 'z') return c - 'a' + 26;
    if (c >= '0' && c <= '9') return c - '0' + 52;
    if (c == '+') return 62;
    if (c == '/') return 63;
    return -1;
}

int HexValue(wchar_t c) {
    if (c >= L'0' && c <= L'9') return c - L'0';
    if (c >= L'a' && c <= L'f') return c - L'a' + 10;
    if (c >= L'A' && c <= L'F') return c - L'A' + 10;
    return -1;
}

std::wstring CngError(const wchar_t* call, NTSTATUS status) {
    return Format(L"%s failed (0x%08lx)", call, static_cast<unsigned long>(status));
}

// A SHA-256 hash in progress.
class Sha256 {
public:
    bool Open(std::wstring& error) {
        BCRYPT_ALG_HANDLE alg = nullptr;
        NTSTATUS st = BCryptOpenAlgorithmProvider(&alg, BCRYPT_SHA256_ALGORITHM, nullptr, 0);
        if (!BCRYPT_SUCCESS(st)) return Fail(L"BCryptOpenAlgorithmProvider", st, error);
        alg_.reset(alg);
        DWORD objectSize = 0, got = 0;
        st = BCryptGetProperty(alg, BCRYPT_OBJECT_LENGTH, reinterpret_cast<PUCHAR>(&objectSize), sizeof(objectSize), &got, 0);
        if (!BCRYPT_SUCCESS(st)) return Fail(L"BCryptGetProperty", st, error);
        object_.resize(objectSize);
        BCRYPT_HASH_HANDLE hash = nullptr;
        st = BCryptCreateHash(alg, &hash, object_.data(), objectSize, nullptr, 0, 0);
        if (!BCRYPT_SUCCESS(st)) return Fail(L"BCryptCreateHash", st, error);
        hash_.reset(hash);
        return true;
    }
    bool Add(const void* data, size_t size, std::wstring& error) {
        const auto* p = static_cast<const unsigned char*>(data);
        while (size > 0) {
            const ULONG n = size > 0x10000000 ? 0x10000000 : static_cast<ULONG>(size);
            NTSTATUS st = BCryptHashData(hash_.get(), const_cast<PUCHAR>(p), n, 0);
            if (!BCRYPT_SUCCESS(st)) return Fail(L"BCryptHashData", st, error);
            p += n;
            size -= n;
        }
        return true;
    }
    bool Finish(std::string& digest, std::wstring& error) {
        digest.assign(32, '\0');
        NTSTATUS st = BCryptFinishHash(hash_.get(), reinterpret_cast<PUCHAR>(digest.data()), 32, 0);
        if (!BCRYPT_SUCCESS(st)) return Fail(L"BCryptFinishHash", st, error);
        return true;
    }

private:
    static bool Fail(const wchar_t* call, NTSTATUS st, std::wstring& error) {
        error = CngError(call, st);
        return false;
    }
    AlgHandle alg_;
    std::vector<UCHAR> object_;
    CngHash hash_;
};

}  // namespace

bool DecodeBase64(std::string_view text, std::string& bytes) {
    bytes.clear();
    unsigned buffer = 0;
    int bits = 0, padding = 0, count = 0;
    for (char c : text) {
        if (c == ' ' || c == '\t' || c == '\r' || c == '\n') continue;
        ++count;
        if (c == '=') {
            ++padding;
            continue;
        }
        const int v = Base64Value(c);
        if (v < 0 || padding > 0) return false;  // nothing but padding after padding
        buffer = (buffer << 6) | static_cast<unsigned>(v);
        bits += 6;
        if (bits >= 8) {
            bits -= 8;
            bytes += static_cast<char>((buffer >> bits) & 0xFF);
        }
    }
    if (count % 4 != 0 || padding > 2) return false;
    // The bits left over must be zero and match the padding.
    if ((buffer & ((1u << bits) - 1)) != 0) return false;
    if ((padding == 0 && bits != 0) || (padding == 1 && bits != 2) || (padding == 2 && bits != 4)) return false;
    return true;
}

std::string EncodeBase64(std::string_view bytes) {
    std::string out;
    size_t i = 0;
    for (; i + 3 <= bytes.size(); i += 3) {
        const unsigned v = (static_cast<unsigned char>(bytes[i]) << 16) | (static_cast<unsigned char>(bytes[i + 1]) << 8) |
                           static_cast<unsigned char>(bytes[i + 2]);
        for (int s = 18; s >= 0; s -= 6) out += kBase64[(v >> s) & 63];
    }
    const size_t rest = bytes.size() - i;
    if (rest > 0) {
        unsigned v = static_cast<unsigned char>(bytes[i]) << 16;
        if (rest == 2) v |= static_cast<unsigned char>(bytes[i + 1]) << 8;
        out += kBase64[(v >> 18) & 63];
        out += kBase64[(v >> 12) & 63];
        out += rest == 2 ? kBase64[(v >> 6) & 63] : '=';
        out += '=';
    }
    return out;
}

bool DecodeHex(std::wstring_view text, std::string& bytes) {
    bytes.clear();
    if (text.size() % 2 != 0) return false;
    for (size_t i = 0; i < text.size(); i += 2) {
        const int hi = HexValue(text[i]), lo = HexValue(text[i + 1]);
        if (hi < 0 || lo < 0) return false;
        bytes += static_cast<char>(hi * 16 + lo);
    }
    return true;
}

std::wstring EncodeHex(std::string_view bytes) {
    static const wchar_t kDigits[] = L"0123456789abcdef";
    std::wstring out;
    for (char c : bytes) {
        out += kDigits[(static_cast<unsigned char>(c) >> 4) & 15];
        out += kDigits[static_cast<unsigned char>(c) & 15];
    }
    return out;
}

bool Sha256Of(std::string_view data, std::string& digest, std::wstring& error) {
    Sha256 h;
    return h.Open(error) && h.Add(data.data(), data.size(), error) && h.Finish(digest, error);
}

bool Sha256OfFile(const std::wstring& path, std::string& digest, std::wstring& error) {
    Handle file(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                            FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
    if (!file) {
        error = Format(L"CreateFile failed (%lu)", GetLastError());
        return false;
    }
    Sha256 h;
    if (!h.Open(error)) return false;
    std::vector<char> buf(256 * 1024);
    for (;;) {
        DWORD got = 0;
        if (!ReadFile(file.get(), buf.data(), static_cast<DWORD>(buf.size()), &got, nullptr)) {
            error = Format(L"ReadFile failed (%lu)", GetLastError());
            return false;
        }
        if (got == 0) break;
        if (!h.Add(buf.data(), got, error)) return false;
    }
    return h.Finish(digest, error);
}

std::string SignedListMessage(ListRole role, std::string_view bytes) {
    std::string message = role == ListRole::Main ? "mirovane main list\n" : "mirovane update list\n";
    message.append(bytes.data(), bytes.size());
    return message;
}

const wchar_t* ListRoleName(ListRole role) { return role == ListRole::Main ? L"main list" : L"update list"; }

SignatureCheck VerifyListSignature(std::string_view keyText, std::string_view data, std::string_view signatureText,
                                   std::wstring& error) {
    std::string key, signature, digest;
    if (!DecodeBase64(keyText, key) || key.size() != kListKeyBytes) {
        error = L"the key is not the base64 of 64 bytes";
        return SignatureCheck::BadKey;
    }
    if (!DecodeBase64(signatureText, signature) || signature.size() != kListSignatureBytes) {
        error = L"the signature is not the base64 of 64 bytes";
        return SignatureCheck::Malformed;
    }
    if (!Sha256Of(data, digest, error)) return SignatureCheck::CryptoError;

    BCRYPT_ALG_HANDLE rawAlg = nullptr;
    NTSTATUS st = BCryptOpenAlgorithmProvider(&rawAlg, BCRYPT_ECDSA_P256_ALGORITHM, nullptr, 0);
    if (!BCRYPT_SUCCESS(st)) {
        error = CngError(L"BCryptOpenAlgorithmProvider", st);
        return SignatureCheck::CryptoError;
    }
    AlgHandle alg(rawAlg);
    std::string blob(sizeof(BCRYPT_ECCKEY_BLOB), '\0');
    BCRYPT_ECCKEY_BLOB header{BCRYPT_ECDSA_PUBLIC_P256_MAGIC, 32};
    memcpy(blob.data(), &header, sizeof(header));
    blob += key;
    BCRYPT_KEY_HANDLE rawKey = nullptr;
    st = BCryptImportKeyPair(alg.get(), nullptr, BCRYPT_ECCPUBLIC_BLOB, &rawKey, reinterpret_cast<PUCHAR>(blob.data()),
                             static_cast<ULONG>(blob.size()), 0);
    if (!BCRYPT_SUCCESS(st)) {
        error = CngError(L"BCryptImportKeyPair", st);
        return SignatureCheck::BadKey;
    }
    CngKey publicKey(rawKey);
    st = BCryptVerifySignature(publicKey.get(), nullptr, reinterpret_cast<PUCHAR>(digest.data()),
                               static_cast<ULONG>(digest.size()), reinterpret_cast<PUCHAR>(signature.data()),
                               static_cast<ULONG>(signature.size()), 0);
    if (BCRYPT_SUCCESS(st)) return SignatureCheck::Ok;
    error = CngError(L"BCryptVerifySignature", st);
    // Only a clear "does not match" is a wrong signature; anything else is a failure of CNG.
    return st == kInvalidSignature ? SignatureCheck::Wrong : SignatureCheck::CryptoError;
}

}  // namespace mv

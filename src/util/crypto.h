// Integrity helpers over the platform's own cryptography (CNG): base64 and hex texts, SHA-256,
// and the ECDSA P-256 check of a detached list signature. Values in, values out; any thread.
#pragma once
#include <string>
#include <string_view>

namespace mv {

// Standard base64 with "=" padding; spaces, tabs and line breaks are skipped. False for any
// other character, a wrong length or bits left over.
bool DecodeBase64(std::string_view text, std::string& bytes);
std::string EncodeBase64(std::string_view bytes);

// Hexadecimal digits in either case, two per byte; false for anything else.
bool DecodeHex(std::wstring_view text, std::string& bytes);
std::wstring EncodeHex(std::string_view bytes);  // lower case

// SHA-256 of bytes, or of a file read in blocks. On failure `error` names the failed call and
// its code.
bool Sha256Of(std::string_view data, std::string& digest, std::wstring& error);
bool Sha256OfFile(const std::wstring& path, std::string& digest, std::wstring& error);

constexpr size_t kListKeyBytes = 64;        // X‖Y of a P-256 public key
constexpr size_t kListSignatureBytes = 64;  // r‖s of a P-256 signature

enum class SignatureCheck {
    Ok,
    BadKey,        // the key text is not the base64 of 64 bytes, or CNG refuses it
    Malformed,     // the signature text is not the base64 of 64 bytes
    Wrong,         // a well-formed signature that does not match the bytes under this key
    CryptoError,   // CNG failed (error names the call)
};
// Checks `signatureText` (base64 of r‖s) over SHA-256 of `data` under `keyText` (base64 of X‖Y).
SignatureCheck VerifyListSignature(std::string_view keyText, std::string_view data, std::string_view signatureText,
                                   std::wstring& error);

// A list is signed in one role: what a signature covers is a line naming the role followed by
// the list's bytes, so a main list can never stand in for an update list or the other way round.
enum class ListRole { Update, Main };
std::string SignedListMessage(ListRole role, std::string_view bytes);
const wchar_t* ListRoleName(ListRole role);  // "update list" or "main list", for log lines

// Publisher side. A private key is kept as the base64 of X‖Y‖d (96 bytes).
// Creates a new key pair; `publicText` is the base64 of X‖Y (the text of the ListKey setting).
bool CreateListKey(std::string& privateText, std::string& publicText, std::wstring& error);
// The public key text of a private key text; false when the text is not a key.
bool PublicKeyOf(std::string_view privateText, std::string& publicText);
// Signs SHA-256 of `data`; `signatureText` is the base64 of r‖s.
bool SignListBytes(std::string_view privateText, std::string_view data, std::string& signatureText, std::wstring& error);
// True when `keyText` is a usable ListKey: the base64 of X‖Y of a point on the P-256 curve.
// Checked by arithmetic, not by CNG, which need not refuse a point off the curve. Otherwise
// `why` says what is wrong.
bool IsListPublicKey(std::string_view keyText, std::wstring& why);
// The on-curve test alone, over the 64 bytes X‖Y (big-endian).
bool IsP256Point(std::string_view xy);

}  // namespace mv

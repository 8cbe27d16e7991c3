#include "util/crypto.h"

#include <gtest/gtest.h>

namespace {

TEST(Base64, DecodeTable) {
    struct Case {
        const char* text;
        bool ok;
        const char* bytes;
    } cases[] = {
        {"", true, ""},
        {"YQ==", true, "a"},
        {"YWI=", true, "ab"},
        {"YWJj", true, "abc"},
        {"YWJj\r\nZA==\n", true, "abcd"},  // line breaks are skipped
        {"YWJ", false, ""},                // length not a multiple of four
        {"YQ=", false, ""},
        {"Y===", false, ""},               // three padding characters
        {"YR==", false, ""},               // bits left over that are not zero
        {"YW=j", false, ""},               // data after padding
        {"YW*j", false, ""},
        {"YW-_", false, ""},               // the URL alphabet is not taken
    };
    for (const Case& c : cases) {
        std::string out;
        EXPECT_EQ(mv::DecodeBase64(c.text, out), c.ok) << c.text;
        if (c.ok) {
            EXPECT_EQ(out, c.bytes) << c.text;
        }
    }
    for (const char* s : {"", "a", "ab", "abc", "abcd", "\xff\x00\x80"}) {
        std::string back;
        ASSERT_TRUE(mv::DecodeBase64(mv::EncodeBase64(s), back));
        EXPECT_EQ(back, s);
    }
}

TEST(Hex, DecodeTable) {
    std::string out;
    EXPECT_TRUE(mv::DecodeHex(L"00aBfF", out));
    EXPECT_EQ(out, std::string("\x00\xab\xff", 3));
    EXPECT_EQ(mv::EncodeHex(out), L"00abff");
    for (const wchar_t* bad : {L"0", L"0g", L" 00", L"00 "}) EXPECT_FALSE(mv::DecodeHex(bad, out)) << bad;
}

TEST(Sha256, KnownDigests) {
    std::string digest;
    std::wstring error;
    ASSERT_TRUE(mv::Sha256Of("abc", digest, error)) << error;
    EXPECT_EQ(mv::EncodeHex(digest), L"ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
    ASSERT_TRUE(mv::Sha256Of("", digest, error)) << error;
    EXPECT_EQ(mv::EncodeHex(digest), L"e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
}

// A key and a signature made by another implementation (Python's cryptography package) over
// the bytes below.
constexpr char kKey[] = "jyZrG37gjidMDy0af3yaYSmnDEPsyPGVMJWNJzWTxji1CHLh7A86TEsW4FiQ8yIlHippIRsfi8wBP1p5LnipsQ==";
constexpr char kOtherKey[] = "VCrlVzzs+u04W94Ckt06cOUI0oR1Et2e/n6I7pJ0hCe1w4dPuSIq4uZ+bJ7SgQxFktVUDWFyISCZ7L/QThc9Hg==";
constexpr char kSignature[] = "bdcSuAfDqEMBi6I2tFwkg9dyzQTutve7Gpbdkt1eacoDDKpb9eYwqqIgnretcXDYh7YgAVVIToHIXNQBXVCFUw==";
constexpr char kSigned[] = "<update><sequence>1</sequence></update>";

TEST(VerifyListSignature, Table) {
    struct Case {
        const char* key;
        const char* data;
        const char* signature;
        mv::SignatureCheck expected;
    } cases[] = {
        {kKey, kSigned, kSignature, mv::SignatureCheck::Ok},
        {kKey, "<update><sequence>2</sequence></update>", kSignature, mv::SignatureCheck::Wrong},
        {kOtherKey, kSigned, kSignature, mv::SignatureCheck::Wrong},
        {kKey, kSigned, "bdcSuAfDqEMBi6I2tFwkg9dyzQTutve7Gpbdkt1eacoDDKpb9eYwqqIgnretcXDYh7YgAVVIToHIXNQBXVCFUA==",
         mv::SignatureCheck::Wrong},                                          // last byte of s changed
        {kKey, kSigned, "", mv::SignatureCheck::Malformed},
        {kKey, kSigned, "not base64!", mv::SignatureCheck::Malformed},
        {kKey, kSigned, "YWJj", mv::SignatureCheck::Malformed},               // three bytes
        {"", kSigned, kSignature, mv::SignatureCheck::BadKey},
        {"YWJj", kSigned, kSignature, mv::SignatureCheck::BadKey},
        // 64 bytes that are no point on the curve
        {"AAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAA==", kSigned, kSignature,
         mv::SignatureCheck::BadKey},
    };
    for (const Case& c : cases) {
        std::wstring error;
        EXPECT_EQ(mv::VerifyListSignature(c.key, c.data, c.signature, error), c.expected) << c.key << " " << c.signature;
    }
}

TEST(ListKey, CreatedKeySignsWhatItsPublicHalfVerifies) {
    std::string privateText, publicText, signature, derived;
    std::wstring error;
    ASSERT_TRUE(mv::CreateListKey(privateText, publicText, error)) << error;
    ASSERT_TRUE(mv::PublicKeyOf(privateText, derived));
    EXPECT_EQ(derived, publicText);
    ASSERT_TRUE(mv::SignListBytes(privateText, "list bytes", signature, error)) << error;
    EXPECT_EQ(mv::VerifyListSignature(publicText, "list bytes", signature, error), mv::SignatureCheck::Ok) << error;
    EXPECT_EQ(mv::VerifyListSignature(publicText, "list byteS", signature, error), mv::SignatureCheck::Wrong);
    EXPECT_EQ(mv::VerifyListSignature(kKey, "list bytes", signature, error), mv::SignatureCheck::Wrong);
    EXPECT_FALSE(mv::SignListBytes("YWJj", "x", signature, error));
}

TEST(ListKey, ASignatureHoldsOnlyInTheRoleItWasMadeFor) {
    std::string privateText, publicText, signature;
    std::wstring error;
    ASSERT_TRUE(mv::CreateListKey(privateText, publicText, error)) << error;
    const std::string list = "<update><sequence>3</sequence></update>";
    EXPECT_EQ(mv::SignedListMessage(mv::ListRole::Update, list), "mirovane update list\n" + list);
    EXPECT_EQ(mv::SignedListMessage(mv::ListRole::Main, list), "mirovane main list\n" + list);
    ASSERT_TRUE(mv::SignListBytes(privateText, mv::SignedListMessage(mv::ListRole::Main, list), signature, error));
    EXPECT_EQ(mv::VerifyListSignature(publicText, mv::SignedListMessage(mv::ListRole::Main, list), signature, error),
              mv::SignatureCheck::Ok);
    EXPECT_EQ(mv::VerifyListSignature(publicText, mv::SignedListMessage(mv::ListRole::Update, list), signature, error),
              mv::SignatureCheck::Wrong);
    EXPECT_EQ(mv::VerifyListSignature(publicText, list, signature, error), mv::SignatureCheck::Wrong);
}

TEST(ListKey, PublicKeyCheckTable) {
    std::string xy;
    ASSERT_TRUE(mv::DecodeBase64(kKey, xy));
    std::string offCurve = xy;
    offCurve[63] = static_cast<char>(offCurve[63] ^ 1);  // y changed: no longer on the curve
    std::string xTooLarge(32, '\xff');                  // x >= p
    xTooLarge += xy.substr(32);
    const std::string zeros(64, '\0');                  // the point at infinity's encoding is not a key
    struct Case {
        std::string text;
        bool ok;
        const wchar_t* why;
    } cases[] = {
        {kKey, true, L""},
        {std::string(" ") + kKey + "\r\n", true, L""},  // as pasted from a line
        {"", false, L"decodes to 0 bytes"},
        {"notbase64!!", false, L"not base64"},
        {"AAAA", false, L"decodes to 3 bytes"},
        {mv::EncodeBase64(xy + "x"), false, L"decodes to 65 bytes"},
        {mv::EncodeBase64(offCurve), false, L"not a point"},
        {mv::EncodeBase64(xTooLarge), false, L"not a point"},
        {mv::EncodeBase64(zeros), false, L"not a point"},
    };
    for (const Case& c : cases) {
        std::wstring why;
        EXPECT_EQ(mv::IsListPublicKey(c.text, why), c.ok) << c.text;
        if (!c.ok) {
            EXPECT_NE(why.find(c.why), std::wstring::npos) << c.text;
        }
    }
    // Every key the platform makes passes.
    for (int i = 0; i < 5; ++i) {
        std::string privateText, publicText;
        std::wstring error, why;
        ASSERT_TRUE(mv::CreateListKey(privateText, publicText, error)) << error;
        EXPECT_TRUE(mv::IsListPublicKey(publicText, why)) << publicText;
    }
}

}  // namespace

#include "download/delta.h"

#include <windows.h>

#include <memory>
#include <vector>

#include "util/files.h"
#include "util/handle.h"
#include "util/text.h"
#include "zstd.h"

namespace {

struct DctxFree {
    void operator()(ZSTD_DCtx* d) const { ZSTD_freeDCtx(d); }
};

std::wstring ZstdError(size_t code) { return mv::FromUtf8(ZSTD_getErrorName(code)); }

bool Decode(std::string_view base, std::string_view patch, HANDLE out, uint64_t maxBytes, std::wstring& why) {
    // A result the header says is too large is refused before anything is decoded.
    const unsigned long long declared = ZSTD_getFrameContentSize(patch.data(), patch.size());
    if (declared == ZSTD_CONTENTSIZE_ERROR) {
        why = L"not a patch";
        return false;
    }
    if (declared != ZSTD_CONTENTSIZE_UNKNOWN && declared > maxBytes) {
        why = mv::Format(L"the result would be %llu bytes, more than %llu", declared, static_cast<unsigned long long>(maxBytes));
        return false;
    }
    std::unique_ptr<ZSTD_DCtx, DctxFree> dctx(ZSTD_createDCtx());
    if (!dctx) {
        why = L"out of memory";
        return false;
    }
    size_t r = ZSTD_DCtx_setParameter(dctx.get(), ZSTD_d_windowLogMax, kMaxPatchWindowLog);
    if (!ZSTD_isError(r)) r = ZSTD_DCtx_refPrefix(dctx.get(), base.data(), base.size());
    if (ZSTD_isError(r)) {
        why = L"decoder set-up failed: " + ZstdError(r);
        return false;
    }
    std::vector<char> block(ZSTD_DStreamOutSize());
    ZSTD_inBuffer input{patch.data(), patch.size(), 0};
    uint64_t written = 0;
    for (;;) {
        ZSTD_outBuffer output{block.data(), block.size(), 0};
        const size_t left = ZSTD_decompressStream(dctx.get(), &output, &input);
        if (ZSTD_isError(left)) {
            why = L"damaged patch: " + ZstdError(left);
            return false;
        }
        written += output.pos;
        if (written > maxBytes) {
            why = mv::Format(L"the result exceeds %llu bytes", static_cast<unsigned long long>(maxBytes));
            return false;
        }
        DWORD put = 0;
        if (output.pos &&
            (!WriteFile(out, block.data(), static_cast<DWORD>(output.pos), &put, nullptr) || put != output.pos)) {
            why = mv::Format(L"WriteFile failed (%lu)", GetLastError());
            return false;
        }
        if (left == 0) break;  // the frame is complete
        // All input used and the decoder gave back less than a whole block: nothing follows.
        if (input.pos == input.size && output.pos < output.size) {
            why = L"the patch ends early";
            return false;
        }
    }
    if (input.pos != input.size) {
        why = L"data after the end of the patch";
        return false;
    }
    return true;
}

}  // namespace

bool ApplyPatch(std::string_view base, std::string_view patch, const std::wstring& outPath, uint64_t maxBytes,
                std::wstring& why) {
    bool ok = false;
    {
        mv::Handle out(CreateFileW(outPath.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
        if (!out) {
            why = mv::Format(L"cannot create %s (%lu)", outPath.c_str(), GetLastError());
            return false;
        }
        ok = Decode(base, patch, out.get(), maxBytes, why);
    }
    if (!ok) RemoveFile(outPath);
    return ok;
}

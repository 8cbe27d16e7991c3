#include "patch_maker.h"

#include <memory>

#include "download/delta.h"
#include "zstd.h"

namespace {

struct CctxFree {
    void operator()(ZSTD_CCtx* c) const { ZSTD_freeCCtx(c); }
};

std::wstring Widen(const char* s) { return std::wstring(s, s + std::char_traits<char>::length(s)); }

}  // namespace

bool MakePatch(const std::string& base, const std::string& target, std::string& patch, std::wstring& why) {
    // A match may reach from the end of the new file back to the start of the old one.
    const unsigned long long span = static_cast<unsigned long long>(base.size()) + target.size();
    int windowLog = 10;  // zstd's smallest window
    while (windowLog <= kMaxPatchWindowLog && (1ULL << windowLog) < span) ++windowLog;
    if (windowLog > kMaxPatchWindowLog) {
        why = L"the two versions together exceed the largest window a patch may use";
        return false;
    }
    std::unique_ptr<ZSTD_CCtx, CctxFree> cctx(ZSTD_createCCtx());
    if (!cctx) {
        why = L"out of memory";
        return false;
    }
    size_t r = 0;
    auto set = [&](ZSTD_cParameter p, int v) {
        if (!ZSTD_isError(r)) r = ZSTD_CCtx_setParameter(cctx.get(), p, v);
    };
    set(ZSTD_c_compressionLevel, 19);
    set(ZSTD_c_windowLog, windowLog);
    set(ZSTD_c_enableLongDistanceMatching, 1);
    set(ZSTD_c_checksumFlag, 1);
    set(ZSTD_c_contentSizeFlag, 1);
    if (!ZSTD_isError(r)) r = ZSTD_CCtx_refPrefix(cctx.get(), base.data(), base.size());
    if (ZSTD_isError(r)) {
        why = Widen(ZSTD_getErrorName(r));
        return false;
    }
    patch.resize(ZSTD_compressBound(target.size()));
    r = ZSTD_compress2(cctx.get(), patch.data(), patch.size(), target.data(), target.size());
    if (ZSTD_isError(r)) {
        why = Widen(ZSTD_getErrorName(r));
        return false;
    }
    patch.resize(r);
    return true;
}

#pragma once
// Owned zstd contexts.

#include <zstd.h>

#include <memory>

namespace kov_core::util {

struct ZstdCctxFree {
  void operator()(ZSTD_CCtx* ctx) const noexcept { ZSTD_freeCCtx(ctx); }
};
struct ZstdDctxFree {
  void operator()(ZSTD_DCtx* ctx) const noexcept { ZSTD_freeDCtx(ctx); }
};

using ZstdCctx = std::unique_ptr<ZSTD_CCtx, ZstdCctxFree>;
using ZstdDctx = std::unique_ptr<ZSTD_DCtx, ZstdDctxFree>;

}  // namespace kov_core::util

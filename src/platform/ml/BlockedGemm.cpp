#include "platform/ml/BlockedGemm.hpp"

#include <algorithm>
#include <cstring>

#include "platform/ml/AlignedBuffer.hpp"

namespace platform::ml {

namespace {

// Grows on demand and stays with the thread, so that a product allocates
// nothing once the thread has run one of that size.
float* threadBuffer(AlignedBuffer<float>& buffer, std::size_t n) {
    if (buffer.size() < n) buffer = AlignedBuffer<float>(n);
    return buffer.data();
}

// One panel of MR rows: each step of depth takes one value from every row, so
// the writes run straight and the rows are read side by side.
template <std::size_t MR>
void packAPanel(const float* a, std::size_t lda, std::size_t rows, std::size_t kc, float* dst) {
    const float* row[MR];
    for (std::size_t i = 0; i < MR; ++i) row[i] = a + std::min(i, rows - 1) * lda;
    if (rows == MR) {
        for (std::size_t p = 0; p < kc; ++p)
            for (std::size_t i = 0; i < MR; ++i) dst[p * MR + i] = row[i][p];
        return;
    }
    for (std::size_t p = 0; p < kc; ++p)
        for (std::size_t i = 0; i < MR; ++i) dst[p * MR + i] = i < rows ? row[i][p] : 0.0f;
}

void packAPanel(const float* a, std::size_t lda, std::size_t rows, std::size_t kc, std::size_t mr,
                float* dst) {
    switch (mr) {
        case 4:
            return packAPanel<4>(a, lda, rows, kc, dst);
        case 6:
            return packAPanel<6>(a, lda, rows, kc, dst);
        case 12:
            return packAPanel<12>(a, lda, rows, kc, dst);
        default:
            for (std::size_t p = 0; p < kc; ++p)
                for (std::size_t i = 0; i < mr; ++i)
                    dst[p * mr + i] = i < rows ? a[i * lda + p] : 0.0f;
    }
}

// Rows [0, mc) and depth [0, kc) of A (already offset) into panels of mr rows.
void packA(const float* a, std::size_t lda, std::size_t mc, std::size_t kc, std::size_t mr,
           float* dst) {
    for (std::size_t i0 = 0; i0 < mc; i0 += mr) {
        packAPanel(a + i0 * lda, lda, std::min(mr, mc - i0), kc, mr, dst);
        dst += mr * kc;
    }
}

// Columns [0, nc) and depth [0, kc) of op(B) (already offset) into panels of nr columns.
void packB(bool transB, const float* b, std::size_t ldb, std::size_t nc, std::size_t kc,
           std::size_t nr, float* dst) {
    for (std::size_t j0 = 0; j0 < nc; j0 += nr) {
        const std::size_t cols = std::min(nr, nc - j0);
        if (transB) {
            for (std::size_t j = 0; j < cols; ++j) {
                const float* src = b + (j0 + j) * ldb;
                for (std::size_t p = 0; p < kc; ++p) dst[p * nr + j] = src[p];
            }
            for (std::size_t j = cols; j < nr; ++j)
                for (std::size_t p = 0; p < kc; ++p) dst[p * nr + j] = 0.0f;
        } else {
            for (std::size_t p = 0; p < kc; ++p) {
                std::memcpy(dst + p * nr, b + p * ldb + j0, cols * sizeof(float));
                std::fill(dst + p * nr + cols, dst + (p + 1) * nr, 0.0f);
            }
        }
        dst += nr * kc;
    }
}

// Where block (jc, pc) of a packed op(B) starts: full column blocks first,
// each [k][nc]; within one, the depth blocks in order, each kc × its padded width.
std::size_t blockOffset(const MicroKernel& kernel, std::size_t n, std::size_t k, std::size_t jc,
                        std::size_t pc) {
    const std::size_t nc = std::min(kernel.nc, n - jc);
    const std::size_t padded = (nc + kernel.nr - 1) / kernel.nr * kernel.nr;
    return jc * k + pc * padded;
}

// C (+)= A · op(B) where `packedB(jc, pc, nc, kc)` yields block (jc, pc) of op(B) packed.
template <class PackedB>
void multiply(const MicroKernel& kernel, std::size_t m, std::size_t n, std::size_t k,
              const float* a, std::size_t lda, float* c, std::size_t ldc, bool accumulate,
              bool preferAOnce, PackedB&& packedB) {
    if (m == 0 || n == 0) return;
    if (k == 0) {
        if (!accumulate)
            for (std::size_t i = 0; i < m; ++i) std::fill(c + i * ldc, c + i * ldc + n, 0.0f);
        return;
    }
    const std::size_t mr = kernel.mr, nr = kernel.nr;
    thread_local AlignedBuffer<float> aBuffer, edgeBuffer;
    float* ap = threadBuffer(aBuffer, (kernel.mc + mr) * kernel.kc);
    float* edge = threadBuffer(edgeBuffer, mr * nr);

    // Packing a panel of A pays off when it meets many panels of B; with only
    // a few (attention values: 64 columns), whole panels of A are read in place.
    const bool direct = kernel.tileDirect && n <= 4 * nr;
    // One block of the product: rows [ic, ic + mc), columns [jc, jc + nc), depth [pc, pc + kc).
    auto block = [&](std::size_t ic, std::size_t mc, std::size_t jc, std::size_t nc, std::size_t pc,
                     std::size_t kc, const float* bp) {
        const bool add = accumulate || pc > 0;
        for (std::size_t ir = 0; ir < mc; ir += mr) {
            const std::size_t rows = std::min(mr, mc - ir);
            const float* aPanel = ap + ir * kc;
            const float* aRows = a + (ic + ir) * lda + pc;
            for (std::size_t jr = 0; jr < nc; jr += nr) {
                const std::size_t cols = std::min(nr, nc - jr);
                float* tile = c + (ic + ir) * ldc + jc + jr;
                if (direct && rows == mr) {
                    if (cols == nr) {
                        kernel.tileDirect(kc, aRows, lda, bp + jr * kc, tile, ldc, add);
                        continue;
                    }
                    kernel.tileDirect(kc, aRows, lda, bp + jr * kc, edge, nr, false);
                    for (std::size_t i = 0; i < rows; ++i)
                        for (std::size_t j = 0; j < cols; ++j)
                            tile[i * ldc + j] =
                                add ? tile[i * ldc + j] + edge[i * nr + j] : edge[i * nr + j];
                    continue;
                }
                if (rows == mr && cols == nr) {
                    kernel.tile(kc, aPanel, bp + jr * kc, tile, ldc, add);
                    continue;
                }
                // An edge tile goes through a whole tile of scratch.
                kernel.tile(kc, aPanel, bp + jr * kc, edge, nr, false);
                for (std::size_t i = 0; i < rows; ++i)
                    for (std::size_t j = 0; j < cols; ++j)
                        tile[i * ldc + j] =
                            add ? tile[i * ldc + j] + edge[i * nr + j] : edge[i * nr + j];
            }
        }
    };
    auto packBlockOfA = [&](std::size_t ic, std::size_t mc, std::size_t pc, std::size_t kc) {
        if (!direct) return packA(a + ic * lda + pc, lda, mc, kc, mr, ap);
        const std::size_t whole = mc / mr * mr;  // read in place
        if (whole < mc)
            packA(a + (ic + whole) * lda + pc, lda, mc - whole, kc, mr, ap + whole * kc);
    };
    if (preferAOnce) {
        // B is packed already: pack each block of A once and run it past every column block.
        for (std::size_t ic = 0; ic < m; ic += kernel.mc) {
            const std::size_t mc = std::min(kernel.mc, m - ic);
            for (std::size_t pc = 0; pc < k; pc += kernel.kc) {
                const std::size_t kc = std::min(kernel.kc, k - pc);
                packBlockOfA(ic, mc, pc, kc);
                for (std::size_t jc = 0; jc < n; jc += kernel.nc) {
                    const std::size_t nc = std::min(kernel.nc, n - jc);
                    block(ic, mc, jc, nc, pc, kc, packedB(jc, pc, nc, kc));
                }
            }
        }
        return;
    }
    // B is packed here, block by block: pack each once and run every block of A past it.
    for (std::size_t jc = 0; jc < n; jc += kernel.nc) {
        const std::size_t nc = std::min(kernel.nc, n - jc);
        for (std::size_t pc = 0; pc < k; pc += kernel.kc) {
            const std::size_t kc = std::min(kernel.kc, k - pc);
            const float* bp = packedB(jc, pc, nc, kc);
            for (std::size_t ic = 0; ic < m; ic += kernel.mc) {
                const std::size_t mc = std::min(kernel.mc, m - ic);
                packBlockOfA(ic, mc, pc, kc);
                block(ic, mc, jc, nc, pc, kc, bp);
            }
        }
    }
}

}  // namespace

std::size_t packedSize(const MicroKernel& kernel, std::size_t n, std::size_t k) {
    if (n == 0) return 0;
    const std::size_t last = (n - 1) / kernel.nc * kernel.nc;
    return blockOffset(kernel, n, k, last, k);
}

void packColumns(const MicroKernel& kernel, bool transB, std::size_t n, std::size_t k,
                 const float* b, std::size_t ldb, float* packed, std::size_t j0, std::size_t j1) {
    j1 = std::min(j1, n);
    for (std::size_t jc = j0 / kernel.nc * kernel.nc; jc < j1; jc += kernel.nc) {
        const std::size_t nc = std::min(kernel.nc, n - jc);
        // The panels of this block that fall in [j0, j1).
        const std::size_t from = std::max(j0, jc) - jc, to = std::min(j1, jc + nc) - jc;
        for (std::size_t pc = 0; pc < k; pc += kernel.kc) {
            const std::size_t kc = std::min(kernel.kc, k - pc);
            const std::size_t col = jc + from;
            packB(transB, transB ? b + col * ldb + pc : b + pc * ldb + col, ldb, to - from, kc,
                  kernel.nr, packed + blockOffset(kernel, n, k, jc, pc) + from * kc);
        }
    }
}

void blockedGemm(const MicroKernel& kernel, bool transB, std::size_t m, std::size_t n,
                 std::size_t k, const float* a, std::size_t lda, const float* b, std::size_t ldb,
                 float* c, std::size_t ldc, bool accumulate) {
    thread_local AlignedBuffer<float> bBuffer;
    float* bp = threadBuffer(bBuffer, (kernel.nc + kernel.nr) * kernel.kc);
    multiply(kernel, m, n, k, a, lda, c, ldc, accumulate, false,
             [&](std::size_t jc, std::size_t pc, std::size_t nc, std::size_t kc) {
                 packB(transB, transB ? b + jc * ldb + pc : b + pc * ldb + jc, ldb, nc, kc,
                       kernel.nr, bp);
                 return bp;
             });
}

void blockedGemmPacked(const MicroKernel& kernel, std::size_t m, std::size_t n, std::size_t k,
                       const float* a, std::size_t lda, const float* packed, float* c,
                       std::size_t ldc, bool accumulate) {
    multiply(kernel, m, n, k, a, lda, c, ldc, accumulate, true,
             [&](std::size_t jc, std::size_t pc, std::size_t, std::size_t) {
                 return packed + blockOffset(kernel, n, k, jc, pc);
             });
}

}  // namespace platform::ml

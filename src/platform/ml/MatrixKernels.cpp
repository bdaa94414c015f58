#include "platform/ml/MatrixKernels.hpp"

#include <cblas.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <mutex>
#include <random>

#include "platform/ml/BlockedGemm.hpp"
#include "platform/ml/ComputeKernels.hpp"

// Not in OpenBLAS's public header; weak, so that a build without it still links.
extern "C" int blas_thread_shutdown_(void) __attribute__((weak));

namespace platform::ml {

const MatrixKernels* avx512MatrixKernels();
const MatrixKernels* avx2MatrixKernels();

namespace {

// The portable micro-kernel: plain loops the compiler vectorises for the
// baseline instruction set.
constexpr std::size_t kRows = 4, kCols = 16;

void portableTile(std::size_t kc, const float* ap, const float* bp, float* c, std::size_t ldc,
                  bool accumulate) {
    float acc[kRows][kCols] = {};
    for (std::size_t p = 0; p < kc; ++p) {
        for (std::size_t i = 0; i < kRows; ++i)
            for (std::size_t j = 0; j < kCols; ++j) acc[i][j] += ap[i] * bp[j];
        ap += kRows;
        bp += kCols;
    }
    for (std::size_t i = 0; i < kRows; ++i)
        for (std::size_t j = 0; j < kCols; ++j)
            c[i * ldc + j] = accumulate ? c[i * ldc + j] + acc[i][j] : acc[i][j];
}

const MicroKernel kPortableTile = {kRows, kCols, 256, 512, 64, portableTile, nullptr};

using PortableEntryPoints = BlockedEntryPoints<kPortableTile>;
const MatrixKernels kPortable = {"portable",
                                 PortableEntryPoints::gemm,
                                 kPortableTile.nr,
                                 PortableEntryPoints::packedSize,
                                 PortableEntryPoints::pack,
                                 PortableEntryPoints::gemmPacked};

// OpenBLAS as the system ships it: it knows processors older than AVX2 well.
// Its core is fixed when the library loads, from a table of processor models.
void openblasGemm(bool transB, std::size_t m, std::size_t n, std::size_t k, const float* a,
                  std::size_t lda, const float* b, std::size_t ldb, float* c, std::size_t ldc,
                  bool accumulate) {
    if (m == 0 || n == 0) return;
    cblas_sgemm(CblasRowMajor, CblasNoTrans, transB ? CblasTrans : CblasNoTrans,
                static_cast<int>(m), static_cast<int>(n), static_cast<int>(k), 1.0f, a,
                static_cast<int>(lda), b, static_cast<int>(ldb), accumulate ? 1.0f : 0.0f, c,
                static_cast<int>(ldc));
}

// Packed for OpenBLAS means op(B) as plain [n][k] rows; it packs again itself.
std::size_t openblasPackedSize(std::size_t n, std::size_t k) { return n * k; }

void openblasPack(bool transB, std::size_t, std::size_t k, const float* b, std::size_t ldb,
                  float* packed, std::size_t j0, std::size_t j1) {
    for (std::size_t j = j0; j < j1; ++j)
        for (std::size_t p = 0; p < k; ++p)
            packed[j * k + p] = transB ? b[j * ldb + p] : b[p * ldb + j];
}

void openblasGemmPacked(std::size_t m, std::size_t n, std::size_t k, const float* a,
                        std::size_t lda, const float* packed, float* c, std::size_t ldc,
                        bool accumulate) {
    openblasGemm(true, m, n, k, a, lda, packed, std::max<std::size_t>(k, 1), c, ldc, accumulate);
}

const MatrixKernels kOpenblas = {"openblas",         openblasGemm, 1,
                                 openblasPackedSize, openblasPack, openblasGemmPacked};

// Our pool splits the work; each call runs on the thread that makes it. OpenBLAS
// starts a thread per core when it loads, and those poll with sched_yield for
// about a second before they sleep: most of a second of every core at each start
// of every program, taken from loading the models. They are stopped as soon as
// the program runs; calls still work, on the caller's thread.
const bool openblasSingleThreaded = [] {
    openblas_set_num_threads(1);
    if (blas_thread_shutdown_) blas_thread_shutdown_();
    return true;
}();

const MatrixKernels& openblasKernels() {
    (void)openblasSingleThreaded;
    return kOpenblas;
}

// A product of the check, computed directly and with op(B) packed (by two
// calls, as threads share the packing): op(B) transposed or not, C
// accumulated or not, with row strides wider than the rows so that writes
// outside C show.
bool productAgrees(const MatrixKernels& kernels, bool transB, bool accumulate, std::size_t m,
                   std::size_t n, std::size_t k, unsigned seed) {
    std::mt19937 rng(seed);
    std::uniform_real_distribution<float> uniform(-1.0f, 1.0f);
    const std::size_t lda = k + 3, ldb = (transB ? k : n) + 5, ldc = n + 7;
    std::vector<float> a(m * lda), b((transB ? n : k) * ldb), before(m * ldc);
    for (auto& x : a) x = uniform(rng);
    for (auto& x : b) x = uniform(rng);
    for (auto& x : before) x = uniform(rng);
    std::vector<float> direct = before, viaPacked = before;
    kernels.gemm(transB, m, n, k, a.data(), lda, b.data(), ldb, direct.data(), ldc, accumulate);
    std::vector<float> packed(kernels.packedSize(n, k) + 1);
    const std::size_t split = n / 2 / kernels.packGrain * kernels.packGrain;
    kernels.pack(transB, n, k, b.data(), ldb, packed.data(), 0, split);
    kernels.pack(transB, n, k, b.data(), ldb, packed.data(), split, n);
    kernels.gemmPacked(m, n, k, a.data(), lda, packed.data(), viaPacked.data(), ldc, accumulate);

    // Float sums of k products stay within k units of rounding of the sum of magnitudes.
    const double unit = std::ldexp(1.0, -24);
    for (std::size_t i = 0; i < m; ++i) {
        for (std::size_t j = 0; j < ldc; ++j) {
            const std::size_t at = i * ldc + j;
            if (j >= n) {
                if (direct[at] != before[at] || viaPacked[at] != before[at]) return false;
                continue;
            }
            double sum = accumulate ? before[at] : 0.0, magnitude = std::fabs(sum);
            for (std::size_t p = 0; p < k; ++p) {
                const double x = static_cast<double>(a[i * lda + p]) *
                                 (transB ? b[j * ldb + p] : b[p * ldb + j]);
                sum += x;
                magnitude += std::fabs(x);
            }
            const double bound = (static_cast<double>(k) + 2.0) * unit * magnitude + 1e-30;
            if (!(std::fabs(direct[at] - sum) <= bound) ||
                !(std::fabs(viaPacked[at] - sum) <= bound))
                return false;
        }
    }
    return true;
}

struct Choice {
    std::mutex mutex;
    const MatrixKernels* automatic = nullptr;
    std::atomic<const MatrixKernels*> current{nullptr};
};

Choice& choice() {
    static Choice c;
    return c;
}

const MatrixKernels& automaticChoice() {
    Choice& c = choice();
    if (const MatrixKernels* k = c.current.load(std::memory_order_acquire)) return *k;
    std::lock_guard lock(c.mutex);
    if (!c.automatic) {
        c.automatic = &kPortable;
        for (const MatrixKernels* k : matrixKernelCandidates()) {
            if (matrixKernelsAgreeWithReference(*k)) {
                c.automatic = k;
                break;
            }
        }
    }
    if (!c.current.load()) c.current.store(c.automatic, std::memory_order_release);
    return *c.current.load();
}

}  // namespace

std::vector<const MatrixKernels*> matrixKernelCandidates() {
    std::vector<const MatrixKernels*> all;
    if (const MatrixKernels* k = avx512MatrixKernels()) all.push_back(k);
    if (const MatrixKernels* k = avx2MatrixKernels()) all.push_back(k);
    all.push_back(&openblasKernels());
    all.push_back(&kPortable);
    return all;
}

bool matrixKernelsAgreeWithReference(const MatrixKernels& kernels) {
    struct Case {
        bool transB, accumulate;
        std::size_t m, n, k;
    };
    // Shapes that leave partial tiles and blocks in every direction, depths
    // that span several blocks, and the degenerate depth.
    static const Case cases[] = {
        {true, false, 14, 530, 520}, {false, true, 14, 530, 520}, {true, true, 101, 45, 33},
        {false, false, 101, 45, 33}, {true, false, 1, 1, 1},      {false, false, 3, 17, 0},
        {true, true, 7, 33, 0},      {false, false, 25, 70, 300},
    };
    unsigned seed = 1;
    for (const Case& c : cases)
        if (!productAgrees(kernels, c.transB, c.accumulate, c.m, c.n, c.k, seed++)) return false;
    return true;
}

const MatrixKernels& matrixKernels() {
    if (!optimizedKernelsEnabled()) return kPortable;
    return automaticChoice();
}

std::string matrixKernelName() {
    const MatrixKernels& k = matrixKernels();
    if (&k != &kOpenblas) return k.name;
    return std::string(k.name) + " (" + openblas_get_corename() + ")";
}

bool selectMatrixKernels(const std::string& name) {
    automaticChoice();
    Choice& c = choice();
    std::lock_guard lock(c.mutex);
    if (name.empty()) {
        c.current.store(c.automatic, std::memory_order_release);
        return true;
    }
    for (const MatrixKernels* k : matrixKernelCandidates()) {
        if (k->name != name) continue;
        if (!matrixKernelsAgreeWithReference(*k)) return false;
        c.current.store(k, std::memory_order_release);
        return true;
    }
    return false;
}

}  // namespace platform::ml

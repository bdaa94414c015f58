#pragma once
// The "TextDecoder" model kind: one step of Whisper's text decoder on the CPU.
// The pipeline owns the key/value cache; each step reads it and returns only
// the new token's keys and values, which the caller copies in. Or the cache
// lives in an MLState (makeState(), its "key_cache" and "value_cache"): then
// each step reads it from there and writes its keys and values into it at the
// positions the update mask marks, as the caller would have.
//
//   in:  "input_ids" int32 [1], "cache_length" int32 [1] (the token's position),
//        "key_cache", "value_cache" float16 [1, layers·D, 1, S] (layer-major rows,
//        positions along the last axis), "kv_cache_update_mask" int32 [1, S],
//        "encoder_output_embeds" float16 [1, D, 1, W],
//        "decoder_key_padding_mask" float16 [1, S] (additive: 0 or -10000)
//   out: "logits" float16 [1, 1, V], "key_cache_updates", "value_cache_updates"
//        float16 [1, layers·D, 1, 1], and "alignment_heads_weights" float16 [1, W]
//        (the mean cross-attention of the alignment heads) when heads are listed.
//
// The cache is trusted only where the masks say so: positions marked in the
// update mask take the current token's key and value whatever the cache holds
// there, and positions whose padding is -1000 or less get exactly zero weight
// and are never read, so stale or even non-finite values there cannot leak in.
//
// Speed: the step is memory-bound, so weights are read in their stored
// precision by our AVX2/F16C matrix-vector kernels. A step is some fifty
// dependent phases of 5 to 80 µs, so what the threads do between them counts:
// the whole step after its set-up is one program that every thread of the
// pool runs (PhaseBoard), rows and attention parts go to whichever thread
// claims them, in shrinking runs, each run is finished (bias, residual, GELU)
// by the thread that computed it, and the small serial pieces between phases
// are done by the thread that completes the phase before them, not by a caller
// while the others wait. Where a sum is split, the parts follow the model's
// shape, never the thread count; runs of rows only decide which thread
// computes a row, and start on multiples of four rows so that each row takes
// the same path through the vector kernels. So results are
// the same to the bit on any number of threads. The cross-attention keys and values
// depend only on the encoder output; they are computed once per distinct
// encoder output (with matrix products) and kept.

#include <memory>
#include <mutex>
#include <utility>
#include <vector>

#include "platform/ml/AlignedBuffer.hpp"
#include "platform/ml/ComputeKernels.hpp"
#include "platform/ml/ComputePool.hpp"
#include "platform/ml/MLModel.hpp"
#include "platform/ml/MatrixKernels.hpp"
#include "platform/ml/ModelFolder.hpp"
#include "platform/ml/ModelWeights.hpp"
#include "platform/ml/ScratchPool.hpp"

namespace platform::ml {

class TextDecoderModel : public MLModel {
  public:
    // The folder must have passed checkAgainstLayout().
    TextDecoderModel(const ModelFolder& folder, const MLModelConfiguration& configuration);
    ~TextDecoderModel() override;

    int threadCount() const { return pool_->threadCount(); }

    // One step's arrays: the seven inputs by role, and outputs the caller owns
    // and keeps from step to step (logits [1, 1, V], key and value updates
    // [1, layers·D, 1, 1], alignment weights [1, W] or null).
    struct StepArrays {
        const MLMultiArray* inputIds = nullptr;
        const MLMultiArray* cacheLength = nullptr;
        const MLMultiArray* keyCache = nullptr;
        const MLMultiArray* valueCache = nullptr;
        const MLMultiArray* kvCacheUpdateMask = nullptr;
        const MLMultiArray* encoderOutputEmbeds = nullptr;
        const MLMultiArray* decoderKeyPaddingMask = nullptr;
        MLMultiArray* logits = nullptr;
        MLMultiArray* keyCacheUpdates = nullptr;
        MLMultiArray* valueCacheUpdates = nullptr;
        MLMultiArray* alignmentHeadsWeights = nullptr;
        // The caller's promise that the encoder output is the array of its
        // previous step, unchanged: then its cross-attention keys and values,
        // when still kept, are used without comparing the array with the copy
        // they were computed from (1.5 MB at base, every step).
        bool encoderUnchanged = false;
    };
    // prediction() without its allocations: the same checks of every array's
    // presence, type and shape (MLModelError naming the feature), then the step
    // written into the caller's outputs. Once the calling thread has run a step
    // it allocates nothing. Alignment weights are written when an array is given
    // and the model has alignment heads.
    void predict(const StepArrays& arrays) const;
    bool hasAlignmentHeads() const { return alignmentHeadCount_ > 0; }

    // Bytes of weights one step reads (token embeddings for the logits included,
    // the cached cross-attention keys and values too), for judging speed.
    double bytesReadPerStep() const;
    // Floating-point operations of one step, the cross-attention keys and values excluded.
    double flopsPerStep() const;

  protected:
    Arrays evaluate(const Arrays& inputs) const override;
    Arrays evaluateWithState(const Arrays& inputs, const Arrays& state) const override;

  private:
    struct Layer {
        WeightMatrix selfQ, selfK, selfV, selfO, crossQ, crossK, crossV, crossO, fc1, fc2;
        std::vector<float> selfQBias, selfVBias, selfOBias, crossQBias, crossVBias, crossOBias,
            fc1Bias, fc2Bias;
        std::vector<float> norm1Weight, norm1Bias, norm2Weight, norm2Bias, norm3Weight, norm3Bias;
        std::vector<int> alignmentHeads;
    };
    // y = W·x, finished row by row by the thread that computed the rows (so
    // that the small vectors involved are read in parallel, not by the caller
    // while the others wait): with `add`, y += p + bias; else y = (p + bias)·scale,
    // or gelu(p + bias); then copied to `half` when given.
    struct MatvecJob {
        const WeightMatrix* w;
        const float* x;
        float* y;
        const float* bias = nullptr;
        float scale = 1.0f;
        bool add = false;
        bool gelu = false;
        Float16* half = nullptr;
    };
    struct Workspace;
    // The cross-attention weights packed for one matrix product build.
    struct PackedCross {
        const MatrixKernels* kernels;
        AlignedBuffer<float> keys, values;
    };
    const PackedCross& packedCrossWeights(const MatrixKernels& mk) const;

    std::unique_ptr<Workspace> makeWorkspace() const;
    // `unchanged`: the workspace's keys and values are of this very encoder
    // output, as the caller vouches; otherwise the contents decide.
    void prepareCrossAttention(const Float16* encoder, Workspace& ws, bool unchanged) const;
    static std::size_t rowsOf(std::initializer_list<MatvecJob> jobs);
    // Rows [begin, end) of the jobs' rows laid end to end.
    static void matvecRange(const ComputeKernels& k, std::initializer_list<MatvecJob> jobs,
                            std::size_t begin, std::size_t end);
    static constexpr std::size_t kEpilogueRows = 64;  // rows finished at a time
    static void matvecRows(const ComputeKernels& k, const MatvecJob& j, std::size_t r,
                           std::size_t count);
    void runStep(const StepArrays& arrays) const;
    // The step's set-up, then its phases (StepProgram) run by every pool thread.
    void step(const StepArrays& arrays, Workspace& ws, bool encoderUnchanged) const;
    struct StepContext;
    class StepProgram;

    int vocab_ = 0, d_ = 0, heads_ = 0, ffn_ = 0, positions_ = 0, w_ = 0, s_ = 0;
    std::unique_ptr<ComputePool> pool_;
    ModelWeights weights_;
    WeightMatrix tokenEmbedding_, positionEmbedding_;
    std::vector<Layer> layers_;
    std::vector<float> finalNormWeight_, finalNormBias_;
    int alignmentHeadCount_ = 0;
    AlignedBuffer<float> crossKeyWeights_, crossValueWeights_;  // [L·D][D] each
    std::vector<float> crossValueBias_;                         // [L·D]
    std::size_t crossBlock_ = 16;
    std::size_t crossPart_ = 32;  // encoder positions per cross-attention task
    struct Shapes {
        std::vector<std::int64_t> scalar, cache, mask, encoder, logits, update, alignment;
    } shapes_;  // encoder rows per task when they are projected

    mutable ScratchPool<Workspace> workspaces_;
    mutable std::mutex packedCrossMutex_;
    mutable std::vector<std::unique_ptr<PackedCross>> packedCross_;
};

}  // namespace platform::ml

#pragma once
// The "AudioEncoder" model kind: Whisper's audio encoder on the CPU.
//   in:  "melspectrogram_features" float16 [1, n_mels, 1, 2W]
//   out: "encoder_output_embeds"   float16 [1, D, 1, W]
// Two convolutions of width 3 (the second with stride 2), each followed by the
// exact GELU; the checkpoint's positional embedding; pre-norm transformer
// blocks; a final layer norm.
//
// Every large product is a matrix product (MatrixKernels.hpp) on [W][D]
// activations. The frames are split into blocks of rows, one task per block
// (per head and block for attention), and each task runs a single-threaded
// product on its own rows, with the norms, biases, GELU and softmax of those
// rows done while they are in cache; our compute pool splits the work.
// The products read weights packed for the matrix product build in use. A
// model whose packed weights fit in keptPackedBytes() (tiny and base) packs them
// once and keeps them: packing every window cost a few percent of each window.
// Larger models keep their Float16 weights as they are and widen and pack them
// one layer at a time; that costs a smaller share of their longer products, and
// they keep half the memory.

#include <memory>
#include <mutex>
#include <vector>

#include "platform/ml/AlignedBuffer.hpp"
#include "platform/ml/ComputePool.hpp"
#include "platform/ml/MLModel.hpp"
#include "platform/ml/MatrixKernels.hpp"
#include "platform/ml/ModelFolder.hpp"
#include "platform/ml/ModelWeights.hpp"
#include "platform/ml/ScratchPool.hpp"

namespace platform::ml {

class AudioEncoderModel : public MLModel {
  public:
    // The folder must have passed checkAgainstLayout().
    AudioEncoderModel(const ModelFolder& folder, const MLModelConfiguration& configuration);
    ~AudioEncoderModel() override;

    int threadCount() const { return pool_->threadCount(); }

    // Floating-point operations of one prediction (multiply and add count as two).
    double flopsPerPrediction() const;

    // The most memory a model's packed weights may take to be kept (128 MiB);
    // models loaded afterwards follow a new limit. Returns the previous one.
    // For tests of both ways.
    static std::size_t setKeptPackedBytes(std::size_t bytes);

  protected:
    Arrays evaluate(const Arrays& inputs) const override;

  private:
    struct Layer {
        WeightMatrix q, k, v, o, fc1, fc2;
        std::vector<float> qBias, vBias, oBias, fc1Bias, fc2Bias;
        std::vector<float> norm1Weight, norm1Bias, norm2Weight, norm2Bias;
    };
    struct Scratch;
    // Where each packed matrix starts, in floats: the convolution taps, then
    // per layer q, k, v, o, fc1, fc2.
    struct PackedLayout {
        std::size_t tap1 = 0, square = 0, up = 0, down = 0;
        std::size_t convolutions = 0, layer = 0;
    };
    // Every weight packed for one build.
    struct PackedWeights {
        const MatrixKernels* kernels = nullptr;
        AlignedBuffer<float> data;
    };

    std::unique_ptr<Scratch> makeScratch() const;
    // The window's stages in order (Window holds them).
    void compute(const Float16* mel, Float16* out, Scratch& s) const;
    class Window;
    // The weight as Float32: in place, or widened into dst.
    const float* widen(const WeightMatrix& w, float* dst) const;
    PackedLayout packedLayout(const MatrixKernels& mk) const;
    void packConvolutions(const MatrixKernels& mk, const PackedLayout& layout, float* dst) const;
    // `wide` holds largestMatrix_ floats for Float16 weights widened on the way.
    void packLayer(const MatrixKernels& mk, const PackedLayout& layout, const Layer& layer,
                   float* wide, float* dst) const;
    // The packed weights kept for this build, made on first use; null when the
    // model is too large to keep them.
    const PackedWeights* keptPackedWeights(const MatrixKernels& mk) const;
    // Rows of [W][D] that one task works on.
    std::size_t rowBlock() const;

    int nMels_ = 0, d_ = 0, heads_ = 0, ffn_ = 0, w_ = 0, frames_ = 0;
    std::unique_ptr<ComputePool> pool_;
    ModelWeights weights_;
    std::vector<AlignedBuffer<float>> conv1_, conv2_;  // per tap k: [D][C_in]
    std::vector<float> conv1Bias_, conv2Bias_;
    std::vector<float> positions_;  // [W][D]
    std::vector<Layer> layers_;
    std::vector<float> finalNormWeight_, finalNormBias_;
    std::size_t largestMatrix_ = 0;  // Float16 elements of the largest layer's matrices

    mutable ScratchPool<Scratch> scratch_;
    std::size_t keptPackedBytes_;
    mutable std::mutex keptMutex_;
    mutable std::vector<std::unique_ptr<PackedWeights>> kept_;
};

}  // namespace platform::ml

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
// Float16 weights stay Float16 in memory and are widened to Float32 one layer
// at a time; that costs about a thousandth of the layer's products, and large
// models keep half the memory.

#include <memory>
#include <mutex>
#include <vector>

#include "platform/ml/AlignedBuffer.hpp"
#include "platform/ml/ComputePool.hpp"
#include "platform/ml/MLModel.hpp"
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

  protected:
    Arrays evaluate(const Arrays& inputs) const override;

  private:
    struct Layer {
        WeightMatrix q, k, v, o, fc1, fc2;
        std::vector<float> qBias, vBias, oBias, fc1Bias, fc2Bias;
        std::vector<float> norm1Weight, norm1Bias, norm2Weight, norm2Bias;
    };
    struct Scratch;

    std::unique_ptr<Scratch> makeScratch() const;
    void compute(const Float16* mel, Float16* out, Scratch& s) const;
    // The weight as Float32: in place, or widened into dst.
    const float* widen(const WeightMatrix& w, float* dst) const;
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
};

}  // namespace platform::ml

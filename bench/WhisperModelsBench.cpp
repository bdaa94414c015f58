// Speed of the Whisper encoder and decoder step on random networks of the tiny
// (384 wide, 4 + 4 layers, 6 heads) and base (512 wide, 6 + 6 layers, 8 heads)
// shapes, with Float16 weights as the converter writes them.
//
// Reported per benchmark: milliseconds per encoder window (30 s of audio) or
// per decoded token, achieved GFLOP/s, and two yardsticks measured in the same
// run: the encoder's share of this machine's OpenBLAS sgemm peak, and the
// decoder token's time over the time one read of its weights from memory takes.
//
// Each figure is labelled with the matrix product build in use (the processor's
// best by default); BM_MatrixProduct compares every build this processor runs
// on the encoder's products, one thread each.
//
// Run: bench_WhisperModelsBench [--benchmark_filter=...]; VERBOLIN_THREADS sets
// the threads, VERBOLIN_MATRIX_KERNEL picks a build by name ("avx512", "avx2",
// "openblas", "portable") for the models.

#include <benchmark/benchmark.h>
#include <cblas.h>
#include <time.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <list>
#include <map>
#include <memory>
#include <nlohmann/json.hpp>

#include "WhisperTokenizerData.hpp"
#include "auralith/core/TextDecoder.hpp"
#include "auralith/core/WhisperTokenizerWrapper.hpp"
#include "auralith/core/text/GreedyTokenSampler.hpp"
#include "auralith/core/text/SuppressTokensFilter.hpp"
#include "platform/ml/AlignedBuffer.hpp"
#include "platform/ml/AudioEncoderModel.hpp"
#include "platform/ml/ComputeKernels.hpp"
#include "platform/ml/ComputePool.hpp"
#include "platform/ml/MLModel.hpp"
#include "platform/ml/MatrixKernels.hpp"
#include "platform/ml/ModelFactory.hpp"
#include "platform/ml/ModelFolder.hpp"
#include "platform/ml/SafetensorsFile.hpp"
#include "platform/ml/TextDecoderModel.hpp"
#include "platform/ml/WhisperModelLayout.hpp"
#include "vortilcore/tokenizers/AutoTokenizer.hpp"

using namespace platform::ml;
namespace fs = std::filesystem;

namespace {

struct Shape {
    const char* name;
    int d, layers, heads;
};
const Shape kShapes[] = {{"tiny", 384, 4, 6}, {"base", 512, 6, 8}};

int threads() {
    const char* t = std::getenv("VERBOLIN_THREADS");
    return t ? std::atoi(t) : 0;
}

// The matrix product build the models use, as VERBOLIN_MATRIX_KERNEL asks.
std::string kernelLabel() {
    static const std::string label = [] {
        const char* name = std::getenv("VERBOLIN_MATRIX_KERNEL");
        if (name && !selectMatrixKernels(name)) {
            std::fprintf(stderr, "no usable matrix product build \"%s\"\n", name);
            std::exit(2);
        }
        return matrixKernelName();
    }();
    return label;
}

// Random F16 weights, small enough to keep activations finite; norms at one.
void writeNetwork(const fs::path& folder, const std::string& kind, const nlohmann::json& dims) {
    const auto specs = WhisperModelLayout::tensors(kind, dims);
    std::list<std::vector<Float16>> data;
    std::vector<SafetensorsEntry> entries;
    std::uint32_t state = 12345;
    for (const auto& spec : specs) {
        std::size_t n = 1;
        for (auto x : spec.shape) n *= static_cast<std::size_t>(x);
        auto& v = data.emplace_back(n);
        const bool normWeight = spec.name.find("layer_norm.weight") != std::string::npos;
        for (auto& x : v) {
            state ^= state << 13;
            state ^= state >> 17;
            state ^= state << 5;
            x = normWeight ? 1.0f : (static_cast<float>(state % 2001) / 1000.0f - 1.0f) * 0.04f;
        }
        entries.push_back({spec.name, "F16", spec.shape, std::as_bytes(std::span(v))});
    }
    fs::create_directories(folder);
    ModelFolder::writeDescription(folder, kind, dims, WhisperModelLayout::description(kind, dims));
    writeSafetensors(folder / ModelFolder::kWeightsFile, entries);
}

class Models {
  public:
    static Models& get() {
        static Models m;
        return m;
    }
    std::shared_ptr<MLModel> load(const Shape& s, const std::string& kind) {
        const std::string key = std::string(s.name) + kind;
        if (auto it = models_.find(key); it != models_.end()) return it->second;
        const fs::path folder = root_ / (key + ".mlmodelc");
        nlohmann::json dims;
        if (kind == WhisperModelLayout::kAudioEncoder)
            dims = {{"num_mel_bins", 80},         {"d_model", s.d},
                    {"encoder_layers", s.layers}, {"encoder_attention_heads", s.heads},
                    {"encoder_ffn_dim", 4 * s.d}, {"max_source_positions", 1500}};
        else
            dims = {{"vocab_size", 51865},
                    {"d_model", s.d},
                    {"decoder_layers", s.layers},
                    {"decoder_attention_heads", s.heads},
                    {"decoder_ffn_dim", 4 * s.d},
                    {"max_target_positions", 448},
                    {"max_source_positions", 1500},
                    {"kv_cache_length", 224},
                    {"alignment_heads", {{s.layers / 2, 0}, {s.layers - 1, 1}}}};
        writeNetwork(folder, kind, dims);
        MLModelConfiguration config;
        config.threadCount = threads();
        return models_[key] = ModelFactory::load(folder, config);
    }
    ~Models() {
        models_.clear();
        std::error_code ec;
        fs::remove_all(root_, ec);
    }

  private:
    Models() : root_(fs::temp_directory_path() / ("verbolin-bench-" + std::to_string(::getpid()))) {
        kernelLabel();
    }
    fs::path root_;
    std::map<std::string, std::shared_ptr<MLModel>> models_;
};

double seconds(std::chrono::steady_clock::duration d) {
    return std::chrono::duration<double>(d).count();
}

// Processor time of every thread of the process: on a machine shared with
// other work, the cost of a run that wall time alone misstates.
double processCpuSeconds() {
    timespec t{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

// OpenBLAS sgemm at its best on this machine with the same threads: a large
// square product, best of a few.
double sgemmPeakGflops() {
    static const double peak = [] {
        ComputePool pool(threads());
        openblas_set_num_threads(pool.threadCount());
        const int n = 2048;
        AlignedBuffer<float> a(static_cast<std::size_t>(n) * n), b(a.size()), c(a.size());
        for (std::size_t i = 0; i < a.size(); ++i) a[i] = b[i] = static_cast<float>(i % 7) * 0.01f;
        double best = 1e9;
        for (int r = 0; r < 6; ++r) {
            const auto t0 = std::chrono::steady_clock::now();
            cblas_sgemm(CblasRowMajor, CblasNoTrans, CblasTrans, n, n, n, 1.0f, a.data(), n,
                        b.data(), n, 0.0f, c.data(), n);
            best = std::min(best, seconds(std::chrono::steady_clock::now() - t0));
        }
        openblas_set_num_threads(1);  // as the models run it: one sgemm per pool thread
        return 2.0 * n * n * n / best / 1e9;
    }();
    return peak;
}

// Memory read bandwidth with every thread streaming its share of a buffer far
// larger than the caches.
double readBandwidthGBs() {
    static const double bandwidth = [] {
        ComputePool pool(threads());
        const std::size_t n = std::size_t{1} << 27;  // 512 MiB of floats
        AlignedBuffer<float> buffer(n);
        for (std::size_t i = 0; i < n; i += 1024) buffer[i] = 1.0f;
        const auto& k = computeKernels();
        double best = 1e9;
        for (int r = 0; r < 5; ++r) {
            std::vector<float> sink(static_cast<std::size_t>(pool.threadCount()) * 16);
            const auto t0 = std::chrono::steady_clock::now();
            pool.parallelFor(static_cast<std::size_t>(pool.threadCount()), [&](std::size_t p) {
                const std::size_t b = n * p / static_cast<std::size_t>(pool.threadCount());
                const std::size_t e = n * (p + 1) / static_cast<std::size_t>(pool.threadCount());
                sink[p * 16] = k.maxValue(buffer.data() + b, e - b);
            });
            best = std::min(best, seconds(std::chrono::steady_clock::now() - t0));
            benchmark::DoNotOptimize(sink.data());
        }
        return static_cast<double>(n * sizeof(float)) / best / 1e9;
    }();
    return bandwidth;
}

void BM_SgemmPeak(benchmark::State& state) {
    for (auto _ : state) benchmark::DoNotOptimize(sgemmPeakGflops());
    state.counters["GFLOP/s"] = sgemmPeakGflops();
}

void BM_MemoryReadBandwidth(benchmark::State& state) {
    for (auto _ : state) benchmark::DoNotOptimize(readBandwidthGBs());
    state.counters["GB/s"] = readBandwidthGBs();
}

// One thread's product of a block of encoder rows, per build: the projections
// (96 x 512 x 512), the first feed-forward product (96 x 2048 x 512), attention
// scores (96 x 1500 x 64) and values (96 x 64 x 1500, B not transposed).
void BM_MatrixProduct(benchmark::State& state) {
    const auto candidates = matrixKernelCandidates();
    const auto index = static_cast<std::size_t>(state.range(0));
    if (index >= candidates.size()) {
        state.SkipWithError("no such build on this processor");
        for (auto _ : state) {
        }
        return;
    }
    const MatrixKernels& kernels = *candidates[index];
    struct Dims {
        std::size_t m, n, k;
        bool transB;
    };
    const Dims shapes[] = {
        {96, 512, 512, true}, {96, 2048, 512, true}, {96, 1500, 64, true}, {96, 64, 1500, false}};
    const Dims d = shapes[state.range(1)];
    AlignedBuffer<float> a(d.m * d.k), b(d.n * d.k), c(d.m * d.n);
    for (std::size_t i = 0; i < a.size(); ++i) a[i] = static_cast<float>(i % 11) * 0.01f;
    for (std::size_t i = 0; i < b.size(); ++i) b[i] = static_cast<float>(i % 7) * 0.01f;
    const std::size_t ldb = d.transB ? d.k : d.n;
    // Packed: B packed once beforehand, as the encoder does with its weights.
    const bool packed = state.range(2) != 0;
    AlignedBuffer<float> bp(packed ? kernels.packedSize(d.n, d.k) : 0);
    if (packed) kernels.pack(d.transB, d.n, d.k, b.data(), ldb, bp.data(), 0, d.n);
    for (auto _ : state) {
        if (packed)
            kernels.gemmPacked(d.m, d.n, d.k, a.data(), d.k, bp.data(), c.data(), d.n, false);
        else
            kernels.gemm(d.transB, d.m, d.n, d.k, a.data(), d.k, b.data(), ldb, c.data(), d.n,
                         false);
        benchmark::DoNotOptimize(c.data());
    }
    state.SetLabel(std::string(kernels.name) + " " + std::to_string(d.m) + "x" +
                   std::to_string(d.n) + "x" + std::to_string(d.k) + (d.transB ? " NT" : " NN") +
                   (packed ? " packed" : ""));
    state.counters["GFLOP/s"] = benchmark::Counter(
        2.0 * static_cast<double>(d.m * d.n * d.k) * static_cast<double>(state.iterations()) / 1e9,
        benchmark::Counter::kIsRate);
}

void BM_EncoderWindow(benchmark::State& state) {
    const Shape& shape = kShapes[state.range(0)];
    const double peak = sgemmPeakGflops();
    auto model = Models::get().load(shape, WhisperModelLayout::kAudioEncoder);
    const auto* encoder = dynamic_cast<const AudioEncoderModel*>(model.get());
    auto mel = MLMultiArray::make({1, 80, 1, 3000}, MLMultiArrayDataType::float16);
    auto span = mel->span<Float16>();
    for (std::size_t i = 0; i < span.size(); ++i)
        span[i] = static_cast<float>(i % 13) * 0.05f - 0.3f;
    const MLDictionaryFeatureProvider input({{"melspectrogram_features", mel}});
    model->prediction(input);  // warm: scratch memory, page faults
    double total = 0, cpu = 0;
    for (auto _ : state) {
        const auto t0 = std::chrono::steady_clock::now();
        const double c0 = processCpuSeconds();
        benchmark::DoNotOptimize(model->prediction(input));
        cpu += processCpuSeconds() - c0;
        total += seconds(std::chrono::steady_clock::now() - t0);
    }
    const double perWindow = total / static_cast<double>(state.iterations());
    state.counters["cpu_ms"] = cpu / static_cast<double>(state.iterations()) * 1e3;
    const double gflops = encoder->flopsPerPrediction() / perWindow / 1e9;
    state.SetLabel(std::string(shape.name) + " " + kernelLabel());
    state.counters["ms"] = perWindow * 1e3;
    state.counters["GFLOP/s"] = gflops;
    state.counters["sgemm_peak"] = peak;
    state.counters["share_of_peak"] = gflops / peak;
    state.counters["threads"] = encoder->threadCount();
}

// A decoder state of the benchmark shapes (S = 224) over a fixed encoder output,
// with the masks of a fresh window.
struct DecoderBenchState {
    explicit DecoderBenchState(const Shape& shape)
        : e(static_cast<std::int64_t>(shape.layers) * shape.d),
          keys(MLMultiArray::make({1, e, 1, s}, MLMultiArrayDataType::float16)),
          values(MLMultiArray::make({1, e, 1, s}, MLMultiArrayDataType::float16)),
          enc(MLMultiArray::make({1, shape.d, 1, 1500}, MLMultiArrayDataType::float16)),
          input({{"input_ids", ids},
                 {"cache_length", length},
                 {"key_cache", keys},
                 {"value_cache", values},
                 {"kv_cache_update_mask", update},
                 {"encoder_output_embeds", enc},
                 {"decoder_key_padding_mask", padding}}) {
        auto encSpan = enc->span<Float16>();
        for (std::size_t i = 0; i < encSpan.size(); ++i)
            encSpan[i] = static_cast<float>(i % 17) * 0.1f - 0.8f;
        resetMasks();
    }
    void resetMasks() {
        for (std::int64_t j = 0; j < s; ++j) {
            update->span<std::int32_t>()[j] = j == 0;
            padding->span<Float16>()[j] = j == 0 ? 0.0f : -10000.0f;
        }
    }

    static constexpr std::int64_t s = 224;
    const std::int64_t e;
    std::shared_ptr<MLMultiArray> ids = MLMultiArray::make({1}, MLMultiArrayDataType::int32);
    std::shared_ptr<MLMultiArray> length = MLMultiArray::make({1}, MLMultiArrayDataType::int32);
    std::shared_ptr<MLMultiArray> keys, values;
    std::shared_ptr<MLMultiArray> update = MLMultiArray::make({1, s}, MLMultiArrayDataType::int32);
    std::shared_ptr<MLMultiArray> padding =
        MLMultiArray::make({1, s}, MLMultiArrayDataType::float16);
    std::shared_ptr<MLMultiArray> enc;
    MLDictionaryFeatureProvider input;
};

void BM_DecoderToken(benchmark::State& state) {
    const Shape& shape = kShapes[state.range(0)];
    const double bandwidth = readBandwidthGBs();
    auto model = Models::get().load(shape, WhisperModelLayout::kTextDecoder);
    const auto* decoder = dynamic_cast<const TextDecoderModel*>(model.get());
    DecoderBenchState st(shape);
    const std::int64_t e = st.e, s = st.s;
    auto& ids = st.ids;
    auto& length = st.length;
    auto& keys = st.keys;
    auto& values = st.values;
    auto& update = st.update;
    auto& padding = st.padding;
    const auto& input = st.input;
    // A window of `window` tokens, as the decoding loop steps it, over and over:
    // the cache fills up to that length, so a window of 223 covers the longest context.
    const int window = static_cast<int>(state.range(1));
    auto resetMasks = [&] { st.resetMasks(); };
    resetMasks();
    model->prediction(input);  // computes the cross-attention keys and values once
    int i = 0;
    double total = 0, cpu = 0;
    for (auto _ : state) {
        ids->span<std::int32_t>()[0] = 50257 + i;
        length->span<std::int32_t>()[0] = i;
        const double c0 = processCpuSeconds();
        const auto t0 = std::chrono::steady_clock::now();
        auto out = model->prediction(input);
        total += seconds(std::chrono::steady_clock::now() - t0);
        cpu += processCpuSeconds() - c0;
        const auto k = out->featureValue("key_cache_updates")->multiArrayValue()->span<Float16>();
        const auto v = out->featureValue("value_cache_updates")->multiArrayValue()->span<Float16>();
        for (std::int64_t r = 0; r < e; ++r) {
            keys->span<Float16>()[r * s + i] = k[r];
            values->span<Float16>()[r * s + i] = v[r];
        }
        padding->span<Float16>()[i + 1] = 0.0f;
        update->span<std::int32_t>()[i] = 0;
        update->span<std::int32_t>()[i + 1] = 1;
        if (++i == window) {
            i = 0;
            resetMasks();
        }
    }
    const double perToken = total / static_cast<double>(state.iterations());
    const double readTime = decoder->bytesReadPerStep() / (bandwidth * 1e9);
    state.SetLabel(shape.name);
    state.counters["ms"] = perToken * 1e3;
    // Every thread's processor time: what waiting between the step's loops costs.
    state.counters["cpu_ms"] = cpu / static_cast<double>(state.iterations()) * 1e3;
    state.counters["GFLOP/s"] = decoder->flopsPerStep() / perToken / 1e9;
    state.counters["weights_MB"] = decoder->bytesReadPerStep() / 1e6;
    state.counters["read_ms"] = readTime * 1e3;
    state.counters["x_read_time"] = perToken / readTime;
    state.counters["threads"] = decoder->threadCount();
    state.counters["window"] = window;
}

// The first step of a window: the same step, plus the cross-attention keys and
// values of a new encoder output (one batch of matrix products per layer).
void BM_DecoderFirstStep(benchmark::State& state) {
    const Shape& shape = kShapes[state.range(0)];
    const double peak = sgemmPeakGflops();
    auto model = Models::get().load(shape, WhisperModelLayout::kTextDecoder);
    const auto* decoder = dynamic_cast<const TextDecoderModel*>(model.get());
    DecoderBenchState st(shape);
    st.ids->span<std::int32_t>()[0] = 50258;
    auto encSpan = st.enc->span<Float16>();
    const auto& input = st.input;
    model->prediction(input);
    // The same step without new keys and values, best of a few.
    double plain = 1e9;
    for (int r = 0; r < 20; ++r) {
        const auto t0 = std::chrono::steady_clock::now();
        benchmark::DoNotOptimize(model->prediction(input));
        plain = std::min(plain, seconds(std::chrono::steady_clock::now() - t0));
    }
    double total = 0;
    int flip = 0;
    for (auto _ : state) {
        encSpan[0] = static_cast<float>(++flip % 3) * 0.25f;  // a new window's encoder output
        const auto t0 = std::chrono::steady_clock::now();
        benchmark::DoNotOptimize(model->prediction(input));
        total += seconds(std::chrono::steady_clock::now() - t0);
    }
    const double first = total / static_cast<double>(state.iterations());
    const double cross = std::max(first - plain, 1e-9);
    const double flops = 2.0 * 2.0 * shape.layers * 1500.0 * shape.d * shape.d;
    state.SetLabel(std::string(shape.name) + " " + kernelLabel());
    state.counters["first_ms"] = first * 1e3;
    state.counters["cross_kv_ms"] = cross * 1e3;
    state.counters["cross_GFLOP/s"] = flops / cross / 1e9;
    state.counters["sgemm_peak"] = peak;
    state.counters["share_of_peak"] = flops / cross / 1e9 / peak;
    state.counters["threads"] = decoder->threadCount();
}

// A whole window through the decoding loop (filters, greedy sampling, cache
// copies, mask moves) against the same number of bare model steps.
void BM_DecodingLoop(benchmark::State& state) {
    const Shape& shape = kShapes[state.range(0)];
    const bool timestamps = state.range(1) != 0;
    auto model = Models::get().load(shape, WhisperModelLayout::kTextDecoder);
    const auto config = benchdata::whisperTokenizerFile("tokenizer_config.json");
    const auto data = benchdata::whisperTokenizerFile("tokenizer.json");
    auto tokenizer = std::make_shared<auralith::WhisperTokenizerWrapper>(
        vortil::TokenizerWrapper{std::shared_ptr<const vortil::Tokenizer>(
            vortil::AutoTokenizer::tokenizerClass(config).create(config, data, false))},
        std::nullopt);
    auralith::TextDecoder decoder;
    decoder.setModel(model);
    decoder.setTokenizer(tokenizer);
    decoder.setIsModelMultilingual(decoder.logitsSize() != 51864);
    // Random weights may pick the end early; a window here is always 100 tokens.
    decoder.setLogitsFilters(std::vector<std::shared_ptr<auralith::LogitsFiltering>>{
        std::make_shared<auralith::SuppressTokensFilter>(
            std::vector<std::int64_t>{tokenizer->specialTokens().endToken})});
    auto options = auralith::DecodingOptions::defaultSet();
    options.withoutTimestamps = !timestamps;
    options.sampleLength = 100;
    options.firstTokenLogProbThreshold = std::nullopt;
    auto enc = MLMultiArray::make({1, shape.d, 1, 1500}, MLMultiArrayDataType::float16);
    auto encSpan = enc->span<Float16>();
    for (std::size_t i = 0; i < encSpan.size(); ++i)
        encSpan[i] = static_cast<float>(i % 17) * 0.1f - 0.8f;
    auto inputs = decoder.prefillDecoderInputs(
        decoder.prepareDecoderInputs({tokenizer->specialTokens().startOfTranscriptToken}), options);
    auto* state0 = dynamic_cast<auralith::DecodingInputs*>(inputs.get());
    const auto steps = static_cast<std::int64_t>(inputs->initialPrompt().size()) - 1 + 100;

    // Bare steps: the model and the minimum cache bookkeeping, nothing else.
    const MLDictionaryFeatureProvider bareInput(
        {{"input_ids", state0->inputIds()},
         {"cache_length", state0->cacheLength()},
         {"key_cache", state0->keyCache()},
         {"value_cache", state0->valueCache()},
         {"kv_cache_update_mask", state0->kvCacheUpdateMask()},
         {"encoder_output_embeds", enc},
         {"decoder_key_padding_mask", state0->decoderKeyPaddingMask()}});
    const auto e = state0->keyCache()->shape()[1], s = state0->keyCache()->shape()[3];
    auto bareWindow = [&] {
        inputs->reset(224);
        const auto t0 = std::chrono::steady_clock::now();
        for (std::int64_t i = 0; i < steps; ++i) {
            state0->inputIds()->span<std::int32_t>()[0] = 50257;
            state0->cacheLength()->span<std::int32_t>()[0] = static_cast<std::int32_t>(i);
            auto out = model->prediction(bareInput);
            const auto k =
                out->featureValue("key_cache_updates")->multiArrayValue()->span<Float16>();
            const auto v =
                out->featureValue("value_cache_updates")->multiArrayValue()->span<Float16>();
            for (std::int64_t r = 0; r < e; ++r) {
                state0->keyCache()->span<Float16>()[r * s + i] = k[r];
                state0->valueCache()->span<Float16>()[r * s + i] = v[r];
            }
            state0->decoderKeyPaddingMask()->span<Float16>()[i + 1] = 0.0f;
            state0->kvCacheUpdateMask()->span<std::int32_t>()[i] = 0;
            state0->kvCacheUpdateMask()->span<std::int32_t>()[i + 1] = 1;
        }
        return seconds(std::chrono::steady_clock::now() - t0);
    };
    double predictions = 0, outside = 0;  // the loop's own accounts of its time
    auto loopWindow = [&](std::size_t& tokens) {
        inputs->reset(224);
        auralith::GreedyTokenSampler sampler(Float16(0.0f), tokenizer->specialTokens().endToken,
                                             options);
        const auto t0 = std::chrono::steady_clock::now();
        const auto result = decoder.decodeText(enc, inputs, sampler, options);
        tokens = result.tokens.size();
        const double wall = seconds(std::chrono::steady_clock::now() - t0);
        predictions += result.timings->decodingPredictions;
        outside += wall - result.timings->decodingPredictions;
        return wall;
    };
    std::size_t tokens = 0;
    bareWindow();
    loopWindow(tokens);  // warm: workspaces, cross-attention keys and values
    double bare = 0, loop = 0;
    predictions = outside = 0;
    for (auto _ : state) {
        bare += bareWindow();
        loop += loopWindow(tokens);
    }
    const auto n = static_cast<double>(state.iterations());
    state.SetLabel(std::string(shape.name) + (timestamps ? " timestamps" : ""));
    state.counters["bare_ms"] = bare / n * 1e3;
    state.counters["loop_ms"] = loop / n * 1e3;
    state.counters["overhead_pct"] = (loop / bare - 1.0) * 100.0;
    // Less exposed to other load: the loop's time outside the model calls.
    state.counters["outside_model_pct"] = outside / predictions * 100.0;
    state.counters["tokens"] = static_cast<double>(tokens);
    state.counters["steps"] = static_cast<double>(steps);
}

}  // namespace

BENCHMARK(BM_SgemmPeak)->Iterations(1)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_MemoryReadBandwidth)->Iterations(1)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_MatrixProduct)
    ->ArgsProduct({{0, 1, 2, 3}, {0, 1, 2, 3}, {0, 1}})
    ->Unit(benchmark::kMicrosecond)
    ->MinTime(0.3);
BENCHMARK(BM_EncoderWindow)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->MinTime(2.0);
BENCHMARK(BM_DecoderToken)
    ->Args({0, 64})
    ->Args({0, 223})
    ->Args({1, 64})
    ->Args({1, 223})
    ->Unit(benchmark::kMillisecond)
    ->MinTime(2.0);
BENCHMARK(BM_DecoderFirstStep)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->MinTime(2.0);
BENCHMARK(BM_DecodingLoop)
    ->Args({0, 0})
    ->Args({0, 1})
    ->Args({1, 0})
    ->Args({1, 1})
    ->Unit(benchmark::kMillisecond)
    ->MinTime(3.0);

BENCHMARK_MAIN();

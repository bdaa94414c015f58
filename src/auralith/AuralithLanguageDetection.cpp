// Which language is spoken in the first window of a file or an array.

#include <filesystem>

#include "auralith/Auralith.hpp"
#include "auralith/core/audio/AudioProcessor.hpp"
#include "auralith/core/text/GreedyTokenSampler.hpp"
#include "auralith/utilities/WhisperError.hpp"
#include "platform/audio/AudioFile.hpp"
#include "platform/system/CancellationError.hpp"
#include "vortilcore/core/Logging.hpp"

namespace auralith {

Auralith::DetectedLanguage Auralith::detectLanguage(const std::string& audioPath) {
    if (!std::filesystem::exists(audioPath)) {
        throw WhisperError::loadAudioFailed("Resource path does not exist " + audioPath);
    }
    platform::AudioFile file(audioPath);
    // Always every channel summed, whatever the pipeline is set to.
    auto buffer = AudioProcessor::loadAudioFromFile(
        file, AudioInputOptions::ChannelMode::sumChannels(), 0.0, 30.0);
    return detectLangauge(AudioProcessor::convertBufferToArray(buffer, 1024));
}

Auralith::DetectedLanguage Auralith::detectLangauge(const std::vector<float>& audioArray) {
    if (modelState() != vortil::ModelState::loaded) loadModels(false);
    const auto decoder = textDecoder();
    if (!decoder->isModelMultilingual()) {
        throw WhisperError::decodingFailed("Language detection not supported for this model");
    }
    const auto currentTokenizer = tokenizer();
    if (!currentTokenizer) throw WhisperError::tokenizerUnavailable("Tokenizer is unavailable");

    DecodingOptions::Arguments arguments;
    arguments.verbose = vortil::Logging::isLoggingEnabled();
    arguments.detectLanguage = false;
    arguments.suppressTokens = std::vector<std::int64_t>{};
    arguments.concurrentWorkerCount = 16;
    const DecodingOptions options(arguments);

    const auto& special = currentTokenizer->specialTokens();
    const auto inputs = decoder->prepareDecoderInputs({special.startOfTranscriptToken});

    const auto window = audioProcessor()->padOrTrim(audioArray, 0, windowSamplesOrDefault());
    if (!window) throw WhisperError::transcriptionFailed("Audio samples are nil");
    const auto mel = featureExtractor()->logMelSpectrogram(window);
    if (!mel) throw WhisperError::transcriptionFailed("Mel output is nil");
    const auto encoded = audioEncoder()->encodeFeatures(mel);
    if (!encoded) throw WhisperError::transcriptionFailed("Encoder output is nil");

    GreedyTokenSampler sampler(platform::ml::Float16(0.0f), special.endToken, options);
    try {
        const DecodingResult result =
            decoder->detectLanguage(encoded, inputs, sampler, options, platform::ml::Float16(0.0f));
        return {result.language, result.languageProbs};
    } catch (const platform::CancellationError&) {
        throw;
    } catch (...) {
        throw WhisperError::decodingFailed("Language detection failed");
    }
}

}  // namespace auralith

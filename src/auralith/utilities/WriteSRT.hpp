#pragma once
// Writes one transcription result as a ".srt" file into its output folder.

#include <string>

#include "auralith/utilities/ResultWriting.hpp"

namespace auralith {

class WriteSRT : public ResultWriting {
  public:
    explicit WriteSRT(std::string outputDir) : outputDir_(std::move(outputDir)) {}

    const std::string& outputDir() const override { return outputDir_; }
    WriteResult write(const TranscriptionResult& result, const std::string& file,
                      const std::optional<Options>& options = std::nullopt) override;

  private:
    const std::string outputDir_;
};

}  // namespace auralith

#pragma once
// Writes one transcription result as a ".vtt" file into its output folder.

#include <string>

#include "auralith/utilities/ResultWriting.hpp"

namespace auralith {

class WriteVTT : public ResultWriting {
  public:
    explicit WriteVTT(std::string outputDir) : outputDir_(std::move(outputDir)) {}

    const std::string& outputDir() const override { return outputDir_; }
    WriteResult write(const TranscriptionResult& result, const std::string& file,
                      const std::optional<Options>& options = std::nullopt) override;

  private:
    const std::string outputDir_;
};

}  // namespace auralith

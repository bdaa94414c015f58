#pragma once
// A ".srt" file of one result: SubRip cues, one per word where words are known.

#include "auralith/ResultWriting.hpp"

namespace auralith {

class WriteSRT : public FolderResultWriter {
  public:
    using FolderResultWriter::FolderResultWriter;
    WriteResult write(const TranscriptionResult& result, const std::string& file,
                      const std::optional<Options>& options = std::nullopt) override;
};

}  // namespace auralith

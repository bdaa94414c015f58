#pragma once
// A ".vtt" file of one result: WebVTT cues, one per word where words are known.

#include "auralith/ResultWriting.hpp"

namespace auralith {

class WriteVTT : public FolderResultWriter {
  public:
    using FolderResultWriter::FolderResultWriter;
    WriteResult write(const TranscriptionResult& result, const std::string& file,
                      const std::optional<Options>& options = std::nullopt) override;
};

}  // namespace auralith

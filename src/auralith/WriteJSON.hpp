#pragma once
// A ".json" file of one result: pretty-printed JSON of the whole result.

#include "auralith/ResultWriting.hpp"

namespace auralith {

class WriteJSON : public FolderResultWriter {
  public:
    using FolderResultWriter::FolderResultWriter;
    WriteResult write(const TranscriptionResult& result, const std::string& file,
                      const std::optional<Options>& options = std::nullopt) override;
};

}  // namespace auralith

#pragma once
// Fetches, through the hub client, the files of a Whisper checkpoint that a
// model pack is made from, and nothing else of its repository (which may hold
// the same weights in several other formats). The hub client resumes what an
// earlier attempt left, checks validators, and works from its cache when
// offline; it also checks the weights against the SHA-256 the hub names for
// them, also when a copy from an earlier attempt is reused.

#include <cstdint>
#include <filesystem>
#include <functional>
#include <stop_token>
#include <string>
#include <vector>

#include "vortilcore/hub/HubApi.hpp"

namespace verbolin {

class CheckpointDownload {
  public:
    // config.json, generation_config.json, model.safetensors, tokenizer.json
    // and tokenizer_config.json: what conversion reads.
    static const std::vector<std::string>& files();
    static constexpr const char* kWeightsFile = "model.safetensors";

    // Bytes of the checkpoint on disk so far and in all (-1 while unknown).
    using ProgressFn = std::function<void(int64_t received, int64_t total)>;
    // Called once the sizes are known and before any transfer, with the
    // bytes still to fetch and the checkpoint's whole size: the caller may
    // refuse to start (by throwing).
    using BeforeTransferFn = std::function<void(int64_t remaining, int64_t total)>;

    // `hub` decides the cache (its downloadBase), the endpoint, the token and
    // whether to work offline.
    CheckpointDownload(vortil::HubApi hub, std::string repoId);

    // Makes the files present and current; returns the folder holding them.
    // Throws the hub client's errors as they come (HttpError and
    // HubClientError for the network and the hub's answers,
    // EnvironmentError for an offline cache that lacks or spoils a file),
    // EnvironmentError::fileIntegrityError for weights whose digest is not
    // the hub's (they are removed, so that the next call fetches them again),
    // and platform::CancellationError once `stop` is requested.
    std::filesystem::path fetch(const ProgressFn& progress = {},
                                const BeforeTransferFn& beforeTransfer = {},
                                std::stop_token stop = {}) const;

    // The folder fetch() fills.
    std::filesystem::path folder() const;
    // Removes the fetched files and their records, so that the next fetch
    // asks for all of them again (a checkpoint that could not be converted).
    void discard() const;

  private:
    vortil::HubApi::HubFileDownloader fileDownloader(const std::string& name) const;

    vortil::HubApi hub_;
    vortil::HubRepo repo_;
};

}  // namespace verbolin

#pragma once
// The support library's small face over the hub client: the speech pipeline
// and the tokenizer loader reach the hub only through it. It builds a client
// with the library's defaults and forwards listing and snapshots unchanged;
// its one rule of its own is where a repository lives in the local cache.
//
// Repo and RepoType are the client's own repository identity under the
// wrapper's names: the same cases, raw values, coding and hashing.

#include <filesystem>
#include <optional>
#include <stop_token>
#include <string>
#include <vector>

#include "vortilcore/hub/HubApi.hpp"

namespace vortil {

struct HubApiWrapper {
    using Repo = HubRepo;
    using RepoType = HubRepoType;

    HubApi impl;

    // The client of HubApi's construction from the same four inputs.
    explicit HubApiWrapper(std::optional<std::filesystem::path> downloadBase = std::nullopt,
                           std::optional<std::string> hfToken = std::nullopt,
                           std::optional<std::string> endpoint = std::nullopt,
                           bool useBackgroundSession = false);

    // One wrapper for the process, built on first use from no arguments; a
    // copy on each call.
    static HubApiWrapper shared();

    // Forwards to HubApi::snapshot; returns the local repository folder.
    std::filesystem::path snapshot(const Repo& repo, const std::string& revision,
                                   const std::vector<std::string>& matching,
                                   const HubApi::SnapshotProgressHandler& progressHandler = {},
                                   std::stop_token stop = {}) const;

    std::vector<std::string> getFilenames(const Repo& repo, const std::string& revision,
                                          const std::vector<std::string>& matching) const;

    // downloadBase/<type>/<id>, an id owner/name giving nested folders. Pure:
    // touches no file.
    std::filesystem::path localRepoLocation(const Repo& repo) const;
};

}  // namespace vortil

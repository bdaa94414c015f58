#pragma once
// Repository snapshots: every matching file of a repository made present and
// current in its local folder, one per-file download after another (online),
// or the cached copy checked for completeness and integrity (offline). A
// snapshot is made of per-file downloads, so it sits above them rather than
// in the client value they are made from.

#include <filesystem>
#include <stop_token>
#include <string>
#include <vector>

#include "vortilcore/hub/HubApi.hpp"
#include "vortilcore/hub/HubRepo.hpp"

namespace vortil {

// Makes every file of the repository that a pattern matches (all files for
// none) present and current under hub.downloadBase/<type>/<id>, one file
// after another, and returns that folder. Offline, downloads nothing and
// checks the cached copy instead: every selected file needs its side file,
// none may exist only as a partial download, and one whose etag is a
// SHA-256 must hash to it (fileIntegrityError otherwise). Stopping `stop`
// ends the snapshot after the current file (or with the cancelled
// transfer's error).
std::filesystem::path snapshot(const HubApi& hub, const HubRepo& repo, const std::string& revision,
                               const std::vector<std::string>& matching,
                               const HubApi::SnapshotProgressHandler& progressHandler = {},
                               std::stop_token stop = {});

}  // namespace vortil

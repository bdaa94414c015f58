#include "vortilcore/hub/HubApiWrapper.hpp"

namespace vortil {

HubApiWrapper::HubApiWrapper(std::optional<std::filesystem::path> downloadBase,
                             std::optional<std::string> hfToken,
                             std::optional<std::string> endpoint, bool useBackgroundSession)
    : impl(std::move(downloadBase), std::move(hfToken), std::move(endpoint), useBackgroundSession) {
}

HubApiWrapper HubApiWrapper::shared() {
    static const HubApiWrapper wrapper;
    return wrapper;
}

std::filesystem::path HubApiWrapper::snapshot(
    const Repo& repo, const std::string& revision, const std::vector<std::string>& matching,
    const HubApi::SnapshotProgressHandler& progressHandler, std::stop_token stop) const {
    return impl.snapshot(repo, revision, matching, progressHandler, std::move(stop));
}

std::vector<std::string> HubApiWrapper::getFilenames(
    const Repo& repo, const std::string& revision, const std::vector<std::string>& matching) const {
    return impl.getFilenames(repo, revision, matching);
}

std::filesystem::path HubApiWrapper::localRepoLocation(const Repo& repo) const {
    return impl.repoFolder(repo);
}

}  // namespace vortil

#pragma once
// What every hub client test runs in: a fresh HOME (so no real token file or
// cache is read) and none of the hub's environment variables.

#include <memory>
#include <string>
#include <vector>

#include "support/ScopedEnv.hpp"
#include "support/TempDir.hpp"

namespace testsupport {

class HubTestEnvironment {
  public:
    HubTestEnvironment() {
        vars_.push_back(std::make_unique<ScopedEnv>("HOME", home_.path().string()));
        for (const char* name :
             {"HF_TOKEN", "HUGGING_FACE_HUB_TOKEN", "HF_TOKEN_PATH", "HF_HOME", "HF_ENDPOINT",
              "CI_DISABLE_NETWORK_MONITOR", "XDG_DOCUMENTS_DIR", "VERBOLIN_PACK_SERVER"}) {
            vars_.push_back(std::make_unique<ScopedEnv>(name, nullptr));
        }
    }

    ~HubTestEnvironment() {
        // Last set, first restored, so a variable set twice ends as it began.
        while (!vars_.empty()) vars_.pop_back();
    }
    HubTestEnvironment(const HubTestEnvironment&) = delete;
    HubTestEnvironment& operator=(const HubTestEnvironment&) = delete;

    const std::filesystem::path& home() const { return home_.path(); }

    // Sets (or with nullptr removes) a variable until the environment goes.
    void set(const std::string& name, const char* value) {
        vars_.push_back(std::make_unique<ScopedEnv>(name, value));
    }

  private:
    TempDir home_{"verbolin-hub-home"};
    std::vector<std::unique_ptr<ScopedEnv>> vars_;
};

}  // namespace testsupport

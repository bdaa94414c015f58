#pragma once
// A throw-away git checkout of a few files, for the tests of the scripts that
// check the tree (they read `git ls-files`).

#include <filesystem>
#include <fstream>
#include <string>
#include <utility>
#include <vector>

#include "support/ShellCommand.hpp"
#include "support/TempDir.hpp"

namespace testsupport {

using TreeFiles = std::vector<std::pair<std::string, std::string>>;  // path, contents

// `script` run with --root over a checkout holding `files`; status -1 when the
// checkout could not be made.
inline ShellResult runScriptOnTree(const std::filesystem::path& script, const TreeFiles& files) {
    TempDir dir("script-tree");
    for (const auto& [path, text] : files) {
        std::filesystem::create_directories((dir.path() / path).parent_path());
        std::ofstream(dir.path() / path) << text;
    }
    const std::string root = "'" + dir.path().string() + "'";
    if (runShell("git -C " + root + " init -q && git -C " + root + " add -A").status != 0)
        return {};
    return runShell("'" + script.string() + "' --root " + root);
}

}  // namespace testsupport

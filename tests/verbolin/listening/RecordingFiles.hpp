#pragma once
// Reading back what the diagnostics recorder wrote, strictly: the log as
// whole lines, a recording as whole buffers of one value each. Shared by the
// recorder's suites.

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <filesystem>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "support/TempDir.hpp"

namespace recording {

struct LogLine {
    std::string name, detail;
};

// The log's lines; a line not of the form "<seconds>\t<name>\t<detail>"
// fails the test.
inline std::vector<LogLine> logLines(const std::filesystem::path& file) {
    static const std::regex form(R"( *[0-9]+\.[0-9]{3}\t([a-z_]+)\t([^\t]*))");
    std::vector<LogLine> lines;
    std::istringstream in(testsupport::readFile(file));
    for (std::string line; std::getline(in, line);) {
        std::smatch m;
        EXPECT_TRUE(std::regex_match(line, m, form)) << "malformed line: " << line;
        if (!m.empty()) lines.push_back({m[1], m[2]});
    }
    return lines;
}

inline std::vector<const LogLine*> named(const std::vector<LogLine>& lines,
                                         const std::string& name) {
    std::vector<const LogLine*> out;
    for (const auto& l : lines)
        if (l.name == name) out.push_back(&l);
    return out;
}

// A buffer whose every sample is written as `value` (a positive int16).
inline std::vector<float> buffer(size_t samples, int value) {
    return std::vector<float>(samples, (float(value) + 0.5f) / 32767.0f);
}

inline std::vector<int16_t> samplesOf(const std::filesystem::path& file) {
    const std::string bytes = testsupport::readFile(file);
    std::vector<int16_t> out(bytes.size() / 2);
    std::memcpy(out.data(), bytes.data(), out.size() * 2);
    return out;
}

// Splits a recording into buffers of `size` samples, each of one value;
// fails the test when the recording is not such a sequence.
inline std::vector<int> bufferValues(const std::filesystem::path& file, size_t size) {
    const auto bytes = std::filesystem::file_size(file);
    EXPECT_EQ(bytes % (2 * size), 0u) << "a recording of " << bytes << " bytes";
    const auto samples = samplesOf(file);
    std::vector<int> values;
    for (size_t at = 0; at + size <= samples.size(); at += size) {
        const int16_t v = samples[at];
        for (size_t i = at; i < at + size; ++i)
            if (samples[i] != v) {
                ADD_FAILURE() << "buffer at sample " << at << " mixes " << v << " and "
                              << samples[i];
                return values;
            }
        values.push_back(v);
    }
    return values;
}

}  // namespace recording

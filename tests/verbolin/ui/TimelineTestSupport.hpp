#pragma once
// Paragraphs for timeline tests, built the way the store builds them.

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "platform/system/Date.hpp"
#include "verbolin/storage/Block.hpp"
#include "verbolin/storage/TranscriptStore.hpp"

namespace uitest {

inline platform::Date at(double seconds) {
    return platform::dateFromSecondsSince1970(1'700'000'000.0 + seconds);
}

inline verbolin::Segment segment(double start, double end, std::string text) {
    verbolin::Segment s;
    s.start = at(start);
    s.end = at(end);
    s.text = std::move(text);
    return s;
}

inline verbolin::Block block(double start, double end, std::string text) {
    verbolin::Segment s = segment(start, end, std::move(text));
    return verbolin::Block{s.id, {s}};
}

// n paragraphs of a few words each, `gap` seconds apart.
inline std::vector<verbolin::Segment> segments(int n, double gap = 10.0, double start = 0) {
    std::vector<verbolin::Segment> out;
    for (int i = 0; i < n; ++i)
        out.push_back(segment(start + i * gap, start + i * gap + 4,
                              "Paragraph " + std::to_string(i) + " says something worth keeping."));
    return out;
}

inline std::shared_ptr<const std::vector<verbolin::Block>> blocks(
    const std::vector<verbolin::Segment>& segs) {
    return std::make_shared<const std::vector<verbolin::Block>>(
        verbolin::TranscriptStore::blocks(segs, verbolin::TranscriptStore::paragraphGap));
}

// Paragraphs `step` apart (five minutes or more puts a pause divider above
// each), one segment each, in a fresh transcript.
inline void fill(verbolin::TranscriptStore& store, const std::vector<std::string>& texts,
                 std::chrono::seconds step = std::chrono::minutes(1)) {
    if (auto all = store.allBlocks(); !all->empty()) store.deleteBlocks(*all);
    auto at = std::chrono::system_clock::now() - std::chrono::hours(1);
    for (const auto& text : texts) {
        verbolin::Segment s;
        s.start = at;
        s.end = at + std::chrono::seconds(2);
        s.text = text;
        store.append(s);
        at += step;
    }
}

}  // namespace uitest

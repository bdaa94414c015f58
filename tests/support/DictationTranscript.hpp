#pragma once
// Transcripts of daily dictation, made up for tests and benchmarks that need
// a day's, a year's or three years' worth: 150 to 300 utterances a day of 8
// to 40 words in 2 to 6 sessions, most following the one before within the
// paragraph gap. About one utterance in a hundred holds `rareWord`, for
// searches that find few. The same seed makes the same text and times (ids
// are random). Written straight into a transcript file in one transaction,
// far faster than appending each utterance.

#include <filesystem>
#include <map>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "platform/system/Date.hpp"
#include "support/TempDir.hpp"
#include "verbolin/storage/Segment.hpp"
#include "verbolin/storage/SessionMarker.hpp"
#include "verbolin/storage/TranscriptDB.hpp"

namespace testsupport {

struct Dictation {
    std::vector<verbolin::Segment> segments;  // in ascending start order
    std::vector<verbolin::SessionMarker> sessions;
};

struct DictationShape {
    int days = 1;
    int wordsMin = 8, wordsMax = 40;  // per utterance
    unsigned seed = 1;
    // Midnight UTC of the first day (2024-01-01).
    double firstDay = 1704067200.0;
};

inline constexpr const char* rareWord = "zephyrine";

inline Dictation makeDictation(const DictationShape& shape) {
    // Of 4.8 letters on average, as the 140 characters of a typical utterance.
    static const char* const words[] = {
        "the",   "team",   "moved",   "to",     "Monday",  "because", "half",   "of",
        "us",    "were",   "away",    "and",    "notes",   "from",    "last",   "week",
        "still", "matter", "please",  "note",   "call",    "back",    "about",  "budget",
        "draft", "review", "ship",    "client", "morning", "fast",    "chose",  "later",
        "asks",  "answer", "project", "plan",   "would",   "should",  "maybe",  "today",
        "soon",  "report", "home",    "garden", "letter",  "people",  "number", "really"};
    std::mt19937 random(shape.seed);
    const auto uniform = [&](int lo, int hi) {
        return std::uniform_int_distribution(lo, hi)(random);
    };
    const auto real = [&](double lo, double hi) {
        return std::uniform_real_distribution(lo, hi)(random);
    };
    Dictation out;
    for (int day = 0; day < shape.days; ++day) {
        const double midnight = shape.firstDay + day * 86400.0;
        const int sessions = uniform(2, 6);
        const int utterances = uniform(150, 300);
        for (int k = 0; k < sessions; ++k) {
            // Sessions spread over the working day, each starting on the hour or so.
            double t = midnight + 8 * 3600.0 + k * (10 * 3600.0 / sessions) + real(0, 600);
            verbolin::SessionMarker marker;
            marker.start = platform::dateFromSecondsSince1970(t - 1);
            if (k % 3 == 1)
                marker.name = "Session " + std::to_string(day) + "." + std::to_string(k);
            out.sessions.push_back(std::move(marker));
            const int count = utterances / sessions + (k < utterances % sessions ? 1 : 0);
            for (int u = 0; u < count; ++u) {
                verbolin::Segment s;
                const int n = uniform(shape.wordsMin, shape.wordsMax);
                const int rare = uniform(0, 99) == 0 ? uniform(0, n - 1) : -1;
                for (int w = 0; w < n; ++w) {
                    if (w) s.text += ' ';
                    s.text += w == rare ? rareWord : words[uniform(0, int(std::size(words)) - 1)];
                }
                s.text += '.';
                s.start = platform::dateFromSecondsSince1970(t);
                t += n * 0.35;
                s.end = platform::dateFromSecondsSince1970(t);
                // Most utterances follow within the paragraph gap; some after a pause.
                t += uniform(0, 99) < 55 ? real(0.3, 2.8) : real(4, 90);
                out.segments.push_back(std::move(s));
            }
        }
    }
    return out;
}

// Writes `dictation` as the transcript of the store folder `folder`.
inline void writeTranscript(const std::filesystem::path& folder, const Dictation& dictation) {
    std::filesystem::create_directories(folder);
    verbolin::TranscriptDB db(folder / "transcript.sqlite");
    if (!db.apply({.segments = dictation.segments, .sessions = dictation.sessions}))
        throw std::runtime_error("cannot write the dictation to " + folder.string());
}

// A transcript folder of `days` of dictation, written at its first use in
// the process and kept until it ends.
inline const std::filesystem::path& dictationFolder(int days) {
    static TempDir root("verbolin-dictation");
    static std::map<int, std::filesystem::path> made;
    auto it = made.find(days);
    if (it != made.end()) return it->second;
    const auto folder = root.path() / std::to_string(days);
    writeTranscript(folder, makeDictation({.days = days}));
    return made.emplace(days, folder).first->second;
}

}  // namespace testsupport

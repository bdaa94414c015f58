#pragma once
// The energy-based voice-activity detector that cuts the live signal into
// utterances. It adapts its voice threshold to the room from the levels of
// frames it judged silent. A plain value: no threads, no clock; one listening
// session owns it and feeds it every frame in arrival order.

#include <cstdint>
#include <deque>
#include <span>
#include <vector>

namespace verbolin {

class UtteranceSegmenter {
  public:
    struct Config {
        int64_t sampleRate;          // samples per second of the frames
        double frameSeconds;         // nominal frame length (the caller cuts frames)
        int64_t prerollFrames;       // recent frames kept and put before an utterance
        int64_t endSilenceFrames;    // consecutive unvoiced frames that end an utterance
        int64_t minSpeechFrames;     // voiced frames needed to deliver samples
        double softCutSeconds;       // from this length the first unvoiced frame ends it
        double maxUtteranceSeconds;  // at this length it ends whatever the frame
        float absoluteFloor;         // lowest threshold; the floor while no history exists
        float noiseRatio;            // noise floor to voice threshold
        int64_t noiseHistoryFrames;  // capacity of the noise history
        float maxFloor;              // highest noise floor
    };

    struct Event {
        enum class Kind { speechContinuing, utteranceEnded, speechStarted };
        Kind kind;
        // speechContinuing: the utterance so far. A view of the segmenter's
        // own buffer, valid until the next call that changes the segmenter;
        // a caller that keeps the audio copies it. Handing out a copy on
        // every frame would cost the square of the utterance's length.
        std::span<const float> soFar;
        // utteranceEnded: the whole utterance, handed over; empty when too
        // few of its frames were voiced.
        std::vector<float> samples;

        static Event speechContinuing(std::span<const float> s) {
            return {Kind::speechContinuing, s, {}};
        }
        static Event utteranceEnded(std::vector<float> s) {
            return {Kind::utteranceEnded, {}, std::move(s)};
        }
        static Event speechStarted() { return {Kind::speechStarted, {}, {}}; }
    };

    explicit UtteranceSegmenter(const Config& config) : config(config) {}

    // Feeds one frame (any length) and returns what happened, in order:
    // nothing, one event, or speechStarted followed by speechContinuing.
    std::vector<Event> process(const std::vector<float>& frame);

    // The 20th percentile of the unvoiced levels heard so far, clamped to
    // [0.001, maxFloor]; absoluteFloor while there is no history.
    float noiseFloor() const;
    // max(absoluteFloor, noiseRatio * noiseFloor()).
    float voiceThreshold() const;

    // The state is open to the session, which flushes an utterance in
    // progress itself when it stops.
    Config config;  // fixed at creation
    bool isSpeaking = false;
    float lastRMS = 0;  // NaN when the frame held NaN samples
    std::deque<std::vector<float>> preroll;
    std::vector<float> current;
    int64_t speechFrames = 0;
    int64_t trailingSilence = 0;
    std::deque<float> noiseHistory;  // oldest first; never NaN
};

}  // namespace verbolin

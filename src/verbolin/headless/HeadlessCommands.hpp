#pragma once
// What the verbolin program does without a window: report on the transcript
// and the speech model, or dictate until interrupted. Each returns the
// process's exit status; their lines on standard output are flushed one by
// one, so a pipe sees each as it is written.

#include <functional>
#include <optional>
#include <string>

#include "verbolin/listening/ModelPack.hpp"
#include "verbolin/listening/TranscriptionEngine.hpp"

namespace verbolin {

// Where the transcript lives, how much it holds, what waits in the recovery
// files, whether the pack is installed; changing nothing on disk.
int reportTranscript();

// Dictates from the microphone into the transcript, printing each stored
// text, until SIGINT, SIGTERM or SIGHUP. The utterance being spoken when the
// signal comes is transcribed and stored before it returns (its audio is kept
// in the data folder when that takes longer than 10 s, or when another signal
// comes first), and every thread of the listening engine has ended when it
// returns. Without a pack it installs one first, saying how far it got every
// few seconds. Status 1 when the pack cannot be installed (saying why and how
// to make one without the network) or is incomplete, when there is no audio
// server, or when the microphone or model fail to start. `engine` is what the listening engine
// works with (its main executor and settings are the command's own); tests
// give it a recogniser and a microphone of theirs.
//
// When the last decode is given up (another signal, or the 10 s) and the
// recogniser does not return (a slow model between its steps), or a thread
// of the listening engine does not come back (one held before it took the
// decode up, say), the run ends at once through `endAtOnce`, with the
// status, once the audio is kept: by default the process ends there. Should
// `endAtOnce` return, the command returns once those threads have.
int dictateHeadless(TranscriptionEngine::Services engine = {},
                    const std::function<void(int status)>& endAtOnce = {});

// Why the pack cannot be loaded, with how to make one.
std::string installHelp(const ModelPack& pack);

// What is wrong with reaching the audio server, with how to start one; none
// when it answers.
std::optional<std::string> audioServerProblem();

}  // namespace verbolin

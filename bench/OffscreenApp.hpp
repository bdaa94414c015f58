// What the benchmarks that drive the editor window share: an engine that
// neither hears nor installs anything (the store and the window are what
// they time), and a main that runs them under an offscreen application set
// up as Verbolin's own is.
#pragma once

#include <benchmark/benchmark.h>

#include <QApplication>
#include <cstdlib>
#include <memory>

#include "support/FakeAudioBackend.hpp"
#include "support/FakeSpeechEngine.hpp"
#include "verbolin/listening/TranscriptionEngine.hpp"
#include "verbolin/ui/ApplicationSetup.hpp"

namespace benchsupport {

inline verbolin::TranscriptionEngine::Services silentEngine() {
    verbolin::TranscriptionEngine::Services s;
    s.backend = std::make_shared<platform::FakeAudioBackend>();
    s.makeEngine = [](const verbolin::EngineChoice&) -> std::shared_ptr<verbolin::SpeechEngine> {
        return std::make_shared<testsupport::FakeSpeechEngine>();
    };
    s.install = [](const verbolin::ModelPack&, verbolin::ModelDownloader::ProgressFn,
                   std::stop_token, verbolin::ModelDownloader::Existing) {};
    s.recorder = nullptr;
    return s;
}

inline int runOffscreen(int argc, char** argv) {
    setenv("QT_QPA_PLATFORM", "offscreen", 0);
    QApplication app(argc, argv);
    verbolin::afterApplicationCreated();
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}

}  // namespace benchsupport

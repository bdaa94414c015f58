// One QApplication for the whole test program, made before the first test,
// and what the timeline holds checked after every change of it in every test.
#include <gtest/gtest.h>

#include <QApplication>
#include <memory>

#include "verbolin/ui/ApplicationSetup.hpp"
#include "verbolin/ui/HeldWindow.hpp"

namespace {

class QtEnvironment : public ::testing::Environment {
  public:
    void SetUp() override {
        static int argc = 1;
        static char name[] = "test_verbolin_ui";
        static char* argv[] = {name, nullptr};
        app_ = std::make_unique<QApplication>(argc, argv);
        verbolin::afterApplicationCreated();
        verbolin::HeldWindow::onProblem() = [](const std::string& problem) {
            ADD_FAILURE() << "what the timeline holds: " << problem;
        };
    }
    void TearDown() override {
        verbolin::HeldWindow::onProblem() = nullptr;
        app_.reset();
    }

  private:
    std::unique_ptr<QApplication> app_;
};

const auto* const registered =
    ::testing::AddGlobalTestEnvironment(new QtEnvironment);  // gtest owns it

}  // namespace

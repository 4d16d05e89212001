// One QApplication for the whole test program, offscreen unless a platform is
// chosen by the environment. It is made when the tests start, not when they are
// listed, so listing needs no display.
#include <QApplication>
#include <gtest/gtest.h>
#include <memory>

namespace {

class QtApplication : public ::testing::Environment {
public:
    void SetUp() override {
        if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
        static int argc = 1;
        static char name[] = "imbrix_convert_ui_tests";
        static char* argv[] = {name, nullptr};
        app_ = std::make_unique<QApplication>(argc, argv);
    }
    void TearDown() override { app_.reset(); }

private:
    std::unique_ptr<QApplication> app_;
};

[[maybe_unused]] ::testing::Environment* const kApplication =
    ::testing::AddGlobalTestEnvironment(new QtApplication);

}  // namespace

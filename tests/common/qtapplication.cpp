// One QApplication for a whole window test program, offscreen unless the
// environment chooses a platform. It is made when the tests start, not when they
// are listed, so listing needs no display. Linked into a suite by naming
// imbrix_qttestsupport among its LIBS.
#include <gtest/gtest.h>

#include <QApplication>
#include <memory>

namespace {

class QtApplication : public ::testing::Environment {
public:
    void SetUp() override {
        if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
            qputenv("QT_QPA_PLATFORM", "offscreen");
        // A window's update check must never reach out of the machine: a port on
        // the loopback address where nobody listens refuses at once.
        qputenv("IMBRIX_SERVICE_HOST", "127.0.0.1:9");
        static int argc = 1;
        static char name[] = "imbrix_window_tests";
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

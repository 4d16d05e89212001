// The titles of the program's windows as the X server holds them, that is as the
// window manager shows them: each exactly its caption. A program of its own, run
// on an X server (xvfb-run) with the xcb platform, set up as the program sets
// itself up.
#include <gtest/gtest.h>
#include <xcb/xcb.h>

#include <QApplication>
#include <QFileDialog>
#include <QGuiApplication>
#include <QMessageBox>
#include <QTimer>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <string>

#include "app/appform.h"
#include "app/application.h"
#include "common/testsupport.h"
#include "convert/ui/messagebox.h"
#include "online/ui/updatecheck.h"

namespace {

xcb_atom_t atom(xcb_connection_t* connection, const char* name) {
    xcb_intern_atom_reply_t* reply = xcb_intern_atom_reply(
        connection, xcb_intern_atom(connection, 0, static_cast<uint16_t>(std::strlen(name)), name),
        nullptr);
    xcb_atom_t found = XCB_ATOM_NONE;
    if (reply != nullptr)
        found = reply->atom;
    std::free(reply);
    return found;
}

// The window's _NET_WM_NAME on the X server.
std::string shownTitle(QWidget& window) {
    auto* x11 = qGuiApp->nativeInterface<QNativeInterface::QX11Application>();
    if (x11 == nullptr)
        return "(not on X11)";
    xcb_connection_t* connection = x11->connection();
    const xcb_get_property_cookie_t cookie = xcb_get_property(
        connection, 0, static_cast<xcb_window_t>(window.winId()), atom(connection, "_NET_WM_NAME"),
        atom(connection, "UTF8_STRING"), 0, 1024);
    xcb_get_property_reply_t* reply = xcb_get_property_reply(connection, cookie, nullptr);
    if (reply == nullptr)
        return "(no title)";
    const std::string title(static_cast<const char*>(xcb_get_property_value(reply)),
                            static_cast<size_t>(xcb_get_property_value_length(reply)));
    std::free(reply);
    return title;
}

// Reads the title of the modal window `open` brings up, then closes it.
std::string modalTitle(const std::function<void()>& open) {
    std::string title = "(no window)";
    QTimer::singleShot(50, [&title] {
        if (QWidget* modal = QApplication::activeModalWidget()) {
            title = shownTitle(*modal);
            modal->close();
        }
    });
    open();
    return title;
}

class WindowTitles : public ::testing::Test {
protected:
    void SetUp() override {
        if (QGuiApplication::platformName() != QLatin1String("xcb")) {
            GTEST_SKIP() << "needs an X server and the xcb platform";
        }
        imbrix::app::setUpApplication();
        imbrix::app::AppIdentity identity =
            imbrix::app::loadIdentity((imbrix::test::binDir() / "imbrix").string());
        identity.dataFolder = dir_.path().string() + "/";
        form_.reset(new imbrix::app::TAppForm(identity, {}));
        form_->TimerChecker->stop();
        form_->show();
        QApplication::processEvents();
    }

    imbrix::test::ScratchDir dir_;
    std::unique_ptr<imbrix::app::TAppForm> form_;
};

TEST_F(WindowTitles, EachWindowShowsExactlyItsCaption) {
    EXPECT_EQ(shownTitle(*form_), "KELVANE - Imbrix");

    EXPECT_EQ(modalTitle([this] { form_->ButtonBrowseClick(); }), "Select folder:");
    EXPECT_EQ(modalTitle([this] {
                  imbrix::convert::showMessageBox(form_.get(), imbrix::convert::BoxIcon::Error,
                                                  "Failure", "The file could not be read.");
              }),
              "Failure");

    imbrix::online::ShowImportantBox(form_.get(), "WICHTIG", "Bitte aktualisieren.", [] {});
    QMessageBox* box = form_->findChild<QMessageBox*>();
    ASSERT_NE(box, nullptr);
    QApplication::processEvents();
    EXPECT_EQ(shownTitle(*box), "WICHTIG");
    box->close();

    // Messages that name the program take it from the application.
    EXPECT_EQ(QApplication::applicationDisplayName(), "Imbrix");
}

}  // namespace

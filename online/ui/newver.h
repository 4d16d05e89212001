// The new-version notice: a small window in the top right corner of the screen that
// names the product and the version the service reported, opens the download page
// when its link is clicked, can be dragged, and closes itself after eleven seconds.
#pragma once

#include <QPoint>
#include <QString>
#include <QUrl>
#include <QWidget>
#include <functional>
#include <string>

#include "online/endpoints.h"

class QLabel;
class QPropertyAnimation;
class QPushButton;
class QTimer;

namespace imbrix::online {

/// Opens a web page in the user's browser.
using UrlOpener = std::function<void(const QUrl& url)>;

struct NewVerEnvironment {
    /// The product named in the link text.
    std::string productName;
    /// The maker's home page, opened when the reply carries no usable address.
    std::string site = SiteAddress();
    /// Empty: QDesktopServices::openUrl().
    UrlOpener openUrl;
    /// Ticks of the close countdown, one a second.
    int closeCountdown = 11;
};

class TNewVer : public QWidget {
    Q_OBJECT

public:
    /// Creates the notice, hidden, placed in the top right corner; it shows itself
    /// on its first timer tick and gives the focus back to `mainWindow`. The main
    /// window owns it; closing only hides it.
    TNewVer(QWidget* mainWindow, const std::string& serverVersion,
            const std::string& downloadAddress, NewVerEnvironment environment);

    /// Opens the download page (or the home page) and closes.
    void Label2Click();
    /// The close button.
    void Button1Click();
    void TimerStartTimer();
    void TimerCloseTimer();
    void TimerLinkTimer();

    /// The page the link opens.
    QUrl LinkAddress() const;
    int CloseCountdown() const { return countdown_; }
    /// True while the window grows or shrinks.
    bool Animating() const;

    QLabel* Image1 = nullptr;
    QLabel* Label1 = nullptr;
    QLabel* Label2 = nullptr;
    QPushButton* Button1 = nullptr;
    QTimer* TimerStart = nullptr;
    QTimer* TimerClose = nullptr;
    QTimer* TimerLink = nullptr;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void Animate(bool reveal);
    void CloseAnimated();

    QWidget* mainWindow_;
    NewVerEnvironment env_;
    std::string downloadAddress_;
    int countdown_;
    bool dragging_ = false;
    QPoint lastMouse_;
    QPropertyAnimation* animation_ = nullptr;
};

}  // namespace imbrix::online

// The About window: product name and version on a content panel, OK and Info
// buttons, a link to the maker's site, letters falling like rain on the black
// margins, and a picture hidden behind the panel.
//
// Open it modally and let it go when it closes:
//     imbrix::about::TAboutBox box(mainWindow);
//     box.exec();
#pragma once

#include <QDialog>
#include <QIcon>
#include <QImage>
#include <QRegion>
#include <QString>
#include <QUrl>
#include <cstdint>
#include <functional>
#include <memory>

#include "about/about.h"

class QFrame;
class QLabel;
class QMenu;
class QPushButton;
class QTimer;
class QAction;

namespace imbrix::about {

/// What the window needs from the desktop; empty members take the real thing.
struct AboutServices {
    /// Milliseconds from a monotonic clock, 32 bits (the drop-down rule).
    std::function<std::uint32_t()> tickCount;
    /// Opens a web page or a file in the user's program for it.
    std::function<void(const QUrl&)> openUrl;
    /// Shows an error box with `text` and `caption` over `parent` and waits for OK.
    std::function<void(QWidget* parent, const QString& text, const QString& caption)> errorBox;
    /// Shows `menu` at `globalPos` and returns when it closes.
    std::function<void(QMenu* menu, const QPoint& globalPos)> execMenu;
    /// The folder that holds "license.txt", ending with '/'; the program's own by default.
    QString programFolder;
    /// The maker's site ("https://host/"); online::SiteAddress() by default.
    QString site;
    /// Product name and version text ("2.3"); the program's own by default.
    QString productName;
    QString versionText;
    /// Random numbers for the rain.
    RandomRange random;
};

/// The program's own icon, drawn for it (scalable). The About window shows the
/// application's window icon, and this one when the application has none.
QIcon ProgramIcon();

class TAboutBox : public QDialog {
    Q_OBJECT

public:
    explicit TAboutBox(QWidget* parent = nullptr, AboutServices services = {});
    ~TAboutBox() override;

    // Controls, named as the window's designer named them.
    QFrame* Panel1 = nullptr;
    QLabel* Image2 = nullptr;  ///< the maker's logo
    QFrame* Bevel1 = nullptr;
    QLabel* Image1 = nullptr;        ///< the program's icon
    QLabel* Label2 = nullptr;        ///< product name and version
    QPushButton* BitBtn1 = nullptr;  ///< OK
    QPushButton* BitBtn2 = nullptr;  ///< Info
    QLabel* Label5 = nullptr;        ///< the site link
    QFrame* PanelEgg = nullptr;
    QLabel* ImageEgg = nullptr;  ///< the hidden picture
    QMenu* PopupMenu1 = nullptr;
    QAction* Credits1 = nullptr;
    QAction* Howtouninstall1 = nullptr;
    QAction* LicensePrivacyPolicy1 = nullptr;
    QTimer* tmTimer = nullptr;   ///< the rain, 50 ms
    QTimer* TimerEgg = nullptr;  ///< the slide, 5 ms

    const Rain& rain() const { return rain_; }
    /// What the rain has drawn so far (the window shows it behind its panels).
    const QImage& rainCanvas() const { return canvas_; }
    bool isDragging() const { return dragging_; }

    /// Renders the pictures for the current screen's pixel ratio.
    void HighDPIImageYukle();

public slots:
    void tmTimerTimer();
    void Image1DblClick();
    void TimerEggTimer();
    void ImageEggDblClick();
    void BitBtn1Click();
    void BitBtn2Click();
    void Label5Click();
    void Credits1Click();
    void Howtouninstall1Click();
    void LicensePrivacyPolicy1Click();

protected:
    void paintEvent(QPaintEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    bool event(QEvent* event) override;
    void showEvent(QShowEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    class Canvas;

    void buildLayout();
    void StartRain();
    void ResetRain();
    void ShowDropDownMenu(QPushButton* button, QMenu* menu);
    void prepareCanvas();
    void repaintRain(const QRegion& changed);

    AboutServices services_;
    Rain rain_;
    QImage canvas_;
    std::unique_ptr<Canvas> painter_;
    qreal canvasRatio_ = 0;
    bool rainStarted_ = false;
    bool centred_ = false;
    bool dragging_ = false;
    int dx_ = 0;
    int dy_ = 0;
};

}  // namespace imbrix::about

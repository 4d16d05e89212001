// The feedback window: a like or dislike choice, a message and an optional e-mail
// address, sent to the maker's service.
//
// The window only gathers the input and shows the outcome; checking, the request
// fields and the judgement of the reply are the Qt-free routines of
// online/feedback.h. The request runs on the user-interface thread under the
// hourglass cursor, https first and then http.
#pragma once

#include <QDialog>
#include <QMessageBox>
#include <QString>
#include <functional>
#include <string>

#include "online/endpoints.h"
#include "online/feedback.h"
#include "online/request.h"
#include "online/ui/identity.h"

class QFrame;
class QLabel;
class QLineEdit;
class QPlainTextEdit;
class QPushButton;

namespace imbrix::online {

/// Posts a form to an address and returns the reply; throws on failure.
using FormPoster = std::function<std::string(const std::string& address, const FieldList& fields)>;
/// Shows a modal message box and returns when it is closed.
using MessageBoxShower = std::function<void(QWidget* parent, QMessageBox::Icon icon,
                                            const QString& caption, const QString& text)>;

/// What the feedback window takes from the program; tests stand in for parts of it.
struct FeedbackFormEnvironment {
    OnlineIdentity identity = ProgramIdentity();
    std::string serviceHost = ServiceHost();
    RequestOptions request;
    /// Empty: PostRequest() with `request`.
    FormPoster post;
    /// Empty: a QMessageBox with an OK button.
    MessageBoxShower showMessage;
    /// Empty: QApplication::beep().
    std::function<void()> beep;
};

class TFeedbackForm : public QDialog {
    Q_OBJECT

public:
    /// A new window with empty fields and no choice; show it with exec(). It closes
    /// on Esc, by its close button or after a successful send; its owner frees it.
    explicit TFeedbackForm(QWidget* parent = nullptr, FeedbackFormEnvironment environment = {});

    /// The choice panels: a left click toggles one and clears the other.
    void Image1MouseDown(Qt::MouseButton button);
    void Image2MouseDown(Qt::MouseButton button);
    bool LikeSelected() const { return likeSelected_; }
    bool DislikeSelected() const { return dislikeSelected_; }

    /// The Send button: checks the input, sends it and reports the outcome.
    void BitBtn1Click();

    /// The controls, by their component names.
    QFrame* Panel4 = nullptr;  ///< "I like it!"
    QFrame* Panel5 = nullptr;  ///< "I dislike it!"
    QLabel* Panel4Caption = nullptr;
    QLabel* Panel5Caption = nullptr;
    QLabel* Image1 = nullptr;
    QLabel* Image2 = nullptr;
    QLabel* Label1 = nullptr;
    QLabel* Label2 = nullptr;
    QLabel* Label3 = nullptr;
    QPlainTextEdit* Memo1 = nullptr;
    QLineEdit* Edit1 = nullptr;
    QPushButton* BitBtn1 = nullptr;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void FormCreate();
    void SetChoice(QFrame* panel, bool selected);
    void ShowMessage(QMessageBox::Icon icon, const QString& caption, const QString& text);
    std::string Post(const std::string& address, const FieldList& fields) const;

    FeedbackFormEnvironment env_;
    bool likeSelected_ = false;
    bool dislikeSelected_ = false;
};

}  // namespace imbrix::online

// The translated confirmation dialog, driven offscreen.
#include "i18n/ui/messagedlg.h"

#include <QAbstractButton>
#include <QApplication>
#include <QImage>
#include <QLabel>
#include <QPainter>
#include <QPushButton>
#include <QTimer>
#include <QtTest>
#include <functional>

#include "i18n/i18n.h"

using imbrix::i18n::Catalogue;
using imbrix::i18n::DialogType;
using imbrix::i18n::MessageDlgWithCaptions;

namespace {

QString tr8(const Catalogue& catalogue, const char* text) {
    return QString::fromStdString(catalogue.translate(text));
}

// Runs `act` on the dialog once it is shown.
void whenShown(std::function<void(QMessageBox*)> act) {
    QTimer::singleShot(0, [act] {
        auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
        QVERIFY2(box != nullptr, "no message dialog is shown");
        act(box);
    });
}

QAbstractButton* buttonCaptioned(QMessageBox* box, const QString& caption) {
    for (QAbstractButton* button : box->buttons()) {
        if (button->text() == caption) {
            return button;
        }
    }
    return nullptr;
}

}  // namespace

class MessageDlgTest : public QObject {
    Q_OBJECT

private slots:
    void germanConfirmationAnsweredYes() {
        const Catalogue german = Catalogue::load(IMBRIX_BIN_DIR, 1031);
        QVERIFY(german.isLoaded());
        QString title, text, yes, no;
        QMessageBox::Icon icon = QMessageBox::NoIcon;
        whenShown([&](QMessageBox* box) {
            title = box->windowTitle();
            text = box->text();
            icon = box->icon();
            yes = box->button(QMessageBox::Yes)->text();
            no = box->button(QMessageBox::No)->text();
            QAbstractButton* ja = buttonCaptioned(box, "Ja");
            QVERIFY(ja != nullptr);
            ja->click();
        });
        const auto result = MessageDlgWithCaptions(
            tr8(german, "Restart Application?"), DialogType::Confirmation,
            QMessageBox::Yes | QMessageBox::No, {tr8(german, "Yes"), tr8(german, "No")},
            tr8(german, "Confirmation"));
        QCOMPARE(result, QMessageBox::Yes);
        QCOMPARE(title, QString("Bestätigung"));
        QCOMPARE(text, QString("Anwendung neu starten?"));
        QCOMPARE(icon, QMessageBox::Question);
        QCOMPARE(yes, QString("Ja"));
        QCOMPARE(no, QString("Nein"));
    }

    void answeredNoOrClosed() {
        whenShown([](QMessageBox* box) { buttonCaptioned(box, "Nein")->click(); });
        QCOMPARE(MessageDlgWithCaptions("?", DialogType::Confirmation,
                                        QMessageBox::Yes | QMessageBox::No, {"Ja", "Nein"}, "t"),
                 QMessageBox::No);

        // Escape closes the dialog without a Yes.
        whenShown([](QMessageBox* box) { QTest::keyClick(box, Qt::Key_Escape); });
        QCOMPARE(MessageDlgWithCaptions("?", DialogType::Confirmation,
                                        QMessageBox::Yes | QMessageBox::No, {"Ja", "Nein"}, "t"),
                 QMessageBox::No);
    }

    void messageShownAsItIs() {
        const QString message = "Delete <b>x</b> &amp; y?";
        QString shown;
        whenShown([&](QMessageBox* box) {
            // What the label shows: its laid-out text, selected whole.
            auto* label = box->findChild<QLabel*>(QStringLiteral("qt_msgbox_label"));
            QVERIFY(label != nullptr);
            label->setTextInteractionFlags(Qt::TextSelectableByMouse);
            label->setSelection(0, static_cast<int>(message.size()));
            shown = label->selectedText();
            buttonCaptioned(box, "Nein")->click();
        });
        MessageDlgWithCaptions(message, DialogType::Confirmation,
                               QMessageBox::Yes | QMessageBox::No, {"Ja", "Nein"}, "t");
        QCOMPARE(shown, message);
    }

    void fewerCaptionsThanButtons() {
        QMessageBox reference(QMessageBox::NoIcon, "", "",
                              QMessageBox::Yes | QMessageBox::No | QMessageBox::Cancel);
        QStringList captions;
        QMessageBox::Icon icon = QMessageBox::Question;
        whenShown([&](QMessageBox* box) {
            for (auto which : {QMessageBox::Yes, QMessageBox::No, QMessageBox::Cancel}) {
                captions << box->button(which)->text();
            }
            icon = box->icon();
            box->button(QMessageBox::Cancel)->click();
        });
        const auto result = MessageDlgWithCaptions(
            "m", DialogType::Custom, QMessageBox::Yes | QMessageBox::No | QMessageBox::Cancel,
            {"Evet"}, "t");
        QCOMPARE(result, QMessageBox::Cancel);
        QCOMPARE(icon, QMessageBox::NoIcon);
        QCOMPARE(captions, (QStringList{"Evet", reference.button(QMessageBox::No)->text(),
                                        reference.button(QMessageBox::Cancel)->text()}));
    }

    // Japanese and Chinese messages reach the screen as glyphs, not as empty
    // boxes: each character of a translated message, drawn alone in the
    // dialog's font, leaves ink, and different characters leave different marks
    // (a font without the glyphs draws the same box, or nothing, for all).
    void japaneseAndChineseTextsDraw() {
        for (const int language : {1041, 2052}) {
            const Catalogue catalogue = Catalogue::load(IMBRIX_BIN_DIR, language);
            QVERIFY(catalogue.isLoaded());
            const QString text = tr8(catalogue, "Restart Application?");
            QList<QChar> characters;
            for (const QChar c : text) {
                if (c.unicode() >= 0x3000 && !characters.contains(c)) {
                    characters << c;
                }
            }
            QVERIFY2(characters.size() >= 5, qPrintable(text));

            QMessageBox box(QMessageBox::Question, "", text);
            QFont font = box.font();
            font.setPixelSize(32);
            QList<QImage> marks;
            for (const QChar c : characters) {
                QImage image(48, 48, QImage::Format_Grayscale8);
                image.fill(Qt::white);
                {
                    QPainter painter(&image);
                    painter.setFont(font);
                    painter.setPen(Qt::black);
                    painter.drawText(image.rect(), Qt::AlignCenter, QString(c));
                }
                int ink = 0;
                for (int y = 0; y < image.height(); ++y) {
                    const uchar* row = image.constScanLine(y);
                    for (int x = 0; x < image.width(); ++x) {
                        ink += row[x] < 128 ? 1 : 0;
                    }
                }
                QVERIFY2(ink > 0, qPrintable(QString("nothing drawn for ") + c));
                QVERIFY2(!marks.contains(image),
                         qPrintable(QString("the same mark as another character for ") + c));
                marks << image;
            }
        }
    }
};

QTEST_MAIN(MessageDlgTest)
#include "messagedlg_test.moc"

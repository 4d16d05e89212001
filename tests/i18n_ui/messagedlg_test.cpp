// The translated confirmation dialog, driven offscreen.
#include "i18n/ui/messagedlg.h"

#include <QAbstractButton>
#include <QApplication>
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
};

QTEST_MAIN(MessageDlgTest)
#include "messagedlg_test.moc"

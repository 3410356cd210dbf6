// The password dialog: setting a password, refusing bad ones, unlocking.
#include <QApplication>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>

#include <string>

#include "UI_inputpwdWidget.h"
#include "partwise/md5.h"
#include "ui_test_support.h"

using uitest::child;

namespace {

// Clicks the entry (which takes its hint away) and types text into it.
void typeInto(QWidget* dialog, const char* entryName, const QString& text) {
    auto* entry = child<QLineEdit>(dialog, entryName);
    QTest::mouseClick(entry, Qt::LeftButton);
    entry->setText(text);
}

// Brings the keyboard focus to entry as a user would: "focus" expects it
// there already (the dialog opened on it), "tab" presses Tab until it gets
// there, "click" clicks it.
void reach(QLineEdit* entry, const QString& way) {
    QVERIFY(uitest::activate(entry->window()));
    if (way == "click") QTest::mouseClick(entry, Qt::LeftButton);
    for (int presses = 0; way == "tab" && !entry->hasFocus() && presses < 8; ++presses)
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
    QWidget* focus = QApplication::focusWidget();
    QVERIFY2(entry->hasFocus(),
             qPrintable(entry->objectName() + " not reached by " + way + ", focus on " +
                        (focus ? focus->objectName() + " " + focus->metaObject()->className() : "nothing")));
}

// Types text, key by key, wherever the keyboard focus is.
void typeKeys(const QString& text) { QTest::keyClicks(QApplication::focusWidget(), text); }

struct SetRun {
    int passwordSet;
    QString passwordText;
    QString error;
    bool stayedOpen;
};

// Runs the set mode: types first and second, presses OK, then Cancel when
// the dialog is still open.
SetRun runSetMode(UI_inputpwdWidget& dialog, const QString& first, const QString& second) {
    SetRun run{};
    uitest::onModal("UI_inputpwdWidget", [&](QWidget* shown) {
        typeInto(shown, "pwd1LineEdit", first);
        typeInto(shown, "pwd2LineEdit", second);
        child<QPushButton>(shown, "okButton")->click();
        run.stayedOpen = shown->isVisible();
        run.error = child<QLabel>(shown, "setErrorLabel")->text();
        if (run.stayedOpen) child<QPushButton>(shown, "cancelButton")->click();
    });
    dialog.execDialog();
    run.passwordSet = dialog.passwordSet;
    run.passwordText = dialog.passwordText;
    return run;
}

}  // namespace

class PasswordDialogTest : public QObject {
    Q_OBJECT
private slots:
    void initTestCase() { uitest::loadImages(); }
    void init() { dialog.placeDialog(0, 0, 260, 180); }
    void cleanup() { uitest::resetInjectedAnswers(); }

    void setModeAcceptsOnlyMatchingPasswordsThatFit_data() {
        QTest::addColumn<QString>("first");
        QTest::addColumn<QString>("second");
        QTest::addColumn<bool>("accepted");
        QTest::addColumn<QString>("error");
        const QString mismatch = "The passwords entered do not match.";
        const QString tooLong = "The password is longer than 31 bytes.";
        QTest::newRow("same") << "secret"
                              << "secret" << true << "";
        QTest::newRow("different") << "secret"
                                   << "Secret" << false << mismatch;
        QTest::newRow("both empty") << ""
                                    << "" << false << mismatch;
        QTest::newRow("31 bytes") << QString(31, 'x') << QString(31, 'x') << true << "";
        QTest::newRow("32 bytes") << QString(32, 'x') << QString(32, 'x') << false << tooLong;
        // 16 characters, but 32 bytes of UTF-8.
        QTest::newRow("32 bytes in 16 characters")
            << QString(16, QChar(0xE9)) << QString(16, QChar(0xE9)) << false << tooLong;
    }
    void setModeAcceptsOnlyMatchingPasswordsThatFit() {
        QFETCH(QString, first);
        QFETCH(QString, second);
        QFETCH(bool, accepted);
        QFETCH(QString, error);
        const SetRun run = runSetMode(dialog, first, second);
        QCOMPARE(run.passwordSet, accepted ? 1 : 0);
        QCOMPARE(run.passwordText, accepted ? first : QString());
        QCOMPARE(run.stayedOpen, !accepted);
        QCOMPARE(run.error, error);
    }

    void reopeningShowsTheHintsAgain() {
        runSetMode(dialog, "typed", "typed");
        uitest::onModal("UI_inputpwdWidget", [](QWidget* shown) {
            auto* first = child<QLineEdit>(shown, "pwd1LineEdit");
            auto* second = child<QLineEdit>(shown, "pwd2LineEdit");
            QCOMPARE(first->text(), QString("Password..."));
            QCOMPARE(first->echoMode(), QLineEdit::Normal);
            QCOMPARE(second->text(), QString("Confirm Password..."));
            QVERIFY(!child<QPushButton>(shown, "okButton")->isEnabled());

            QTest::keyClicks(first, "abc");
            QCOMPARE(first->text(), QString("abc"));
            QCOMPARE(first->echoMode(), QLineEdit::Password);
            QVERIFY(child<QPushButton>(shown, "okButton")->isEnabled());
            child<QPushButton>(shown, "cancelButton")->click();
        });
        dialog.execDialog();
        QCOMPARE(dialog.passwordSet, 0);
        QVERIFY(dialog.passwordText.isEmpty());
    }

    // The key that takes a hint away is the password's first character,
    // however the entry was reached.
    void typedPasswordKeepsItsFirstKey_data() {
        QTest::addColumn<QString>("first");
        QTest::addColumn<QString>("second");
        QTest::newRow("typed at once, then Tab") << "focus"
                                                 << "tab";
        QTest::newRow("both clicked") << "click"
                                      << "click";
        QTest::newRow("second clicked first, first by Tab") << "tab"
                                                            << "click";
    }
    void typedPasswordKeepsItsFirstKey() {
        QFETCH(QString, first);
        QFETCH(QString, second);
        uitest::onModal("UI_inputpwdWidget", [&](QWidget* shown) {
            auto* firstEntry = child<QLineEdit>(shown, "pwd1LineEdit");
            auto* secondEntry = child<QLineEdit>(shown, "pwd2LineEdit");
            const bool secondFirst = first == "tab";
            if (secondFirst) {
                reach(secondEntry, second);
                typeKeys("secret");
            }
            reach(firstEntry, first);
            typeKeys("secret");
            if (!secondFirst) {
                reach(secondEntry, second);
                typeKeys("secret");
            }
            QCOMPARE(firstEntry->echoMode(), QLineEdit::Password);
            QTest::keyClick(QApplication::focusWidget(), Qt::Key_Return);
            if (shown->isVisible()) child<QPushButton>(shown, "cancelButton")->click();
        });
        dialog.execDialog();
        QCOMPARE(dialog.passwordSet, 1);
        QCOMPARE(dialog.passwordText, QString("secret"));
    }

    void unlockKeepsTheFirstKeyToo_data() {
        QTest::addColumn<QString>("way");
        QTest::newRow("typed at once") << "focus";
        QTest::newRow("clicked") << "click";
    }
    void unlockKeepsTheFirstKeyToo() {
        QFETCH(QString, way);
        const std::string digest = partwise::Md5HexText("secret", 6);
        dialog.storedDigest = digest.c_str();
        dialog.setUnlockMode(true);
        uitest::onModal("UI_inputpwdWidget", [&](QWidget* shown) {
            reach(child<QLineEdit>(shown, "type2_pwdLineEdit"), way);
            typeKeys("secret");
            QTest::keyClick(QApplication::focusWidget(), Qt::Key_Return);
            if (shown->isVisible()) child<QPushButton>(shown, "type2_cancelButton")->click();
        });
        dialog.execDialog();
        dialog.setUnlockMode(false);
        QCOMPARE(dialog.unlocked, 1);
    }

    // Nothing is encrypted, and the dialog says so.
    void textsClaimNoEncryption() {
        dialog.placeDialog(0, 0, 260, 180);
        for (QLabel* label : dialog.findChildren<QLabel*>())
            QVERIFY2(!label->text().contains("encrypted", Qt::CaseInsensitive) ||
                         label->text() == "The chunk data itself is not encrypted.",
                     qPrintable(label->text()));
        QCOMPARE(child<QLabel>(&dialog, "titleLabel")->text(), QString("Password protect"));
        auto* note = child<QLabel>(&dialog, "noteLabel");
        QCOMPARE(note->text(), QString("This chunk set is password-protected. Enter the password to join it."));
        // The note wraps over its two lines and the set page's note fits its one.
        QVERIFY(note->wordWrap() && note->heightForWidth(note->width()) <= note->height());
        for (const char* name : {"titleLabel", "setNoteLabel"}) {
            auto* label = child<QLabel>(&dialog, name);
            QVERIFY2(label->sizeHint().width() <= label->width(), name);
            QVERIFY2(dialog.rect().contains(label->geometry()), name);
        }
        QVERIFY(dialog.rect().contains(child<QPushButton>(&dialog, "okButton")->geometry()));
    }

    void unlockModeClosesOnlyOnTheRightPassword() {
        const std::string digest = partwise::Md5HexText("open sesame", 11);
        dialog.storedDigest = digest.c_str();
        dialog.setUnlockMode(true);
        QStringList errors;
        bool openAfterWrong = false;
        uitest::onModal("UI_inputpwdWidget", [&](QWidget* shown) {
            QVERIFY(!child<QWidget>(shown, "setPage")->isVisible());
            auto* error = child<QLabel>(shown, "unlockErrorLabel");
            auto* ok = child<QPushButton>(shown, "type2_okButton");
            typeInto(shown, "type2_pwdLineEdit", "open sesame!");
            ok->click();
            openAfterWrong = shown->isVisible();
            errors << error->text();
            // Touching the entry again clears the complaint.
            QTest::mouseClick(child<QLineEdit>(shown, "type2_pwdLineEdit"), Qt::LeftButton);
            errors << error->text();
            child<QLineEdit>(shown, "type2_pwdLineEdit")->setText("open sesame");
            ok->click();
        });
        dialog.execDialog();
        dialog.setUnlockMode(false);
        QVERIFY(openAfterWrong);
        QCOMPARE(errors, QStringList({"Sorry, your password is wrong", ""}));
        QCOMPARE(dialog.unlocked, 1);
    }

private:
    UI_inputpwdWidget dialog;
};

QTEST_MAIN(PasswordDialogTest)
#include "password_dialog_test.moc"

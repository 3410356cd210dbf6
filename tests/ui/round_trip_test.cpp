// Whole journeys through the window: split on one tab, join on the other.
#include <QApplication>
#include <QCheckBox>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QLineEdit>
#include <QMap>
#include <QProcess>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>
#include <QTreeView>

#include <memory>

#include "FileChooser.h"
#include "UI_SplitProject.h"
#include "ui_test_support.h"

using uitest::child;

namespace {

// Every file below folder as relative path -> content.
QMap<QString, QByteArray> readTree(const QString& folder) {
    QMap<QString, QByteArray> tree;
    QDirIterator files(folder, QDir::Files | QDir::Hidden, QDirIterator::Subdirectories);
    while (files.hasNext()) {
        const QString path = files.next();
        tree.insert(QDir(folder).relativeFilePath(path), uitest::readFile(path));
    }
    return tree;
}

}  // namespace

class RoundTripTest : public QObject {
    Q_OBJECT
private slots:
    void initTestCase() { uitest::loadImages(); }

    void init() {
        temp = std::make_unique<QTemporaryDir>();
        window = std::make_unique<UI_SplitProject>();
        window->show();
        splitTab = child<QWidget>(window.get(), "splitWidget");
        joinTab = child<QWidget>(window.get(), "mergeWidget");
        QDir().mkpath(temp->filePath("joined"));
    }

    void cleanup() {
        window.reset();
        temp.reset();
        uitest::resetInjectedAnswers();
    }

    void protectedFolderWithNonAsciiNamesComesBackWhole() {
        const QString source = temp->filePath("Fotos été");
        uitest::writeFile(source + "/é.txt", uitest::pattern(70000, 1));
        uitest::writeFile(source + "/文件/文件.txt", uitest::pattern(123457, 2));
        uitest::writeFile(source + "/文件/empty.txt", QByteArray());
        uitest::writeFile(source + "/.hidden", "h");
        const QMap<QString, QByteArray> before = readTree(source);

        FileChooser::setNextAnswer(source);
        child<QPushButton>(splitTab, "input_folderButton")->click();
        QVERIFY(uitest::idle(window.get()));
        uitest::onModal("UI_inputpwdWidget", [](QWidget* dialog) {
            for (const char* name : {"pwd1LineEdit", "pwd2LineEdit"}) {
                QTest::mouseClick(child<QLineEdit>(dialog, name), Qt::LeftButton);
                child<QLineEdit>(dialog, name)->setText("ключ");
            }
            child<QPushButton>(dialog, "okButton")->click();
        });
        child<QCheckBox>(splitTab, "entry_pwd_CheckBox")->click();
        QVERIFY(child<QCheckBox>(splitTab, "entry_pwd_CheckBox")->isChecked());
        split();

        const QString chunkFolder = temp->filePath("Fotos été_spt");
        join(chunkFolder, "ключ");
        // Ten chunks offered, and ten made.
        QCOMPARE(child<QTreeView>(joinTab, "chunkTree")->model()->rowCount(), 10);
        QCOMPARE(readTree(temp->filePath("joined/Fotos été")), before);
    }

    // A password typed in the window, key by key, is the password the
    // command line knows the set by.
    void passwordTypedInTheWindowJoinsOnTheCommandLine() {
        const QByteArray content = uitest::pattern(300000, 5);
        uitest::writeFile(temp->filePath("notes.txt"), content);
        FileChooser::setNextAnswer(temp->filePath("notes.txt"));
        child<QPushButton>(splitTab, "input_fileButton")->click();
        QVERIFY(uitest::idle(window.get()));
        uitest::onModal("UI_inputpwdWidget", [](QWidget* dialog) {
            QVERIFY(uitest::activate(dialog));
            QVERIFY(child<QLineEdit>(dialog, "pwd1LineEdit")->hasFocus());
            QTest::keyClicks(QApplication::focusWidget(), "secret");
            QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
            QTest::keyClicks(QApplication::focusWidget(), "secret");
            QTest::keyClick(QApplication::focusWidget(), Qt::Key_Return);
        });
        child<QCheckBox>(splitTab, "entry_pwd_CheckBox")->click();
        QVERIFY(child<QCheckBox>(splitTab, "entry_pwd_CheckBox")->isChecked());
        split();

        const QString chunkFolder = temp->filePath("notes_spt");
        QCOMPARE(runCli({"join", chunkFolder, "-o", temp->filePath("joined"), "-p", "ecret", "-q"}), 1);
        QCOMPARE(runCli({"join", chunkFolder, "-o", temp->filePath("joined"), "-p", "secret", "-q"}), 0);
        QCOMPARE(uitest::readFile(temp->filePath("joined/notes.txt")), content);
    }

    // The window's count and the command line's -n cut the same chunks.
    void emptyFileBecomesNoChunksAndComesBackEmpty() {
        uitest::writeFile(temp->filePath("empty.log"), QByteArray());
        FileChooser::setNextAnswer(temp->filePath("empty.log"));
        child<QPushButton>(splitTab, "input_fileButton")->click();
        QVERIFY(uitest::idle(window.get()));
        split();
        QCOMPARE(QDir(temp->filePath("empty_spt")).entryList(QDir::Files),
                 QStringList({"empty.meta", "spt_config.brixspt"}));

        join(temp->filePath("empty_spt"), QString());
        QCOMPARE(child<QTreeView>(joinTab, "chunkTree")->model()->rowCount(), 0);
        QVERIFY(QFile::exists(temp->filePath("joined/empty.log")));
        QCOMPARE(QFile(temp->filePath("joined/empty.log")).size(), qint64(0));
    }

private:
    static int runCli(const QStringList& arguments) {
        QProcess cli;
        cli.start(PARTWISE_CLI, arguments);
        if (!cli.waitForFinished(60000)) return -1;
        return cli.exitStatus() == QProcess::NormalExit ? cli.exitCode() : -1;
    }

    void split() {
        child<QPushButton>(splitTab, "m_split_Button")->click();
        QTRY_VERIFY_WITH_TIMEOUT(!window->engineBusy(), 60000);
        QWidget* done = uitest::topLevel("splitCompleteDialog");
        QVERIFY(done->isVisible());
        child<QPushButton>(done, "okButton")->click();
    }

    // Lists chunkFolder on the Join tab and joins it into temp/joined.
    void join(const QString& chunkFolder, const QString& password) {
        FileChooser::setNextAnswer(chunkFolder);
        child<QPushButton>(joinTab, "input_mergefileButton")->click();
        QVERIFY(uitest::idle(window.get()));
        child<QLineEdit>(joinTab, "outPathLineEdit")->setText(temp->filePath("joined"));
        if (!password.isEmpty()) {
            uitest::onModal("UI_inputpwdWidget", [password](QWidget* dialog) {
                auto* entry = child<QLineEdit>(dialog, "type2_pwdLineEdit");
                QTest::mouseClick(entry, Qt::LeftButton);
                entry->setText(password);
                child<QPushButton>(dialog, "type2_okButton")->click();
            });
        }
        uitest::onModal("UI_DialogWidget", [](QWidget* done) { child<QPushButton>(done, "okButton")->click(); });
        child<QPushButton>(joinTab, "m_merge_Button")->click();
        QTRY_VERIFY_WITH_TIMEOUT(!window->engineBusy() && uitest::pendingModalActions() == 0, 60000);
    }

    std::unique_ptr<QTemporaryDir> temp;
    std::unique_ptr<UI_SplitProject> window;
    QWidget* splitTab = nullptr;
    QWidget* joinTab = nullptr;
};

QTEST_MAIN(RoundTripTest)
#include "round_trip_test.moc"

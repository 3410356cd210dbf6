// A logout or a shutdown sends the window SIGTERM: a running split or join
// is cancelled as by its Cancel button, cleans up, and the window dies of
// the signal. The window runs as a process of its own, offscreen; the
// start-up switch PARTWISE_TEST_START=1 makes it press "Split" or "Join" on
// the tab its PATH argument opened as soon as that tab is ready.
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

#include <csignal>
#include <cstring>

#include "partwise/fsutil.h"
#include "partwise/splitter.h"
#include "ui_test_support.h"

class StopSignalTest : public QObject {
    Q_OBJECT
private slots:
    void signalledJobLeavesNothingBehind_data() {
        QTest::addColumn<bool>("join");
        QTest::newRow("split") << false;
        QTest::newRow("join") << true;
    }
    void signalledJobLeavesNothingBehind() {
        QFETCH(bool, join);
        QTemporaryDir temp;
        // Real bytes, enough that the job is still running when it is signalled.
        uitest::makeFilledFile(temp.filePath("src/data.bin"), 256);
        QString opened = temp.filePath("src/data.bin");
        QString watched = temp.filePath("src");
        QStringList before = {"data.bin"};
        if (join) {
            partwise::SplitJob job;
            std::memset(&job, 0, sizeof job);
            std::strcpy(job.sourcePath, QFile::encodeName(opened));
            std::strcpy(job.outputFolder, QFile::encodeName(temp.filePath("set")));
            job.totalSize = partwise::GetPathSize(job.sourcePath);
            job.chunkSize = 32 << 20;
            QDir().mkpath(temp.filePath("set"));
            QCOMPARE(partwise::RunSplit(job), 0);
            opened = temp.filePath("set/data_spt/data_0.spt");
            watched = temp.filePath("set");
            before = {"data_spt"};
        }
        const QStringList chunksBefore = QDir(temp.filePath("set/data_spt")).entryList(QDir::Files);

        QProcess window;
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert("PARTWISE_TEST_START", "1");
        window.setProcessEnvironment(environment);
        window.start(PARTWISE_APP, {opened});
        QVERIFY(window.waitForStarted());
        // The job has started once its first file is there.
        const QDir folder(watched);
        QVERIFY(QTest::qWaitFor(
            [&] { return folder.entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot) != before; }, 60000));
        ::kill(pid_t(window.processId()), SIGTERM);
        QVERIFY(window.waitForFinished(60000));
        QCOMPARE(window.exitStatus(), QProcess::CrashExit);

        QCOMPARE(folder.entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot), before);
        QCOMPARE(QDir(temp.filePath("set/data_spt")).entryList(QDir::Files), chunksBefore);
    }
};

QTEST_MAIN(StopSignalTest)
#include "stop_signal_test.moc"

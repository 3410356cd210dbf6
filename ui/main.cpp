// Partwise: splits a file or a folder tree into a chunk set and joins it back.
#include <QApplication>
#include <QStringList>

#include "StopSignals.h"
#include "UI_SplitProject.h"
#include "partwise/progress.h"

#ifndef QT_NO_SESSIONMANAGER
#include <QSessionManager>
#endif

int main(int argc, char* argv[]) {
    QApplication app(argc, argv);
    // Plug-ins in the usual subfolders beside the executable are found too.
    QCoreApplication::addLibraryPath(QCoreApplication::applicationDirPath());
    Q_INIT_RESOURCE(image);
    StopSignals stopSignals;

    int exitCode = 0;
    int stoppedBy = 0;
    {
        UI_SplitProject window(nullptr);
        QObject::connect(&stopSignals, &StopSignals::caught, &window, &UI_SplitProject::stopAndQuit);
#ifndef QT_NO_SESSIONMANAGER
        // A logout: a running job is cancelled and cleans up, as for SIGTERM.
        QObject::connect(&app, &QGuiApplication::commitDataRequest, &window,
                         [&window](QSessionManager&) { window.stopAndQuit(0); });
#endif
        window.show();
        // "partwise PATH", as a file manager's "Open with" starts it.
        const QStringList arguments = QCoreApplication::arguments();
        if (arguments.size() > 1) window.openPath(arguments.at(1));
        // For tests that signal a running job: PARTWISE_TEST_START=1 presses
        // "Split" or "Join" on the tab PATH opened once it is ready.
        if (qEnvironmentVariableIntValue("PARTWISE_TEST_START") == 1) window.pressStartWhenReady();
        exitCode = app.exec();
        stoppedBy = window.stopSignal();
    }
    Q_CLEANUP_RESOURCE(image);
    // Whoever started the window sees the signal that stopped it.
    partwise::DieOfSignal(stoppedBy);
    return exitCode;
}

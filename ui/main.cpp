// Partwise: splits a file or a folder tree into a chunk set and joins it back.
#include <QApplication>
#include <QStringList>

#include "UI_SplitProject.h"

int main(int argc, char* argv[]) {
    QApplication app(argc, argv);
    // Plug-ins in the usual subfolders beside the executable are found too.
    QCoreApplication::addLibraryPath(QCoreApplication::applicationDirPath());
    Q_INIT_RESOURCE(image);

    int exitCode = 0;
    {
        UI_SplitProject window(nullptr);
        window.show();
        // "partwise PATH", as a file manager's "Open with" starts it.
        const QStringList arguments = QCoreApplication::arguments();
        if (arguments.size() > 1) window.openPath(arguments.at(1));
        exitCode = app.exec();
    }
    Q_CLEANUP_RESOURCE(image);
    return exitCode;
}

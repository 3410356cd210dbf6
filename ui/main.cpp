// Partwise: splits a file or a folder tree into a chunk set and joins it back.
#include <QApplication>

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
        exitCode = app.exec();
    }
    Q_CLEANUP_RESOURCE(image);
    return exitCode;
}

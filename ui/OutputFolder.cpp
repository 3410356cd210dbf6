#include "OutputFolder.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include "UI_MyMessageBox.h"
#include "partwise/errors.h"
#include "partwise/fsutil.h"

bool readyOutputFolder(QWidget* mainWindow, const QString& folder) {
    if (!QDir::isAbsolutePath(folder)) {
        showMessage(mainWindow, QString(), "The output folder must be a full path, starting with \"/\".", true, false);
        return false;
    }
    const QFileInfo info(folder);
    if (info.isDir()) return true;
    if (info.exists()) {
        showFailure(mainWindow, "Not a folder", "\"" + folder + "\" is not a folder.");
        return false;
    }
    if (!askToGoOn(mainWindow, "The output folder \"" + folder + "\" does not exist. Create it?")) return false;
    const std::string path = QFile::encodeName(folder).toStdString();
    if (partwise::CreateParentFolders(path) != 0 || partwise::CreateFolder(path) != 0) {
        showFailure(mainWindow, "Output folder not created", QString::fromStdString(partwise::GetLastErrorText()));
        return false;
    }
    return true;
}

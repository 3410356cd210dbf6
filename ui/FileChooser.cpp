#include "FileChooser.h"

#include <QFileDialog>
#include <QQueue>

namespace FileChooser {
namespace {
QQueue<QString> queuedAnswers;
}

QString openFile(QWidget* parent, const QString& caption, const QString& startFolder, const QString& filter) {
    if (!queuedAnswers.isEmpty()) return queuedAnswers.dequeue();
    return QFileDialog::getOpenFileName(parent, caption, startFolder, filter);
}

QString existingFolder(QWidget* parent, const QString& caption, const QString& startFolder) {
    if (!queuedAnswers.isEmpty()) return queuedAnswers.dequeue();
    return QFileDialog::getExistingDirectory(parent, caption, startFolder,
                                             QFileDialog::ShowDirsOnly | QFileDialog::DontResolveSymlinks);
}

void setNextAnswer(const QString& path) { queuedAnswers.enqueue(path); }

void reset() { queuedAnswers.clear(); }

}  // namespace FileChooser

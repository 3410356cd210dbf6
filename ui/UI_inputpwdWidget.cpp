#include "UI_inputpwdWidget.h"

#include <QDropEvent>
#include <QIcon>
#include <QInputMethodEvent>
#include <QKeyEvent>
#include <QLabel>
#include <QMouseEvent>
#include <QPushButton>

#include "WidgetLook.h"
#include "myLineEdit.h"
#include "partwise/limits.h"
#include "partwise/md5.h"

namespace {

// Connects the three ways an entry is first touched to the slot that clears its hint.
template <class Slot>
void connectEntry(myLineEdit* edit, UI_inputpwdWidget* dialog, Slot slot) {
    QObject::connect(edit, &QLineEdit::textEdited, dialog, slot);
    QObject::connect(edit, &QLineEdit::cursorPositionChanged, dialog, slot);
    QObject::connect(edit, &myLineEdit::clicked, dialog, slot);
}

// Leaves the hint on first use: the entry empties and starts hiding what is typed.
void leaveHint(int& hint, QLineEdit* edit) {
    if (hint != 1) return;
    hint = 0;
    edit->clear();
    edit->setEchoMode(QLineEdit::Password);
}

// setText moves the cursor, which runs the entry's slot: the flag is down
// until the hint stands, so the slot cannot take the hint away again.
void showHint(int& hint, QLineEdit* edit, const QString& text) {
    hint = 0;
    edit->setEchoMode(QLineEdit::Normal);
    edit->setText(text);
    hint = 1;
}

// Whether event is about to put text into a line edit: a printable key, a
// paste, an input method's text, a drop, or the context menu with its Paste.
bool bringsText(QEvent* event) {
    switch (event->type()) {
        case QEvent::KeyPress: {
            const auto* key = static_cast<QKeyEvent*>(event);
            return key->matches(QKeySequence::Paste) || (!key->text().isEmpty() && key->text().at(0).isPrint());
        }
        case QEvent::InputMethod:
            return !static_cast<QInputMethodEvent*>(event)->commitString().isEmpty();
        case QEvent::Drop:
        case QEvent::ContextMenu:
            return true;
        default:
            return false;
    }
}

}  // namespace

UI_inputpwdWidget::UI_inputpwdWidget(QWidget* parent) : QDialog(parent) {
    setUpDialog(this, 9);

    setPage = new QWidget(this);
    setPage->setObjectName("setPage");
    titleLabel = new QLabel(setPage);
    titleLabel->setObjectName("titleLabel");
    pwd1LineEdit = new myLineEdit(setPage);
    pwd1LineEdit->setObjectName("pwd1LineEdit");
    pwd2LineEdit = new myLineEdit(setPage);
    pwd2LineEdit->setObjectName("pwd2LineEdit");
    okButton = new QPushButton(setPage);
    okButton->setObjectName("okButton");
    cancelButton = new QPushButton(setPage);
    cancelButton->setObjectName("cancelButton");
    setErrorLabel = new QLabel(setPage);
    setErrorLabel->setObjectName("setErrorLabel");

    QFont titleFont = font();
    titleFont.setFamily("arial");
    titleFont.setWeight(QFont::Bold);
    titleFont.setPointSize(10);
    titleLabel->setFont(titleFont);
    // The password guards the join only: the chunks stay plain slices of the source.
    titleLabel->setText("Password protect");
    cancelButton->setText("Cancel");
    okButton->setText("OK");
    setErrorLabel->setStyleSheet("QLabel { color: red }");
    setNoteLabel = named(new QLabel("The chunk data itself is not encrypted.", setPage), "setNoteLabel");

    connect(okButton, &QPushButton::clicked, this, &UI_inputpwdWidget::okButton_slots);
    connect(cancelButton, &QPushButton::clicked, this, &UI_inputpwdWidget::cancelButton_slots);
    connectEntry(pwd1LineEdit, this, &UI_inputpwdWidget::pwd1LineEdit_slots);
    connectEntry(pwd2LineEdit, this, &UI_inputpwdWidget::pwd2LineEdit_slots);

    unlockPage = new QWidget(this);
    unlockPage->setObjectName("unlockPage");
    noteLabel = new QLabel(unlockPage);
    noteLabel->setObjectName("noteLabel");
    type2_pwdLineEdit = new myLineEdit(unlockPage);
    type2_pwdLineEdit->setObjectName("type2_pwdLineEdit");
    unlockErrorLabel = new QLabel(unlockPage);
    unlockErrorLabel->setObjectName("unlockErrorLabel");
    type2_okButton = new QPushButton(unlockPage);
    type2_okButton->setObjectName("type2_okButton");
    type2_cancelButton = new QPushButton(unlockPage);
    type2_cancelButton->setObjectName("type2_cancelButton");

    unlockErrorLabel->setStyleSheet("QLabel { color: red }");
    type2_cancelButton->setText("Cancel");
    type2_okButton->setText("OK");
    noteLabel->setText("This chunk set is password-protected. Enter the password to join it.");
    noteLabel->setWordWrap(true);

    connectEntry(type2_pwdLineEdit, this, &UI_inputpwdWidget::type2_pwdLineEdit_slots);
    connect(type2_okButton, &QPushButton::clicked, this, &UI_inputpwdWidget::type2_okButton_slots);
    connect(type2_cancelButton, &QPushButton::clicked, this, &UI_inputpwdWidget::type2_cancelButton_slots);
    unlockPage->hide();
    okButton->setDefault(true);

    // The key that takes a hint away is the password's first character.
    for (myLineEdit* entry : {pwd1LineEdit, pwd2LineEdit, type2_pwdLineEdit}) entry->installEventFilter(this);

    setWindowIcon(QIcon(":/image/program.ico"));
}

void UI_inputpwdWidget::placeDialog(int x, int y, int w, int h) {
    setGeometry(x, y, w, h);
    setFixedSize(w, h);

    setPage->setGeometry(0, 0, w, h);
    // The title is centred as wide as it needs; the note takes one line
    // above the buttons, which the set mode's taller dialog makes room for.
    const int titleWidth = qMax(120, titleLabel->sizeHint().width());
    titleLabel->setGeometry((w - titleWidth) / 2, 5, titleWidth, 20);
    pwd1LineEdit->setGeometry(20, 40, 220, 20);
    pwd2LineEdit->setGeometry(20, 70, 220, 20);
    setErrorLabel->setGeometry(20, 95, 220, 20);
    setNoteLabel->setGeometry(20, 115, 220, 20);
    cancelButton->setGeometry(20, 140, 100, 30);
    okButton->setGeometry(140, 140, 100, 30);

    unlockPage->setGeometry(0, 0, w, h);
    noteLabel->setGeometry(10, 5, w - 20, 40);
    type2_pwdLineEdit->setGeometry(20, 70, 220, 20);
    unlockErrorLabel->setGeometry(20, 95, 220, 20);
    type2_cancelButton->setGeometry(20, 120, 100, 30);
    type2_okButton->setGeometry(140, 120, 100, 30);
}

void UI_inputpwdWidget::setUnlockMode(bool unlock) {
    setPage->setVisible(!unlock);
    unlockPage->setVisible(unlock);
    // Enter presses the shown page's OK, not the hidden page's.
    okButton->setDefault(!unlock);
    type2_okButton->setDefault(unlock);
}

void UI_inputpwdWidget::execDialog() {
    // The hints run the entry slots, which enable OK: disable it afterwards.
    showHint(pwd1Hint, pwd1LineEdit, "Password...");
    showHint(pwd2Hint, pwd2LineEdit, "Confirm Password...");
    passwordSet = 0;
    okButton->setEnabled(false);
    setErrorLabel->clear();

    unlocked = 0;
    showHint(type2_pwdHint, type2_pwdLineEdit, "Enter password...");
    unlockErrorLabel->clear();
    type2_okButton->setEnabled(false);

    // Each opening starts in the page's first entry, ready for typing.
    (unlockPage->isHidden() ? pwd1LineEdit : type2_pwdLineEdit)->setFocus();
    exec();
}

void UI_inputpwdWidget::okButton_slots() {
    passwordSet = 0;
    passwordText.clear();
    const QString typed = pwd1LineEdit->text();
    if (typed.isEmpty() || typed != pwd2LineEdit->text()) {
        setErrorLabel->setText("The passwords entered do not match.");
        return;
    }
    if (typed.toUtf8().size() > qsizetype(partwise::kMaxPasswordBytes)) {
        setErrorLabel->setText(QString("The password is longer than %1 bytes.").arg(partwise::kMaxPasswordBytes));
        return;
    }
    passwordText = typed;
    passwordSet = 1;
    hide();
}

void UI_inputpwdWidget::cancelButton_slots() {
    passwordSet = 0;
    passwordText.clear();
    hide();
}

void UI_inputpwdWidget::pwd1LineEdit_slots() {
    leaveHint(pwd1Hint, pwd1LineEdit);
    okButton->setEnabled(true);
}

void UI_inputpwdWidget::pwd2LineEdit_slots() {
    leaveHint(pwd2Hint, pwd2LineEdit);
    okButton->setEnabled(true);
}

void UI_inputpwdWidget::type2_pwdLineEdit_slots() {
    leaveHint(type2_pwdHint, type2_pwdLineEdit);
    type2_okButton->setEnabled(true);
    unlockErrorLabel->clear();
}

void UI_inputpwdWidget::type2_okButton_slots() {
    const QByteArray typed = type2_pwdLineEdit->text().toUtf8();
    if (partwise::CheckPassword(typed.constData(), storedDigest) == 1) {
        unlocked = 1;
        hide();
        return;
    }
    unlockErrorLabel->setText("Sorry, your password is wrong");
}

void UI_inputpwdWidget::type2_cancelButton_slots() {
    unlocked = 0;
    hide();
}

bool UI_inputpwdWidget::eventFilter(QObject* watched, QEvent* event) {
    // The hint leaves before the text arrives, so the text goes into an empty
    // entry: typing first gives the same password as clicking first.
    if (bringsText(event)) {
        if (watched == pwd1LineEdit) pwd1LineEdit_slots();
        if (watched == pwd2LineEdit) pwd2LineEdit_slots();
        if (watched == type2_pwdLineEdit) type2_pwdLineEdit_slots();
    }
    return QDialog::eventFilter(watched, event);
}

void UI_inputpwdWidget::mousePressEvent(QMouseEvent* event) {
    dragging = 1;
    pressX = event->position().toPoint().x();
    pressY = event->position().toPoint().y();
}

void UI_inputpwdWidget::mouseReleaseEvent(QMouseEvent*) { dragging = 0; }

void UI_inputpwdWidget::mouseMoveEvent(QMouseEvent* event) {
    if (dragging != 1) return;
    const QPoint at = event->position().toPoint();
    const QRect now = geometry();
    placeDialog(at.x() + now.x() - pressX, at.y() + now.y() - pressY, now.width(), now.height());
}

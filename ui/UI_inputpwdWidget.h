#pragma once
// The password dialog. Set mode (the Split tab, 260 x 180): the password typed twice;
// afterwards passwordSet and passwordText. Unlock mode (the Join tab): one
// password checked against storedDigest; afterwards unlocked. Each entry shows
// a hint in plain text until it is first edited or clicked; the key that takes
// the hint away is kept as the first character.
#include <QDialog>
#include <QString>

class QLabel;
class QPushButton;
class myLineEdit;

class UI_inputpwdWidget : public QDialog {
    Q_OBJECT
public:
    explicit UI_inputpwdWidget(QWidget* parent = nullptr);

    // Sets the rectangle, fixes the size and lays out both pages.
    void placeDialog(int x, int y, int w, int h);
    // Chooses the page that the next execDialog shows.
    void setUnlockMode(bool unlock);
    // Resets both pages and runs the dialog modally until a button hides it.
    void execDialog();

    QString passwordText;
    int passwordSet = 0;
    int unlocked = 0;
    // The digest text the unlock mode checks against; must outlive the run.
    const char* storedDigest = nullptr;

private slots:
    void okButton_slots();
    void cancelButton_slots();
    void pwd1LineEdit_slots();
    void pwd2LineEdit_slots();
    void type2_pwdLineEdit_slots();
    void type2_okButton_slots();
    void type2_cancelButton_slots();

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;

private:
    int pwd1Hint = 0;
    int pwd2Hint = 0;
    int type2_pwdHint = 0;

    QWidget* setPage;
    QLabel* titleLabel;
    myLineEdit* pwd1LineEdit;
    myLineEdit* pwd2LineEdit;
    QPushButton* okButton;
    QPushButton* cancelButton;
    QLabel* setErrorLabel;
    QLabel* setNoteLabel;

    QWidget* unlockPage;
    QLabel* noteLabel;
    myLineEdit* type2_pwdLineEdit;
    QLabel* unlockErrorLabel;
    QPushButton* type2_okButton;
    QPushButton* type2_cancelButton;

    int dragging = 0;
    int pressX = 0;
    int pressY = 0;
};

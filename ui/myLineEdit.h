#pragma once
// A line edit that reports every mouse-button release as clicked(), so the
// password dialog can clear its hint text on the first click.
#include <QLineEdit>

class myLineEdit : public QLineEdit {
    Q_OBJECT
public:
    explicit myLineEdit(QWidget* parent = nullptr);

signals:
    void clicked();

protected:
    void mousePressEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
};

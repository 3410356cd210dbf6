#include "WidgetLook.h"

#include <QComboBox>
#include <QEvent>
#include <QPainter>
#include <QProxyStyle>
#include <QStyleOptionComplex>

namespace {

// The frameless dialogs have no frame of the window manager's: a 1-pixel
// edge drawn over the dialog's border keeps them apart from the window
// behind. It follows the dialog's size, stays above the dialog's children and
// lets the mouse through, so the dialog is still dragged by its body.
class DialogEdge : public QWidget {
public:
    explicit DialogEdge(QWidget* dialog) : QWidget(dialog) {
        setObjectName("dialogEdge");
        setAttribute(Qt::WA_TransparentForMouseEvents);
        setFocusPolicy(Qt::NoFocus);
        dialog->installEventFilter(this);
    }

protected:
    bool eventFilter(QObject* watched, QEvent* event) override {
        if (watched == parentWidget() && (event->type() == QEvent::Resize || event->type() == QEvent::Show)) {
            setGeometry(parentWidget()->rect());
            raise();
        }
        return false;
    }

    void paintEvent(QPaintEvent*) override {
        // Filled rectangles, not a pen: they stay whole pixels at any scale.
        QPainter painter(this);
        const QColor edge(0x80, 0x80, 0x80);
        painter.fillRect(0, 0, width(), 1, edge);
        painter.fillRect(0, height() - 1, width(), 1, edge);
        painter.fillRect(0, 0, 1, height(), edge);
        painter.fillRect(width() - 1, 0, 1, height(), edge);
    }
};

// The platform style keeps about 20 pixels of a combo box for its arrow,
// which leaves a narrow box too little room for its text. This one gives the
// arrow a slim strip and the text the rest.
class SlimArrowStyle : public QProxyStyle {
public:
    QRect subControlRect(ComplexControl control, const QStyleOptionComplex* option, SubControl part,
                         const QWidget* widget) const override {
        if (control != CC_ComboBox || (part != SC_ComboBoxArrow && part != SC_ComboBoxEditField))
            return QProxyStyle::subControlRect(control, option, part, widget);
        constexpr int kArrowWidth = 11;
        const QRect box = option->rect;
        const QRect arrow(box.right() - kArrowWidth, box.top() + 1, kArrowWidth, box.height() - 2);
        const QRect text(box.left() + 3, box.top() + 2, box.width() - kArrowWidth - 5, box.height() - 4);
        return visualRect(option->direction, box, part == SC_ComboBoxArrow ? arrow : text);
    }
};

}  // namespace

void useSlimArrow(QComboBox* box) {
    auto* style = new SlimArrowStyle;
    style->setParent(box);
    box->setStyle(style);
}

void setUpDialog(QDialog* dialog, int pointSize) {
    useArial(dialog, pointSize);
    dialog->setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint);
    dialog->setAutoFillBackground(true);
    new DialogEdge(dialog);
}

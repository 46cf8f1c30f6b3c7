#include "ui/press_label.h"

#include <QMouseEvent>

namespace kestrum {

void PressLabel::mousePressEvent(QMouseEvent* event) {
    if (event->button() == Qt::LeftButton) {
        event->accept();
        emit pressed();
        return;
    }
    QLabel::mousePressEvent(event);
}

void PressArea::mousePressEvent(QMouseEvent* event) {
    if (event->button() == Qt::LeftButton) {
        event->accept();
        emit pressed();
        return;
    }
    QWidget::mousePressEvent(event);
}

}  // namespace kestrum

// Controls that react to the left mouse button being pressed (not to a full click), as the window's links
// and the help window's entries do.
#pragma once

#include <QLabel>
#include <QWidget>

namespace kestrum {

class PressLabel : public QLabel {
    Q_OBJECT
  public:
    using QLabel::QLabel;

  signals:
    void pressed();

  protected:
    void mousePressEvent(QMouseEvent* event) override;
};

// A row of an icon and a text (the children are plain labels; the press lands on the row).
class PressArea : public QWidget {
    Q_OBJECT
  public:
    using QWidget::QWidget;

  signals:
    void pressed();

  protected:
    void mousePressEvent(QMouseEvent* event) override;
};

}  // namespace kestrum

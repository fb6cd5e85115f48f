// Small helpers of the main window: its top-most state and its message boxes.
#pragma once

#include <QLabel>
#include <QMessageBox>
#include <QString>

class QWidget;

namespace skiascan {

/// Makes a top-level window stay above all others, or releases that state. Like
/// the platform call it stands for, it also shows the window when it is hidden.
void setTopMost(QWidget* window, bool topMost);

/// True while the window is marked to stay above all others.
bool isTopMost(const QWidget* window);

/// Shows a modal message box with one OK button and waits until it is closed.
void showMessage(QWidget* parent, QMessageBox::Icon icon, const QString& title, const QString& text);

/// A label that says when it is clicked.
class ClickableLabel : public QLabel {
    Q_OBJECT

public:
    using QLabel::QLabel;

signals:
    void clicked();

protected:
    void mousePressEvent(QMouseEvent* event) override;
};

} // namespace skiascan

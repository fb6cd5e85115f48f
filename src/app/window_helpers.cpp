#include "app/window_helpers.h"

#include <QWidget>
#include <QWindow>


namespace skiascan {

void setTopMost(QWidget* window, bool topMost)
{
    Qt::WindowFlags flags = window->windowFlags();
    flags.setFlag(Qt::WindowStaysOnTopHint, topMost);
    if (!window->isVisible()) {
        window->setWindowFlags(flags);
        window->show();
        return;
    }
    if (flags == window->windowFlags())
        return;
    // setWindowFlags() would hide a shown window; change the flags in place.
    window->overrideWindowFlags(flags);
    if (QWindow* handle = window->windowHandle())
        handle->setFlags(flags);
}

bool isTopMost(const QWidget* window)
{
    return window->windowFlags().testFlag(Qt::WindowStaysOnTopHint);
}

void showMessage(QWidget* parent, QMessageBox::Icon icon, const QString& title, const QString& text)
{
    QMessageBox box(icon, title, text, QMessageBox::Ok, parent);
    box.exec();
}

void ClickableLabel::mousePressEvent(QMouseEvent* event)
{
    QLabel::mousePressEvent(event);
    emit clicked();
}

} // namespace skiascan

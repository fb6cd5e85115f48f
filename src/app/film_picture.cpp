#include "app/film_picture.h"

#include <QMouseEvent>

namespace skiascan {

FilmPicture::FilmPicture(QWidget* parent)
    : QLabel(parent)
{
    setObjectName(QStringLiteral("filmImage"));
    setAlignment(Qt::AlignCenter);
    // The picture follows the window; it never makes the window grow.
    setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Ignored);
    setMinimumSize(160, 160);
    setAutoFillBackground(true);
    QPalette dark = palette();
    dark.setColor(QPalette::Window, Qt::black);
    dark.setColor(QPalette::WindowText, QColor(200, 200, 200));
    setPalette(dark);
    setCursor(Qt::SizeAllCursor);
}

QSize FilmPicture::room() const
{
    return contentsRect().size() * devicePixelRatio();
}

void FilmPicture::mousePressEvent(QMouseEvent* event)
{
    m_last = event->position().toPoint();
    m_dragging = true;
    event->accept();
}

void FilmPicture::mouseMoveEvent(QMouseEvent* event)
{
    if (!m_dragging)
        return;
    const QPoint now = event->position().toPoint();
    const QPoint moved = now - m_last;
    m_last = now;
    if (!moved.isNull())
        emit dragged(moved.x(), moved.y());
}

void FilmPicture::mouseReleaseEvent(QMouseEvent* event)
{
    m_dragging = false;
    event->accept();
}

void FilmPicture::mouseDoubleClickEvent(QMouseEvent* event)
{
    m_dragging = false;
    event->accept();
    emit resetAsked();
}

void FilmPicture::resizeEvent(QResizeEvent* event)
{
    QLabel::resizeEvent(event);
    emit resized();
}

} // namespace skiascan

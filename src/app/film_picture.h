// The film itself in the film view: a picture fitted to the window on a black
// ground, and the mouse as viewers use it to set the window: a drag to the
// right widens it, a drag downwards raises its centre, a double-click goes
// back to the default.
#pragma once

#include <QLabel>
#include <QPoint>

namespace skiascan {

class FilmPicture : public QLabel {
    Q_OBJECT

public:
    explicit FilmPicture(QWidget* parent = nullptr);

    /// The room the picture has, in device pixels.
    QSize room() const;

signals:
    /// The mouse moved by (dx, dy) pixels with a button held.
    void dragged(int dx, int dy);
    /// A double-click: back to the default window.
    void resetAsked();
    /// The room for the picture changed.
    void resized();

protected:
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void mouseDoubleClickEvent(QMouseEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;

private:
    QPoint m_last;
    bool m_dragging = false;
};

} // namespace skiascan

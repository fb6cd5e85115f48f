#include "common/background.h"

#include <QCoreApplication>
#include <QEvent>
#include <QEventLoop>

#include <exception>
#include <thread>

namespace skiascan {

namespace {

bool isInput(QEvent::Type type)
{
    switch (type) {
    case QEvent::MouseButtonPress:
    case QEvent::MouseButtonRelease:
    case QEvent::MouseButtonDblClick:
    case QEvent::NonClientAreaMouseButtonPress:
    case QEvent::NonClientAreaMouseButtonRelease:
    case QEvent::NonClientAreaMouseButtonDblClick:
    case QEvent::KeyPress:
    case QEvent::KeyRelease:
    case QEvent::ShortcutOverride:
    case QEvent::Shortcut:
    case QEvent::Wheel:
    case QEvent::TouchBegin:
    case QEvent::TouchUpdate:
    case QEvent::TouchEnd:
    case QEvent::ContextMenu:
        return true;
    default:
        return false;
    }
}

// Swallows the operator's input while it is installed, but for one object.
class InputDropper : public QObject {
public:
    explicit InputDropper(QObject* allowed)
        : m_allowed(allowed)
    {
        QCoreApplication::instance()->installEventFilter(this);
    }
    ~InputDropper() override { QCoreApplication::instance()->removeEventFilter(this); }

protected:
    bool eventFilter(QObject* watched, QEvent* event) override
    {
        // Input reaches a window first and is handed on to its widgets: decide at
        // the widget, where the allowed one can be told from the others.
        if (!watched->isWidgetType() || !isInput(event->type()))
            return false;
        for (QObject* o = watched; m_allowed && o; o = o->parent())
            if (o == m_allowed)
                return false;
        return true;
    }

private:
    QObject* m_allowed;
};

} // namespace

InputBlock::InputBlock(QObject* allowed)
    : m_dropper(new InputDropper(allowed))
{
}

InputBlock::~InputBlock()
{
    delete m_dropper;
}

void runWhileRepainting(const std::function<void()>& work, QObject* allowed)
{
    std::exception_ptr failure;
    QEventLoop loop;
    const InputBlock block(allowed);
    std::thread worker([&] {
        try {
            work();
        } catch (...) {
            failure = std::current_exception();
        }
        QMetaObject::invokeMethod(&loop, &QEventLoop::quit, Qt::QueuedConnection);
    });
    loop.exec();
    worker.join();
    if (failure)
        std::rethrow_exception(failure);
}

} // namespace skiascan

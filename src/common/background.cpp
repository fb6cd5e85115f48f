#include "common/background.h"

#include <QCoreApplication>
#include <QEvent>

#include <stdexcept>

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

BackgroundTask::BackgroundTask(QObject* parent)
    : QObject(parent)
{
}

BackgroundTask::~BackgroundTask()
{
    stop();
}

void BackgroundTask::start(Job job, Done done, std::function<void()> onCancel)
{
    if (m_running)
        throw std::logic_error("BackgroundTask::start while a job runs");
    m_running = true;
    m_done = std::move(done);
    m_onCancel = std::move(onCancel);
    m_failure = nullptr;
    m_flag.m_cancelled = false;
    const unsigned generation = ++m_generation;
    m_thread = std::thread([this, generation, job = std::move(job)] {
        try {
            job(m_flag);
        } catch (...) {
            m_failure = std::current_exception();
        }
        // Queued to this object: dropped by Qt if the task is gone by then.
        QMetaObject::invokeMethod(this, "finish", Qt::QueuedConnection, Q_ARG(unsigned, generation));
    });
}

void BackgroundTask::finish(unsigned generation)
{
    if (generation != m_generation || !m_thread.joinable())
        return; // stopped meanwhile
    // The join orders everything the job wrote before what `done` reads.
    m_thread.join();
    m_running = false;
    Done done = std::move(m_done);
    m_done = nullptr;
    m_onCancel = nullptr;
    const std::exception_ptr failure = m_failure;
    m_failure = nullptr;
    if (done)
        done(failure);
}

void BackgroundTask::cancel()
{
    if (!m_running)
        return;
    m_flag.m_cancelled = true;
    if (m_onCancel)
        m_onCancel();
}

void BackgroundTask::stop()
{
    cancel();
    if (m_thread.joinable())
        m_thread.join();
    m_running = false;
    m_done = nullptr;
    m_onCancel = nullptr;
    m_failure = nullptr;
}

} // namespace skiascan

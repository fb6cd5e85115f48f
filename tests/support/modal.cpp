#include "support/modal.h"

#include <QAbstractButton>
#include <QApplication>
#include <QDialog>

#include <gtest/gtest.h>

namespace skiascan::test {

namespace {
// About half a minute of polling without any modal window: something is stuck.
constexpr long kMaxIdlePolls = 3'000'000;
} // namespace

ModalDriver::ModalDriver()
{
    m_timer.setInterval(0);
    QObject::connect(&m_timer, &QTimer::timeout, [this] { poll(); });
}

ModalDriver::~ModalDriver()
{
    m_timer.stop();
}

ModalDriver& ModalDriver::then(Action action, Ready ready)
{
    m_actions.emplace_back(std::move(action), std::move(ready));
    m_timer.start();
    return *this;
}

void ModalDriver::poll()
{
    if (m_actions.empty()) {
        m_timer.stop();
        return;
    }
    QWidget* modal = QApplication::activeModalWidget();
    const Ready& ready = m_actions.front().second;
    if (!modal || modal == m_last || !modal->isVisible() || (ready && !ready(modal))) {
        if (++m_idlePolls > kMaxIdlePolls) {
            ADD_FAILURE() << "no modal window appeared for a queued action";
            m_actions.clear();
            m_timer.stop();
        }
        return;
    }
    m_idlePolls = 0;
    m_last = modal;
    Action action = std::move(m_actions.front().first);
    m_actions.pop_front();
    if (m_actions.empty())
        m_timer.stop();
    // Run the action from a fresh event so that a modal window it opens in turn
    // can be answered by this driver too.
    QPointer<QWidget> target = modal;
    QTimer::singleShot(0, [action = std::move(action), target] {
        if (target)
            action(target);
    });
}

bool isMessageBox(QWidget* w)
{
    return qobject_cast<QMessageBox*>(w) != nullptr;
}

ModalDriver::Action recordMessage(SeenMessage& seen)
{
    return [&seen](QWidget* w) {
        auto* box = qobject_cast<QMessageBox*>(w);
        ASSERT_NE(box, nullptr) << "expected a message box, got " << w->metaObject()->className();
        seen.title = box->windowTitle();
        seen.text = box->text();
        seen.icon = box->icon();
        seen.seen = true;
        box->button(QMessageBox::Ok)->click();
    };
}

ModalDriver::Action rejectDialog()
{
    return [](QWidget* w) {
        auto* dialog = qobject_cast<QDialog*>(w);
        ASSERT_NE(dialog, nullptr);
        dialog->reject();
    };
}

ModalDriver::Action clickButton(const QString& objectName)
{
    return [objectName](QWidget* w) {
        auto* b = w->findChild<QAbstractButton*>(objectName);
        ASSERT_NE(b, nullptr) << "no button " << objectName.toStdString();
        b->click();
    };
}

} // namespace skiascan::test

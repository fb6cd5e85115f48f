#include "support/modal.h"

#include <QAbstractButton>
#include <QApplication>
#include <QDialog>

#include <gtest/gtest.h>

namespace skiascan::test {

namespace {
// Half a minute without the modal window a queued action waits for: something is stuck.
constexpr qint64 kMaxWaitMs = 30000;
// Polling interval while nothing is queued: only unexpected windows are looked for.
constexpr int kWatchIntervalMs = 5;

QString describe(QWidget* w)
{
    QString text = QStringLiteral("\"%1\" (%2)").arg(w->windowTitle(), QString::fromLatin1(w->metaObject()->className()));
    if (auto* box = qobject_cast<QMessageBox*>(w))
        text += QStringLiteral(": ") + box->text();
    return text;
}
} // namespace

ModalDriver::ModalDriver()
{
    QObject::connect(&m_timer, &QTimer::timeout, [this] { poll(); });
    m_timer.start(kWatchIntervalMs);
}

ModalDriver::~ModalDriver()
{
    m_timer.stop();
}

ModalDriver& ModalDriver::then(Action action, Ready ready)
{
    if (m_actions.empty())
        m_waiting.start();
    m_actions.emplace_back(std::move(action), std::move(ready));
    m_timer.setInterval(0);
    return *this;
}

void ModalDriver::poll()
{
    QWidget* modal = QApplication::activeModalWidget();
    const bool fresh = modal && modal != m_last && modal->isVisible();
    const bool known = modal && m_known.contains(modal);
    if (m_actions.empty()) {
        m_timer.setInterval(kWatchIntervalMs);
        if (!fresh || known)
            return;
        // A dialog nobody expected would wait for an answer until the test's
        // timeout: fail now, saying what it was, and close it.
        ADD_FAILURE() << "unexpected modal window " << describe(modal).toStdString();
        m_last = modal;
        m_known.append(modal);
        if (auto* dialog = qobject_cast<QDialog*>(modal))
            QTimer::singleShot(0, dialog, &QDialog::reject);
        else
            QTimer::singleShot(0, modal, &QWidget::close);
        return;
    }
    // A window that is open while an action waits is one the test expects,
    // even when the action is meant for a window that follows it.
    if (modal && !known)
        m_known.append(modal);
    const Ready& ready = m_actions.front().second;
    if (!fresh || (ready && !ready(modal))) {
        if (m_waiting.hasExpired(kMaxWaitMs)) {
            ADD_FAILURE() << "no modal window appeared for a queued action"
                          << (modal ? ", the open one is " + describe(modal).toStdString() : std::string());
            m_actions.clear();
            // Close what is open, so that the test ends instead of waiting.
            if (auto* dialog = qobject_cast<QDialog*>(modal))
                QTimer::singleShot(0, dialog, &QDialog::reject);
        }
        return;
    }
    m_last = modal;
    m_waiting.start();
    Action action = std::move(m_actions.front().first);
    m_actions.pop_front();
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

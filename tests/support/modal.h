// Answers the modal dialogs and message boxes that the code under test opens,
// without sleeping: a zero timer looks for each new modal window and hands it to
// the next queued action.
#pragma once

#include <QMessageBox>
#include <QPointer>
#include <QTimer>
#include <QWidget>

#include <deque>
#include <functional>

namespace skiascan::test {

class ModalDriver {
public:
    using Action = std::function<void(QWidget*)>;

    ModalDriver();
    ~ModalDriver();

    /// Queues an action for the next modal window that appears.
    ModalDriver& then(Action action);

    /// Actions not yet used.
    std::size_t pending() const { return m_actions.size(); }

private:
    void poll();

    QTimer m_timer;
    std::deque<Action> m_actions;
    QPointer<QWidget> m_last;
    long m_idlePolls = 0;
};

/// What a message box said.
struct SeenMessage {
    QString title;
    QString text;
    QMessageBox::Icon icon = QMessageBox::NoIcon;
    bool seen = false;
};

/// An action that records a message box into `seen` and presses its OK button.
ModalDriver::Action recordMessage(SeenMessage& seen);

/// An action that closes a dialog by rejecting it (as Escape does).
ModalDriver::Action rejectDialog();

/// Clicks a child button of the modal window, found by object name.
ModalDriver::Action clickButton(const QString& objectName);

} // namespace skiascan::test

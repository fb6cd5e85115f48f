// Answers the modal dialogs and message boxes that the code under test opens,
// without sleeping: a timer looks for each new modal window and hands it to the
// next queued action. A modal window that no action was queued for fails the
// test at once (naming its title and text) and is closed.
#pragma once

#include <QElapsedTimer>
#include <QList>
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
    using Ready = std::function<bool(QWidget*)>;

    ModalDriver();
    ~ModalDriver();

    /// Queues an action for the next modal window that appears, to run once
    /// `ready` says the window is ready for it (a dialog that fills itself first).
    ModalDriver& then(Action action, Ready ready = {});

    /// Actions not yet used.
    std::size_t pending() const { return m_actions.size(); }

private:
    void poll();

    QTimer m_timer;
    std::deque<std::pair<Action, Ready>> m_actions;
    QPointer<QWidget> m_last;
    QList<QPointer<QWidget>> m_known; // modal windows the test expected
    QElapsedTimer m_waiting; // since the first queued action began to wait
};

/// What a message box said.
struct SeenMessage {
    QString title;
    QString text;
    QMessageBox::Icon icon = QMessageBox::NoIcon;
    bool seen = false;
};

/// A Ready test for actions that wait for a message box.
bool isMessageBox(QWidget* w);

/// An action that records a message box into `seen` and presses its OK button.
ModalDriver::Action recordMessage(SeenMessage& seen);

/// An action that closes a dialog by rejecting it (as Escape does).
ModalDriver::Action rejectDialog();

/// Clicks a child button of the modal window, found by object name.
ModalDriver::Action clickButton(const QString& objectName);

} // namespace skiascan::test

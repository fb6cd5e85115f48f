// Small helpers shared by the three windows.
#pragma once

#include <QMessageBox>
#include <QString>

#include <functional>

class QWidget;

namespace skiascan {

/// Makes a top-level window stay above all others, or releases that state. Like
/// the platform call it stands for, it also shows the window when it is hidden.
void setTopMost(QWidget* window, bool topMost);

/// True while the window is marked to stay above all others.
bool isTopMost(const QWidget* window);

/// Shows a modal message box with one OK button and waits until it is closed.
void showMessage(QWidget* parent, QMessageBox::Icon icon, const QString& title, const QString& text);

/// A failure's description, two line breaks and the sentence naming the consequence.
QString failureText(const QString& description, const QString& consequence);

/// Runs `work` on a worker thread and returns when it is done, rethrowing what it
/// threw. Meanwhile the windows repaint and timers run, while the operator's
/// input waits: a slow or silent network peer never leaves a frozen window.
void runWhileRepainting(const std::function<void()>& work);

} // namespace skiascan

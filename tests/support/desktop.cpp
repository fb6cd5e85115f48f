#include "support/desktop.h"

#include <QElapsedTimer>
#include <QFile>
#include <QProcessEnvironment>
#include <QRegularExpression>
#include <QThread>

#include <gtest/gtest.h>

namespace skiascan::test {

QString xdotool(const QStringList& args, int timeoutMs)
{
    QProcess p;
    p.start(QStringLiteral("xdotool"), args);
    if (!p.waitForFinished(timeoutMs)) {
        p.kill();
        p.waitForFinished();
        ADD_FAILURE() << "xdotool " << args.join(' ').toStdString() << " did not finish";
        return {};
    }
    return QString::fromLocal8Bit(p.readAllStandardOutput()).trimmed();
}

bool waitUntil(const std::function<bool()>& done, int timeoutMs)
{
    QElapsedTimer clock;
    clock.start();
    while (!done()) {
        if (clock.elapsed() > timeoutMs)
            return false;
        QThread::msleep(50);
    }
    return true;
}

QString windowNamed(const QString& name)
{
    return xdotool({"search", "--onlyvisible", "--name", "^" + QRegularExpression::escape(name) + "$"}).section('\n', 0, 0);
}

void installProgram(const QString& programFolder)
{
    const QString bin = QString(SKIASCAN_PROGRAM_DIR);
    for (const char* name : {"skiascan", "SCANFILE.EXE", "Test.tif"}) {
        const QString target = programFolder + "/" + name;
        ASSERT_TRUE(QFile::copy(bin + "/" + name, target)) << name;
        QFile::setPermissions(target, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    }
}

void startProgram(QProcess& process, const QString& programFolder, const QStringList& arguments,
                  const QStringList& scannerEnvironment)
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("QT_QPA_PLATFORM", "xcb");
    env.insert("LC_ALL", "C.UTF-8");
    for (const QString& variable : scannerEnvironment)
        env.insert(variable.section('=', 0, 0), variable.section('=', 1));
    process.setProcessEnvironment(env);
    process.setProcessChannelMode(QProcess::ForwardedChannels);
    process.start(programFolder + "/skiascan", arguments);
    ASSERT_TRUE(process.waitForStarted(10000));
}

Operator::Operator(const QString& window)
    : m_window(window)
{
    const QString shell = xdotool({"getwindowgeometry", "--shell", window});
    int x = 0, y = 0, height = 0;
    for (const QString& line : shell.split('\n')) {
        if (line.startsWith("X="))
            x = line.mid(2).toInt();
        else if (line.startsWith("Y="))
            y = line.mid(2).toInt();
        else if (line.startsWith("HEIGHT="))
            height = line.mid(7).toInt();
    }
    // The client area of 520 x 325 sits below the menu bar.
    m_origin = QPoint(x, y + height - 325);
}

void Operator::click(int x, int y) const
{
    // (No --sync: it waits for ever when the pointer is already there.)
    xdotool({"mousemove", QString::number(m_origin.x() + x), QString::number(m_origin.y() + y), "click", "1"});
}

void Operator::typeInto(int x, int y, const QString& text) const
{
    click(x + 20, y + 9);
    xdotool({"key", "ctrl+a"});
    xdotool({"type", "--delay", "10", text});
}

void Operator::key(const QString& name) const
{
    xdotool({"key", name});
}

} // namespace skiascan::test

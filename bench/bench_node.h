// For the benchmarks: a storescp node that can go down and come back on the
// same port, and a station's program folder sending to two of them.
#pragma once

#include "settings/settings_file.h"

#include <QDir>
#include <QFileInfo>
#include <QProcess>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>
#include <QThread>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace bench {

inline sockaddr_in loopback(int port)
{
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(static_cast<uint16_t>(port));
    return address;
}

inline int freePort()
{
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address = loopback(0);
    socklen_t length = sizeof address;
    ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
    ::close(fd);
    return ntohs(address.sin_port);
}

class Node {
public:
    Node(const QString& aeTitle, const QString& folder)
        : m_aeTitle(aeTitle)
        , m_folder(folder)
        , m_port(freePort())
    {
        QDir().mkpath(folder);
        up();
    }
    ~Node() { down(); }

    void up()
    {
        if (m_process.state() != QProcess::NotRunning)
            return;
        m_process.setStandardOutputFile(QProcess::nullDevice());
        m_process.setStandardErrorFile(QProcess::nullDevice());
        m_process.start(QStringLiteral("storescp"),
                        {QStringLiteral("-aet"), m_aeTitle, QStringLiteral("-od"), m_folder, QString::number(m_port)});
        m_process.waitForStarted();
        for (int i = 0; i < 500; ++i) { // until it listens
            const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
            const sockaddr_in address = loopback(m_port);
            const bool listening = ::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
            ::close(fd);
            if (listening)
                return;
            QThread::msleep(10);
        }
    }
    void down()
    {
        if (m_process.state() == QProcess::NotRunning)
            return;
        m_process.kill();
        m_process.waitForFinished();
    }
    int port() const { return m_port; }
    QString setting() const { return QStringLiteral("%1|127.0.0.1|%2").arg(m_aeTitle).arg(m_port); }
    // The files received, each named by storescp after the image's SOP Instance UID.
    QStringList files() const
    {
        QStringList paths;
        const QDir dir(m_folder);
        for (const QString& name : dir.entryList(QDir::Files, QDir::Name))
            paths << dir.filePath(name);
        return paths;
    }
    static QString uidOf(const QString& file) { return QFileInfo(file).fileName().section(QLatin1Char('.'), 1); }

private:
    QString m_aeTitle;
    QString m_folder;
    int m_port;
    QProcess m_process;
};

// The settings of a station in `program` that scans with `scanApp` into
// `images` and sends to up to three nodes ("AET|host|port" each).
inline void writeSettings(const QString& program, const QString& scanApp, const QString& images,
                          const QStringList& remotes)
{
    using skiascan::Setting;
    skiascan::SettingsLines lines = skiascan::linesOf({});
    lines[Setting::ScanApp] = scanApp;
    lines[Setting::ImageFolder] = images;
    lines[Setting::LocalAET] = QStringLiteral("SKIASCAN");
    const Setting rows[] = {Setting::Remote0, Setting::Remote1, Setting::Remote2};
    for (int i = 0; i < 3; ++i)
        lines[rows[i]] = remotes.value(i, QStringLiteral("||"));
    skiascan::saveSettingsFile(skiascan::settingsFilePath(program), lines);
}

// A program folder and an image folder in `work`, with settings for scanning
// with `scanApp` into two nodes, STEADY (which the run leaves up) and FLAKY.
struct Station {
    Station(const QTemporaryDir& work, const QString& scanApp)
        : program(work.filePath(QStringLiteral("program")))
        , images(work.filePath(QStringLiteral("images")) + QLatin1Char('/'))
        , steady(QStringLiteral("STEADY"), work.filePath(QStringLiteral("steady")))
        , flaky(QStringLiteral("FLAKY"), work.filePath(QStringLiteral("flaky")))
        , scanApp(scanApp)
    {
        QDir().mkpath(program);
        QDir().mkpath(images);
        sendTo(steady.setting(), flaky.setting());
    }
    // The two destination rows, for a node reached another way (through a proxy).
    void sendTo(const QString& first, const QString& second) const
    {
        writeSettings(program, scanApp, images, {first, second});
    }
    QString program;
    QString images;
    Node steady;
    Node flaky;
    QString scanApp;
};

} // namespace bench

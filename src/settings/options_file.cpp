#include "settings/options_file.h"

#include "common/durable_file.h"
#include "common/failure.h"

#include <QDir>
#include <QFile>
#include <QSettings>

namespace skiascan {

namespace {

QString nodeGroup(std::size_t row)
{
    return QStringLiteral("Node%1").arg(row);
}

// Reads the values of one file, noting what it cannot read.
class Reader {
public:
    Reader(const QString& path, QStringList* problems)
        : m_settings(path, QSettings::IniFormat)
        , m_problems(problems)
    {
    }

    bool status() const { return m_settings.status() == QSettings::NoError; }

    void read(const QString& key, bool& value)
    {
        if (!m_settings.contains(key))
            return;
        const QString text = m_settings.value(key).toString().trimmed().toLower();
        if (text == QLatin1String("true") || text == QLatin1String("1") || text == QLatin1String("yes"))
            value = true;
        else if (text == QLatin1String("false") || text == QLatin1String("0") || text == QLatin1String("no"))
            value = false;
        else
            note(key, text);
    }

    void read(const QString& key, QString& value)
    {
        if (m_settings.contains(key))
            value = m_settings.value(key).toString();
    }

    void read(const QString& key, quint16& value)
    {
        if (!m_settings.contains(key))
            return;
        const QString text = m_settings.value(key).toString().trimmed();
        bool ok = false;
        const uint number = text.toUInt(&ok);
        if (text.isEmpty())
            value = 0;
        else if (ok && number <= 65535)
            value = static_cast<quint16>(number);
        else
            note(key, text);
    }

    void read(const QString& key, Compression& value)
    {
        if (!m_settings.contains(key))
            return;
        const QString text = m_settings.value(key).toString();
        if (const std::optional<Compression> named = compressionFromKey(text))
            value = *named;
        else
            note(key, text.trimmed());
    }

    void read(const QString& group, TlsSettings& tls)
    {
        read(group + QStringLiteral("/Tls"), tls.enabled);
        read(group + QStringLiteral("/TrustedCertificates"), tls.trustedCertificates);
        read(group + QStringLiteral("/Certificate"), tls.certificate);
        read(group + QStringLiteral("/PrivateKey"), tls.privateKey);
    }

private:
    void note(const QString& key, const QString& text)
    {
        if (m_problems)
            m_problems->append(QStringLiteral("%1 \"%2\" is not a value it can take; the default is used").arg(key, text));
    }

    QSettings m_settings;
    QStringList* m_problems;
};

void write(QSettings& file, const QString& group, const TlsSettings& tls)
{
    file.setValue(group + QStringLiteral("/Tls"), tls.enabled);
    file.setValue(group + QStringLiteral("/TrustedCertificates"), tls.trustedCertificates);
    file.setValue(group + QStringLiteral("/Certificate"), tls.certificate);
    file.setValue(group + QStringLiteral("/PrivateKey"), tls.privateKey);
}

} // namespace

QString optionsFilePath(const QString& programFolder)
{
    return QDir(programFolder).filePath(QStringLiteral("Skiascan.options.ini"));
}

Options loadOptions(const QString& path, QStringList* problems)
{
    Options options;
    if (!QFile::exists(path))
        return options;
    Reader file(path, problems);
    if (!file.status()) {
        if (problems)
            problems->append(QStringLiteral("%1 cannot be read; the defaults are used").arg(QDir::toNativeSeparators(path)));
        return options;
    }
    file.read(QStringLiteral("Worklist/UseScheduledStudy"), options.useScheduledStudy);
    file.read(QStringLiteral("Worklist"), options.worklistTls);
    for (std::size_t row = 0; row < options.nodes.size(); ++row) {
        file.read(nodeGroup(row), options.nodes[row].tls);
        file.read(nodeGroup(row) + QStringLiteral("/StorageCommitment"), options.nodes[row].storageCommitment);
        file.read(nodeGroup(row) + QStringLiteral("/Compression"), options.nodes[row].compression);
    }
    file.read(QStringLiteral("Local/Port"), options.localPort);
    file.read(QStringLiteral("Mpps/Enabled"), options.mpps.enabled);
    file.read(QStringLiteral("Mpps/AETitle"), options.mpps.aeTitle);
    file.read(QStringLiteral("Mpps/Host"), options.mpps.host);
    file.read(QStringLiteral("Mpps/Port"), options.mpps.port);
    file.read(QStringLiteral("Mpps"), options.mpps.tls);
    file.read(QStringLiteral("View/ShowEachFilm"), options.view.showEachFilm);
    file.read(QStringLiteral("View/HoldForReview"), options.view.holdForReview);
    return options;
}

TlsSettings withPathsResolved(TlsSettings tls, const QString& programFolder)
{
    const QDir folder(programFolder);
    for (QString* path : {&tls.trustedCertificates, &tls.certificate, &tls.privateKey})
        if (!path->trimmed().isEmpty())
            *path = QDir::cleanPath(folder.absoluteFilePath(path->trimmed()));
    return tls;
}

Options withPathsResolved(Options options, const QString& programFolder)
{
    options.worklistTls = withPathsResolved(options.worklistTls, programFolder);
    for (NodeOptions& node : options.nodes)
        node.tls = withPathsResolved(node.tls, programFolder);
    options.mpps.tls = withPathsResolved(options.mpps.tls, programFolder);
    return options;
}

void saveOptions(const QString& path, const Options& options)
{
    // QSettings writes the file it is given in place; a temporary file renamed
    // over the old one leaves the old file whole when the write fails.
    const QString temporary = path + QStringLiteral(".new");
    QFile::remove(temporary);
    {
        QSettings file(temporary, QSettings::IniFormat);
        file.setValue(QStringLiteral("Worklist/UseScheduledStudy"), options.useScheduledStudy);
        write(file, QStringLiteral("Worklist"), options.worklistTls);
        for (std::size_t row = 0; row < options.nodes.size(); ++row) {
            write(file, nodeGroup(row), options.nodes[row].tls);
            file.setValue(nodeGroup(row) + QStringLiteral("/StorageCommitment"), options.nodes[row].storageCommitment);
            file.setValue(nodeGroup(row) + QStringLiteral("/Compression"), compressionKey(options.nodes[row].compression));
        }
        file.setValue(QStringLiteral("Local/Port"), options.localPort);
        file.setValue(QStringLiteral("Mpps/Enabled"), options.mpps.enabled);
        file.setValue(QStringLiteral("Mpps/AETitle"), options.mpps.aeTitle);
        file.setValue(QStringLiteral("Mpps/Host"), options.mpps.host);
        file.setValue(QStringLiteral("Mpps/Port"), options.mpps.port);
        write(file, QStringLiteral("Mpps"), options.mpps.tls);
        file.setValue(QStringLiteral("View/ShowEachFilm"), options.view.showEachFilm);
        file.setValue(QStringLiteral("View/HoldForReview"), options.view.holdForReview);
        file.sync();
        if (file.status() != QSettings::NoError || !QFile::exists(temporary)) {
            QFile::remove(temporary);
            throw Failure(QStringLiteral("%1 could not be written.").arg(QDir::toNativeSeparators(path)),
                          Failure::Kind::File);
        }
    }
    if (!renameDurably(temporary, path)) {
        QFile::remove(temporary);
        throw Failure(QStringLiteral("%1 could not be written.").arg(QDir::toNativeSeparators(path)), Failure::Kind::File);
    }
}

} // namespace skiascan

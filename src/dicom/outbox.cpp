#include "dicom/outbox.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>

#include <algorithm>
#include <cstdio>

#include <fcntl.h>
#include <unistd.h>

namespace skiascan {

using dicom::DicomError;

namespace {

const QString kTemporaryPrefix = QStringLiteral(".writing-");

// Flushes a file or folder to the disk, so that a rename after it cannot
// publish data that a power cut would lose.
bool syncToDisk(const QString& path)
{
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    const bool ok = ::fsync(fd) == 0;
    ::close(fd);
    return ok;
}

bool renameAtomically(const QString& from, const QString& to)
{
    return std::rename(QFile::encodeName(from).constData(), QFile::encodeName(to).constData()) == 0;
}

} // namespace

std::vector<int> configuredSlots(const RemoteSettings& remotes)
{
    std::vector<int> nodeSlots;
    for (int slot = 0; slot < 3; ++slot)
        if (remotes[static_cast<std::size_t>(slot)].size() > 2)
            nodeSlots.push_back(slot);
    return nodeSlots;
}

Destination parseDestination(int slot, const QString& setting)
{
    const QStringList fields = setting.split(QLatin1Char('|'));
    if (fields.size() < 3)
        throw DicomError(QStringLiteral("The destination %1 setting \"%2\" is not of the form AET|address|port.")
                             .arg(slot + 1)
                             .arg(setting));
    bool ok = false;
    const qint32 port = fields[2].trimmed().toInt(&ok);
    if (!ok)
        throw DicomError(QStringLiteral("The port \"%1\" of destination %2 (%3) is not a number.")
                             .arg(fields[2])
                             .arg(slot + 1)
                             .arg(fields[0]));
    return Destination{slot, fields[0], fields[1], port};
}

// ------------------------------------------------------------------- outbox

Outbox::Outbox(const QString& programFolder)
    : m_folder(QDir(programFolder).filePath(QStringLiteral("Outbox")))
{
}

QString Outbox::entryName(const QString& keptAt, const QString& sopInstanceUid, const std::vector<int>& owed,
                          bool anyNode)
{
    QString nodes;
    if (anyNode) {
        nodes = QStringLiteral("any");
    } else {
        nodes = QStringLiteral("n");
        for (int slot : owed)
            nodes += QString::number(slot);
    }
    return QStringLiteral("%1-%2-%3.dcm").arg(keptAt, sopInstanceUid, nodes);
}

bool Outbox::parseName(const QString& name, Entry& entry)
{
    static const QRegularExpression form(QStringLiteral("^(\\d{17})-([0-9.]{1,64})-(any|n0?1?2?)\\.dcm$"));
    const auto match = form.match(name);
    if (!match.hasMatch() || match.captured(3) == QLatin1String("n"))
        return false;
    entry.sopInstanceUid = match.captured(2);
    entry.owed.clear();
    entry.anyNode = match.captured(3) == QLatin1String("any");
    if (!entry.anyNode)
        for (QChar c : match.captured(3).mid(1))
            entry.owed.push_back(c.digitValue());
    return true;
}

void Outbox::add(dicom::Image& image, const std::vector<int>& owed)
{
    const QString uid = image.text(0x0008, 0x0018).value_or(QString());
    const QString keptAt = QDateTime::currentDateTime().toString(QStringLiteral("yyyyMMddHHmmsszzz"));
    const QString finalPath = QDir(m_folder).filePath(entryName(keptAt, uid, owed, owed.empty()));
    const QString temporary = QDir(m_folder).filePath(kTemporaryPrefix + uid + QStringLiteral(".dcm"));
    try {
        if (!QDir().mkpath(m_folder))
            throw DicomError(QStringLiteral("the folder cannot be created"));
        image.saveFile(temporary);
        if (!syncToDisk(temporary))
            throw DicomError(QStringLiteral("Cannot flush %1 to the disk.").arg(temporary));
        if (!renameAtomically(temporary, finalPath))
            throw DicomError(QStringLiteral("Cannot rename %1 into the outbox.").arg(temporary));
    } catch (const DicomError& e) {
        QFile::remove(temporary);
        throw DicomError(QStringLiteral("The image could not be kept in the outbox (%1): %2").arg(m_folder, e.description()));
    }
    syncToDisk(m_folder);
}

std::vector<Outbox::Entry> Outbox::entries() const
{
    std::vector<Entry> list;
    const QDir dir(m_folder);
    const QStringList names = dir.entryList({QStringLiteral("*.dcm")}, QDir::Files, QDir::Name);
    for (const QString& name : names) {
        Entry entry;
        if (!parseName(name, entry))
            continue;
        entry.path = dir.filePath(name);
        list.push_back(std::move(entry));
    }
    return list;
}

int Outbox::count() const
{
    return static_cast<int>(entries().size());
}

void Outbox::renameEntry(Entry& entry, const std::vector<int>& owed, bool anyNode)
{
    const QString name = QFileInfo(entry.path).fileName();
    const QString newPath = QDir(m_folder).filePath(entryName(name.left(17), entry.sopInstanceUid, owed, anyNode));
    if (!renameAtomically(entry.path, newPath))
        throw DicomError(QStringLiteral("Cannot update the outbox entry %1.").arg(entry.path));
    entry.path = newPath;
    entry.owed = owed;
    entry.anyNode = anyNode;
}

void Outbox::strikeOff(Entry& entry, int slot)
{
    std::vector<int> owed = entry.owed;
    owed.erase(std::remove(owed.begin(), owed.end(), slot), owed.end());
    if (!owed.empty()) {
        renameEntry(entry, owed, false);
        return;
    }
    if (!QFile::remove(entry.path))
        throw DicomError(QStringLiteral("Cannot remove the delivered image %1 from the outbox.").arg(entry.path));
    entry.owed.clear();
}

void Outbox::assign(Entry& entry, const std::vector<int>& nodeSlots)
{
    renameEntry(entry, nodeSlots, false);
}

void Outbox::moveAside(const Entry& entry)
{
    const QDir damaged(QDir(m_folder).filePath(QStringLiteral("damaged")));
    QDir().mkpath(damaged.path());
    renameAtomically(entry.path, damaged.filePath(QFileInfo(entry.path).fileName()));
}

// ----------------------------------------------------------------- delivery

namespace {

// Sends to one node; a failure becomes a NodeFailure.
bool sendTo(dicom::Image& image, int slot, const QString& setting, const QString& localAETitle,
            std::vector<NodeFailure>& failures)
{
    try {
        const Destination node = parseDestination(slot, setting);
        image.send(node.host, node.port, node.aeTitle, localAETitle);
        return true;
    } catch (const DicomError& e) {
        const bool unreachable = e.kind() == DicomError::Kind::Unreachable || e.kind() == DicomError::Kind::Rejected;
        failures.push_back({slot, e.description(), unreachable});
        return false;
    }
}

} // namespace

DeliveryReport deliverImage(dicom::Image& image, const RemoteSettings& remotes, const QString& localAETitle,
                            Outbox& outbox)
{
    DeliveryReport report;
    const std::vector<int> nodeSlots = configuredSlots(remotes);
    report.noNodeConfigured = nodeSlots.empty();
    std::vector<int> owed;
    for (int slot : nodeSlots)
        if (!sendTo(image, slot, remotes[static_cast<std::size_t>(slot)], localAETitle, report.failures))
            owed.push_back(slot);
    if (owed.empty() && !report.noNodeConfigured)
        return report;
    try {
        outbox.add(image, owed);
        report.kept = true;
    } catch (const DicomError& e) {
        report.keepFailure = e.description();
    }
    return report;
}

OutboxRound resendOutbox(Outbox& outbox, const RemoteSettings& remotes, const QString& localAETitle,
                         std::set<int> unreachable)
{
    OutboxRound round;
    const std::vector<int> configured = configuredSlots(remotes);
    for (Outbox::Entry entry : outbox.entries()) {
        try {
            if (entry.anyNode) {
                if (configured.empty())
                    continue;
                outbox.assign(entry, configured);
            }
            std::vector<int> due;
            for (int slot : entry.owed)
                if (std::find(configured.begin(), configured.end(), slot) != configured.end() && !unreachable.count(slot))
                    due.push_back(slot);
            if (due.empty())
                continue;
            dicom::Image image;
            try {
                image = dicom::Image::loadFile(entry.path);
            } catch (const DicomError&) {
                outbox.moveAside(entry);
                continue;
            }
            for (int slot : due) {
                std::vector<NodeFailure> failures;
                if (sendTo(image, slot, remotes[static_cast<std::size_t>(slot)], localAETitle, failures)) {
                    outbox.strikeOff(entry, slot);
                    ++round.delivered;
                    continue;
                }
                if (failures.front().unreachable)
                    unreachable.insert(slot);
                round.failures.push_back(failures.front());
            }
        } catch (const DicomError& e) {
            // The outbox folder itself misbehaves (a rename failed): stop here and
            // keep everything as it is for the next round.
            round.failures.push_back({-1, e.description(), false});
            break;
        }
    }
    return round;
}

} // namespace skiascan

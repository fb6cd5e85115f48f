#include "delivery/outbox.h"

#include "common/durable_file.h"
#include "common/failure.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>

#include <algorithm>

namespace skiascan {

namespace {

const QString kTemporaryName = QLatin1String(kTemporaryPrefix);

} // namespace

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
    const QString temporary = QDir(m_folder).filePath(kTemporaryName + uid + QStringLiteral(".dcm"));
    try {
        if (!QDir().mkpath(m_folder))
            throw Failure(QStringLiteral("the folder cannot be created"));
        image.saveFile(temporary);
        if (!syncToDisk(temporary))
            throw Failure(QStringLiteral("Cannot flush %1 to the disk.").arg(temporary));
        if (!renameDurably(temporary, finalPath))
            throw Failure(QStringLiteral("Cannot rename %1 into the outbox.").arg(temporary));
    } catch (const Failure& e) {
        QFile::remove(temporary);
        throw Failure(QStringLiteral("The image could not be kept in the outbox (%1): %2").arg(m_folder, e.description()),
                      Failure::Kind::File);
    }
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
    if (!renameDurably(entry.path, newPath))
        throw Failure(QStringLiteral("Cannot update the outbox entry %1.").arg(entry.path), Failure::Kind::File);
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
        throw Failure(QStringLiteral("Cannot remove the delivered image %1 from the outbox.").arg(entry.path),
                      Failure::Kind::File);
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
    renameDurably(entry.path, damaged.filePath(QFileInfo(entry.path).fileName()));
}

} // namespace skiascan

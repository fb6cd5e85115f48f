// The outbox's files: the write-ahead of a new image, reading the entries,
// moving entries aside, the image of an entry, and the tidying at start-up.

#include "delivery/outbox.h"

#include "common/durable_file.h"
#include "common/failure.h"
#include "common/private_files.h"
#include "common/program_log.h"
#include "dicom/compression.h"
#include "dicom/image_attributes.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>

#include <algorithm>

namespace skiascan {

namespace {

const QString kImageSuffix = QStringLiteral(".dcm");
const QString kEntrySuffix = QStringLiteral(".entry");
// The compressed copies beside an image (see Outbox::copyPath()).
const QStringList kCopySuffixes{QStringLiteral(".jls"), QStringLiteral(".jpl")};

} // namespace

Outbox::Outbox(const QString& programFolder)
    : m_folder(QDir(programFolder).filePath(QStringLiteral("Outbox")))
{
}

void Outbox::write(const OutboxEntry& entry)
{
    writeFileDurably(entry.entryPath, entryToJson(entry));
}

bool Outbox::reread(OutboxEntry& entry) const
{
    QFile file(entry.entryPath);
    if (!file.exists())
        return false;
    OutboxEntry current;
    if (!file.open(QIODevice::ReadOnly) || !entryFromJson(file.readAll(), current))
        return true; // it stays as it is: the next read finds out what is wrong
    current.entryPath = entry.entryPath;
    current.imagePath = entry.imagePath;
    entry = current;
    return true;
}

void Outbox::place(OutboxEntry& entry) const
{
    const QDir dir(m_folder);
    entry.imagePath = dir.filePath(entry.instanceUid + kImageSuffix);
    entry.entryPath = dir.filePath(entry.instanceUid + kEntrySuffix);
}

void Outbox::keep(dicom::Image& image, OutboxEntry& entry)
{
    const QDir dir(m_folder);
    place(entry);
    const QString temporary = dir.filePath(QLatin1String(kTemporaryPrefix) + entry.instanceUid + kImageSuffix);
    try {
        // The image is the entry's alone until its entry exists: it is written
        // without the lock, which the workers need meanwhile.
        if (!makePrivateFolder(m_folder))
            throw Failure(QStringLiteral("the folder cannot be created"), Failure::Kind::File);
        image.saveFile(temporary);
        if (!makePrivateFile(temporary))
            throw Failure(QStringLiteral("Cannot make %1 readable by this user only.").arg(temporary), Failure::Kind::File);
        if (!syncToDisk(temporary))
            throw Failure(QStringLiteral("Cannot flush %1 to the disk.").arg(temporary), Failure::Kind::File);
        if (!renameDurably(temporary, entry.imagePath))
            throw Failure(QStringLiteral("Cannot rename %1 into the outbox.").arg(temporary), Failure::Kind::File);
        const std::lock_guard lock(m_lock);
        write(entry);
    } catch (const Failure& e) {
        QFile::remove(temporary);
        QFile::remove(entry.imagePath);
        throw Failure(QStringLiteral("The image could not be kept in the outbox (%1): %2").arg(m_folder, e.description()),
                      Failure::Kind::File);
    }
    programlog::event(QStringLiteral("outbox: image %1 of %2 kept for %3")
                          .arg(entry.instanceUid, entry.patientName, entry.owedText()));
}

std::vector<OutboxEntry> Outbox::read(bool moveDamaged, QStringList* unreadable) const
{
    std::vector<OutboxEntry> list;
    const QDir dir(m_folder);
    for (const QString& name : dir.entryList({QLatin1Char('*') + kEntrySuffix}, QDir::Files, QDir::Name)) {
        const QString path = dir.filePath(name);
        QFile file(path);
        if (!file.open(QIODevice::ReadOnly)) {
            // The disk or its rights, not the entry: it waits for the next pass.
            if (unreadable)
                unreadable->append(QStringLiteral("%1: %2").arg(path, file.errorString()));
            continue;
        }
        const QByteArray bytes = file.readAll();
        OutboxEntry entry;
        const QString uid = name.chopped(kEntrySuffix.size());
        const bool parsed = entryFromJson(bytes, entry) && entry.instanceUid == uid;
        entry.instanceUid = uid;
        entry.entryPath = path;
        entry.imagePath = dir.filePath(uid + kImageSuffix);
        if (!parsed || !QFileInfo::exists(entry.imagePath)) {
            entry.damage = !parsed ? QStringLiteral("its entry cannot be read") : QStringLiteral("its image is missing");
            if (moveDamaged && moveAside(entry, entry.damage))
                continue;
        }
        list.push_back(entry);
    }
    std::stable_sort(list.begin(), list.end(), [](const OutboxEntry& a, const OutboxEntry& b) { return a.kept < b.kept; });
    return list;
}

std::vector<OutboxEntry> Outbox::entries(QStringList* unreadable) const
{
    const std::lock_guard lock(m_lock);
    return read(true, unreadable);
}

int Outbox::count() const
{
    const std::lock_guard lock(m_lock);
    return static_cast<int>(QDir(m_folder).entryList({QLatin1Char('*') + kEntrySuffix}, QDir::Files).size());
}

std::vector<OutboxEntry> Outbox::damaged() const
{
    const std::lock_guard lock(m_lock);
    std::vector<OutboxEntry> list;
    const QDir dir(QDir(m_folder).filePath(QStringLiteral("damaged")));
    for (const QString& name : dir.entryList({QLatin1Char('*') + kImageSuffix}, QDir::Files, QDir::Name)) {
        OutboxEntry entry;
        entry.instanceUid = name.chopped(kImageSuffix.size());
        entry.imagePath = dir.filePath(name);
        entry.entryPath = dir.filePath(entry.instanceUid + kEntrySuffix);
        reread(entry);
        entry.damage = QStringLiteral("damaged");
        list.push_back(entry);
    }
    return list;
}

int Outbox::damagedCount() const
{
    const std::lock_guard lock(m_lock);
    return static_cast<int>(
        QDir(QDir(m_folder).filePath(QStringLiteral("damaged"))).entryList({QLatin1Char('*') + kImageSuffix}, QDir::Files).size());
}

bool Outbox::holds(const QString& instanceUid) const
{
    const std::lock_guard lock(m_lock);
    return QFileInfo::exists(QDir(m_folder).filePath(instanceUid + kEntrySuffix));
}

bool Outbox::refresh(OutboxEntry& entry) const
{
    const std::lock_guard lock(m_lock);
    return reread(entry);
}

// Moves an entry (image and entry file) to damaged/ or, for "removed", to
// removed/. True when it has moved; a rename that fails is logged as what it is.
bool Outbox::moveAside(const OutboxEntry& entry, const QString& why) const
{
    const bool removed = why == QLatin1String("removed");
    const QDir target(QDir(m_folder).filePath(removed ? QStringLiteral("removed") : QStringLiteral("damaged")));
    makePrivateFolder(target.path());
    // The entry file goes last, so that a crash halfway leaves the image where
    // the next start finds it.
    const bool imageMoved = !QFileInfo::exists(entry.imagePath)
        || renameDurably(entry.imagePath, target.filePath(QFileInfo(entry.imagePath).fileName()));
    const bool entryMoved
        = imageMoved && renameDurably(entry.entryPath, target.filePath(QFileInfo(entry.entryPath).fileName()));
    if (entryMoved)
        removeCopies(entry); // made from the image, made again should it come back
    if (!entryMoved) {
        programlog::event(QStringLiteral("outbox: image %1 could not be moved to %2 (%3); it stays in the outbox")
                              .arg(entry.instanceUid, target.path(), why));
        return false;
    }
    programlog::event(QStringLiteral("outbox: image %1 moved to %2: %3").arg(entry.instanceUid, target.path(), why));
    return true;
}

void Outbox::remove(const OutboxEntry& entry)
{
    const std::lock_guard lock(m_lock);
    if (!QFileInfo::exists(entry.entryPath))
        return; // delivered meanwhile
    if (!moveAside(entry, QStringLiteral("removed")))
        throw Failure(QStringLiteral("The image %1 could not be moved to %2.")
                          .arg(entry.instanceUid, QDir(m_folder).filePath(QStringLiteral("removed"))),
                      Failure::Kind::File);
}

bool Outbox::removedByOperator(const QString& instanceUid) const
{
    const std::lock_guard lock(m_lock);
    return QFileInfo::exists(QDir(m_folder).filePath(QStringLiteral("removed/") + instanceUid + kEntrySuffix));
}

dicom::Image Outbox::loadImage(const OutboxEntry& entry) const
{
    return dicom::Image::loadFile(entry.imagePath);
}

QString Outbox::copyPath(const OutboxEntry& entry, Compression compression) const
{
    const QString base = QDir(m_folder).filePath(entry.instanceUid);
    switch (compression) {
    case Compression::JpegLsLossless:
        return base + kCopySuffixes[0];
    case Compression::JpegLossless:
        return base + kCopySuffixes[1];
    case Compression::None:
        break;
    }
    return {};
}

QString Outbox::compressedCopy(const OutboxEntry& entry, Compression compression, const dicom::Image& image)
{
    const QString path = copyPath(entry, compression);
    if (path.isEmpty())
        return {};
    // Encoding takes a moment: the entries' lock stays free meanwhile, and a
    // second worker that wants the same copy waits here and finds it made.
    const std::lock_guard encoding(m_encoding);
    if (QFileInfo::exists(path))
        return path;
    // A film still being written ahead may be the first in the outbox: its
    // folder may not be there yet.
    makePrivateFolder(m_folder);
    QElapsedTimer clock;
    clock.start();
    try {
        dicom::encodeCopy(image, compression, path);
    } catch (const Failure& e) {
        programlog::event(QStringLiteral("compression: the %1 copy of image %2 could not be made (%3); it goes "
                                         "uncompressed")
                              .arg(compressionName(compression), entry.instanceUid, logText(e)));
        return {};
    }
    {
        // A film removed or set aside while its copy was made takes the copy
        // with it (the move found none yet). A film still being written ahead
        // has no entry yet: its copy stays.
        const std::lock_guard lock(m_lock);
        const QDir folder(m_folder);
        const QString name = entry.instanceUid + kEntrySuffix;
        if (QFileInfo::exists(folder.filePath(QStringLiteral("removed/") + name))
            || QFileInfo::exists(folder.filePath(QStringLiteral("damaged/") + name))) {
            QFile::remove(path);
            return {};
        }
    }
    programlog::event(QStringLiteral("compression: %1 copy of image %2 made in %3 ms: %4 of %5 bytes")
                          .arg(compressionName(compression), entry.instanceUid)
                          .arg(clock.elapsed())
                          .arg(QFileInfo(path).size())
                          .arg(QFileInfo(entry.imagePath).size()));
    return path;
}

void Outbox::removeCopies(const OutboxEntry& entry) const
{
    for (const QString& suffix : kCopySuffixes)
        QFile::remove(QDir(m_folder).filePath(entry.instanceUid + suffix));
}

void Outbox::setAsideDamaged(const OutboxEntry& entry, const QString& why)
{
    const std::lock_guard lock(m_lock);
    if (QFileInfo::exists(entry.entryPath)) // not delivered or removed meanwhile
        moveAside(entry, why);
}

void Outbox::tidy(const RemoteNodes& remotes)
{
    const std::lock_guard lock(m_lock);
    const QDir dir(m_folder);
    if (!dir.exists())
        return;
    for (const QString& name : dir.entryList({QLatin1String(kTemporaryPrefix) + QLatin1Char('*')}, QDir::Files | QDir::Hidden)) {
        QFile::remove(dir.filePath(name));
        programlog::event(QStringLiteral("outbox: removed %1, a write cut short").arg(name));
    }
    // Entries of the earlier form: "<kept>-<uid>-n02.dcm", owed to rows 0 and 2.
    static const QRegularExpression earlier(QStringLiteral("^(\\d{17})-([0-9.]{1,64})-(any|n0?1?2?)\\.dcm$"));
    for (const QString& name : dir.entryList({QStringLiteral("*.dcm")}, QDir::Files, QDir::Name)) {
        const auto match = earlier.match(name);
        if (!match.hasMatch() || match.captured(3) == QLatin1String("n"))
            continue;
        OutboxEntry entry;
        entry.instanceUid = match.captured(2);
        entry.kept = QDateTime::fromString(match.captured(1), QStringLiteral("yyyyMMddHHmmsszzz"));
        entry.scanned = entry.kept;
        entry.anyNode = match.captured(3) == QLatin1String("any");
        for (QChar c : match.captured(3).mid(1)) {
            const RemoteNode& remote = remotes[static_cast<std::size_t>(c.digitValue())];
            if (remote.isNode)
                entry.owed.push_back({remote.aeTitle, remote.host, remote.port, {}, {}});
        }
        if (entry.owed.empty())
            entry.anyNode = true;
        place(entry);
        try {
            const dicom::Image image = dicom::Image::loadFile(dir.filePath(name));
            entry.patientName = image.text(0x0010, 0x0010).value_or(QString());
            entry.patientId = image.text(0x0010, 0x0020).value_or(QString());
            entry.studyUid = image.text(0x0020, 0x000D).value_or(QString());
            entry.study = image.text(0x0008, 0x1030).value_or(QString());
            entry.number = image.text(0x0020, 0x0013).value_or(QString()).toInt();
        } catch (const Failure&) {
            // Converted all the same; a pass finds out what is wrong with it.
        }
        if (!renameDurably(dir.filePath(name), entry.imagePath)) {
            programlog::event(QStringLiteral("outbox: %1 could not be renamed to an entry of its own").arg(name));
            continue;
        }
        try {
            write(entry);
            programlog::event(QStringLiteral("outbox: %1 converted to an entry of its own").arg(name));
        } catch (const Failure& e) {
            programlog::event(e.description());
        }
    }
    // A compressed copy without its entry went with its image.
    for (const QString& suffix : kCopySuffixes) {
        for (const QString& name : dir.entryList({QLatin1Char('*') + suffix}, QDir::Files)) {
            const QString uid = name.chopped(suffix.size());
            if (!QFileInfo::exists(dir.filePath(uid + kEntrySuffix))) {
                QFile::remove(dir.filePath(name));
                programlog::event(QStringLiteral("outbox: removed %1, a compressed copy whose image has gone").arg(name));
            }
        }
    }
    // An image without an entry is a write-ahead a crash cut short: its scan
    // file and its journal entry are still there, and the film is imported anew.
    for (const QString& name : dir.entryList({QLatin1Char('*') + kImageSuffix}, QDir::Files)) {
        const QString uid = name.chopped(kImageSuffix.size());
        if (dicom::isValidUid(uid) && !QFileInfo::exists(dir.filePath(uid + kEntrySuffix))) {
            QFile::remove(dir.filePath(name));
            programlog::event(QStringLiteral("outbox: removed %1, kept without its entry when Skiascan ended").arg(name));
        }
    }
}

} // namespace skiascan

// The outbox's part in the review of a film: a held film is released to its
// nodes when the operator accepts it, and corrected (turned or mirrored) in
// its file while it is held. A rejected film is removed as the outbox
// window's Remove does (Outbox::remove()).

#include "delivery/outbox.h"

#include "common/durable_file.h"
#include "common/failure.h"
#include "common/private_files.h"
#include "common/program_log.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <algorithm>

namespace skiascan {

bool Outbox::release(const QString& instanceUid)
{
    const std::lock_guard lock(m_lock);
    OutboxEntry entry;
    entry.instanceUid = instanceUid;
    place(entry);
    if (!reread(entry) || !entry.held)
        return false;
    entry.held = false;
    write(entry);
    programlog::event(QStringLiteral("review: image %1 of %2 accepted by the operator; released to %3")
                          .arg(entry.instanceUid, entry.patientName, entry.owedText()));
    return true;
}

// Why the film of `entry` may not be corrected now; empty when it may. Reads
// the entry anew; expects m_lock held.
QString Outbox::whyNotCorrectable(OutboxEntry& entry) const
{
    if (!reread(entry))
        return QStringLiteral("%1 is no longer in the outbox.").arg(entry.filmText());
    if (!entry.held)
        return QStringLiteral("%1 has been released to the nodes; it can no longer be corrected.").arg(entry.filmText());
    const bool stored = std::any_of(entry.owed.begin(), entry.owed.end(),
                                    [](const OwedNode& node) { return node.awaitingCommitment(); });
    if (!entry.heldBy.empty() || stored)
        return QStringLiteral("%1 has gone to a node; it can no longer be corrected.").arg(entry.filmText());
    return {};
}

// Copies of the image made beside it (compressed for the nodes that take
// that): "<uid>.<something>" but the image and its entry. A name that goes on
// with a digit after "<uid>." is another image's.
void Outbox::removeCopies(const QString& instanceUid) const
{
    const QDir dir(m_folder);
    const QString stem = instanceUid + QLatin1Char('.');
    for (const QString& name : dir.entryList({stem + QLatin1Char('*')}, QDir::Files | QDir::Hidden)) {
        const QString rest = name.mid(stem.size());
        if (rest.isEmpty() || rest.front().isDigit() || rest == QLatin1String("dcm") || rest == QLatin1String("entry"))
            continue;
        if (QFile::remove(dir.filePath(name)))
            programlog::event(QStringLiteral("outbox: %1, a copy of the image before its correction, removed").arg(name));
        else
            programlog::event(QStringLiteral("outbox: %1, a copy of the image before its correction, could not be "
                                             "removed")
                                  .arg(name));
    }
}

void Outbox::correct(const QString& instanceUid, dicom::Correction correction)
{
    OutboxEntry entry;
    entry.instanceUid = instanceUid;
    place(entry);
    {
        const std::lock_guard lock(m_lock);
        if (const QString why = whyNotCorrectable(entry); !why.isEmpty())
            throw Failure(why, Failure::Kind::Argument);
        if (!m_correcting.insert(instanceUid).second)
            throw Failure(QStringLiteral("%1 is being corrected already.").arg(entry.filmText()),
                          Failure::Kind::Argument);
    }
    const QString temporary = QDir(m_folder).filePath(QLatin1String(kTemporaryPrefix) + QFileInfo(entry.imagePath).fileName());
    const auto done = [&] {
        const std::lock_guard lock(m_lock);
        m_correcting.erase(instanceUid);
    };
    try {
        // A held film is the review's alone: no worker reads it, so it is read
        // and written without the lock.
        dicom::Image image = dicom::Image::loadFile(entry.imagePath);
        dicom::correct(image, correction);
        image.saveFile(temporary);
        if (!makePrivateFile(temporary))
            throw Failure(QStringLiteral("Cannot make %1 readable by this user only.").arg(temporary), Failure::Kind::File);
        if (!syncToDisk(temporary))
            throw Failure(QStringLiteral("Cannot flush %1 to the disk.").arg(temporary), Failure::Kind::File);
        const std::lock_guard lock(m_lock);
        // Accepted or removed meanwhile: the film stays as it was.
        if (const QString why = whyNotCorrectable(entry); !why.isEmpty())
            throw Failure(why, Failure::Kind::Argument);
        if (!renameDurably(temporary, entry.imagePath))
            throw Failure(QStringLiteral("Cannot rename %1 over %2.").arg(temporary, entry.imagePath), Failure::Kind::File);
        removeCopies(instanceUid);
    } catch (...) {
        QFile::remove(temporary);
        done();
        throw;
    }
    done();
    programlog::event(QStringLiteral("correction: %1 of image %2 of %3")
                          .arg(dicom::correctionText(correction), instanceUid, entry.patientName));
}

} // namespace skiascan

#include "delivery/outbox.h"

#include "common/durable_file.h"
#include "common/failure.h"
#include "common/private_files.h"
#include "common/program_log.h"
#include "dicom/image_attributes.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>

#include <algorithm>
#include <mutex>

namespace skiascan {

namespace {

const QString kImageSuffix = QStringLiteral(".dcm");
const QString kEntrySuffix = QStringLiteral(".entry");

QString fileError(const QString& path)
{
    QFile file(path);
    file.open(QIODevice::ReadOnly);
    return file.errorString();
}

// Every change of an entry file, by any outbox object of the process (the
// delivery workers', the session's, the outbox window's), holds this lock, and
// reads the file anew under it.
std::mutex& entryLock()
{
    static std::mutex lock;
    return lock;
}

// Reads the entry file at entry.entryPath over entry, keeping its paths.
// False when the file is gone (the image was delivered or removed); entry
// stays as it is when the file cannot be read.
bool rereadEntry(OutboxEntry& entry)
{
    QFile file(entry.entryPath);
    if (!file.exists())
        return false;
    OutboxEntry current;
    if (!file.open(QIODevice::ReadOnly) || !Outbox::fromJson(file.readAll(), current))
        return true;
    current.entryPath = entry.entryPath;
    current.imagePath = entry.imagePath;
    entry = current;
    return true;
}

QJsonObject nodeJson(const NodeId& node)
{
    return {{QStringLiteral("aeTitle"), node.aeTitle},
            {QStringLiteral("host"), node.host},
            {QStringLiteral("port"), node.port}};
}

NodeId nodeFromJson(const QJsonObject& o)
{
    return {o.value(QStringLiteral("aeTitle")).toString(), o.value(QStringLiteral("host")).toString(),
            o.value(QStringLiteral("port")).toInt()};
}

bool isOneOf(const NodeId& node, const std::vector<NodeId>& nodes)
{
    return std::find(nodes.begin(), nodes.end(), node) != nodes.end();
}

} // namespace

std::vector<NodeId> OutboxEntry::owedTo(const Node& node, const std::vector<Node>& nodes) const
{
    std::vector<NodeId> ids;
    for (const OwedNode& owed : this->owed)
        if (const Node* target = nodeFor(nodes, owed.id()); target && target->id() == node.id())
            ids.push_back(owed.id());
    return ids;
}

std::vector<NodeId> OutboxEntry::unsentTo(const Node& node, const std::vector<Node>& nodes) const
{
    std::vector<NodeId> ids;
    for (const OwedNode& owed : this->owed)
        if (const Node* target = nodeFor(nodes, owed.id());
            target && target->id() == node.id() && !owed.awaitingCommitment())
            ids.push_back(owed.id());
    return ids;
}

std::vector<const OwedNode*> OutboxEntry::awaitingAt(const Node& node, const std::vector<Node>& nodes) const
{
    std::vector<const OwedNode*> awaiting;
    for (const OwedNode& owed : this->owed)
        if (const Node* target = nodeFor(nodes, owed.id());
            target && target->id() == node.id() && owed.awaitingCommitment())
            awaiting.push_back(&owed);
    return awaiting;
}

bool OutboxEntry::heldAt(const NodeId& node) const
{
    return std::any_of(heldBy.begin(), heldBy.end(), [&](const HoldingNode& h) { return h.node == node; });
}

Outbox::Outbox(const QString& programFolder)
    : m_folder(QDir(programFolder).filePath(QStringLiteral("Outbox")))
{
}

QByteArray Outbox::toJson(const OutboxEntry& e)
{
    QJsonArray owed;
    for (const OwedNode& node : e.owed) {
        QJsonObject object{{QStringLiteral("aeTitle"), node.aeTitle},
                           {QStringLiteral("host"), node.host},
                           {QStringLiteral("port"), node.port},
                           {QStringLiteral("lastFailure"), node.lastFailure},
                           {QStringLiteral("lastTried"), node.lastTried.toString(Qt::ISODateWithMs)}};
        // Only while the node is to commit: entries without it read as before.
        if (node.commitmentFailures > 0)
            object.insert(QStringLiteral("commitmentFailures"), node.commitmentFailures);
        if (node.awaitingCommitment()) {
            object.insert(QStringLiteral("storedAt"), node.storedAt.toString(Qt::ISODateWithMs));
            object.insert(QStringLiteral("transactionUid"), node.transactionUid);
            object.insert(QStringLiteral("askedAt"), node.askedAt.toString(Qt::ISODateWithMs));
        }
        owed.append(object);
    }
    QJsonArray heldBy;
    for (const HoldingNode& held : e.heldBy) {
        QJsonObject node = nodeJson(held.node);
        node.insert(QStringLiteral("confirmed"), held.confirmed.toString(Qt::ISODateWithMs));
        heldBy.append(node);
    }
    const QJsonObject object{{QStringLiteral("instanceUid"), e.instanceUid},
                             {QStringLiteral("patientName"), e.patientName},
                             {QStringLiteral("patientId"), e.patientId},
                             {QStringLiteral("studyUid"), e.studyUid},
                             {QStringLiteral("study"), e.study},
                             {QStringLiteral("number"), e.number},
                             {QStringLiteral("scanned"), e.scanned.toString(Qt::ISODateWithMs)},
                             {QStringLiteral("kept"), e.kept.toString(Qt::ISODateWithMs)},
                             {QStringLiteral("anyNode"), e.anyNode},
                             {QStringLiteral("owed"), owed},
                             {QStringLiteral("heldBy"), heldBy}};
    return QJsonDocument(object).toJson();
}

bool Outbox::fromJson(const QByteArray& bytes, OutboxEntry& entry)
{
    QJsonParseError error;
    const QJsonDocument document = QJsonDocument::fromJson(bytes, &error);
    if (error.error != QJsonParseError::NoError || !document.isObject())
        return false;
    const QJsonObject o = document.object();
    OutboxEntry e;
    e.instanceUid = o.value(QStringLiteral("instanceUid")).toString();
    e.patientName = o.value(QStringLiteral("patientName")).toString();
    e.patientId = o.value(QStringLiteral("patientId")).toString();
    e.studyUid = o.value(QStringLiteral("studyUid")).toString();
    e.study = o.value(QStringLiteral("study")).toString();
    e.number = o.value(QStringLiteral("number")).toInt();
    e.scanned = QDateTime::fromString(o.value(QStringLiteral("scanned")).toString(), Qt::ISODateWithMs);
    e.kept = QDateTime::fromString(o.value(QStringLiteral("kept")).toString(), Qt::ISODateWithMs);
    e.anyNode = o.value(QStringLiteral("anyNode")).toBool();
    if (!dicom::isValidUid(e.instanceUid) || !o.value(QStringLiteral("owed")).isArray())
        return false;
    for (const QJsonValue& value : o.value(QStringLiteral("owed")).toArray()) {
        const QJsonObject n = value.toObject();
        OwedNode node;
        node.aeTitle = n.value(QStringLiteral("aeTitle")).toString();
        node.host = n.value(QStringLiteral("host")).toString();
        node.port = n.value(QStringLiteral("port")).toInt();
        node.lastFailure = n.value(QStringLiteral("lastFailure")).toString();
        node.lastTried = QDateTime::fromString(n.value(QStringLiteral("lastTried")).toString(), Qt::ISODateWithMs);
        node.storedAt = QDateTime::fromString(n.value(QStringLiteral("storedAt")).toString(), Qt::ISODateWithMs);
        node.transactionUid = n.value(QStringLiteral("transactionUid")).toString();
        node.askedAt = QDateTime::fromString(n.value(QStringLiteral("askedAt")).toString(), Qt::ISODateWithMs);
        node.commitmentFailures = std::max(0, n.value(QStringLiteral("commitmentFailures")).toInt());
        if (node.aeTitle.isEmpty())
            return false;
        e.owed.push_back(node);
    }
    for (const QJsonValue& value : o.value(QStringLiteral("heldBy")).toArray()) {
        const QJsonObject n = value.toObject();
        e.heldBy.push_back({nodeFromJson(n),
                            QDateTime::fromString(n.value(QStringLiteral("confirmed")).toString(), Qt::ISODateWithMs)});
    }
    if (e.owed.empty() && !e.anyNode)
        return false;
    entry = e;
    return true;
}

void Outbox::write(const OutboxEntry& entry)
{
    writeFileDurably(entry.entryPath, toJson(entry));
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
        if (!makePrivateFolder(m_folder))
            throw Failure(QStringLiteral("the folder cannot be created"), Failure::Kind::File);
        image.saveFile(temporary);
        if (!makePrivateFile(temporary))
            throw Failure(QStringLiteral("Cannot make %1 readable by this user only.").arg(temporary), Failure::Kind::File);
        if (!syncToDisk(temporary))
            throw Failure(QStringLiteral("Cannot flush %1 to the disk.").arg(temporary), Failure::Kind::File);
        if (!renameDurably(temporary, entry.imagePath))
            throw Failure(QStringLiteral("Cannot rename %1 into the outbox.").arg(temporary), Failure::Kind::File);
        const std::lock_guard lock(entryLock());
        write(entry);
    } catch (const Failure& e) {
        QFile::remove(temporary);
        QFile::remove(entry.imagePath);
        throw Failure(QStringLiteral("The image could not be kept in the outbox (%1): %2").arg(m_folder, e.description()),
                      Failure::Kind::File);
    }
    QStringList nodes;
    for (const OwedNode& node : entry.owed)
        nodes << node.aeTitle;
    programlog::event(QStringLiteral("outbox: image %1 of %2 kept for %3")
                          .arg(entry.instanceUid, entry.patientName,
                               entry.anyNode ? QStringLiteral("the first node configured") : nodes.join(QStringLiteral(", "))));
}

std::vector<OutboxEntry> Outbox::read(const QString& folder, QStringList* unreadable, bool moveDamaged) const
{
    std::vector<OutboxEntry> list;
    const QDir dir(folder);
    for (const QString& name : dir.entryList({QLatin1Char('*') + kEntrySuffix}, QDir::Files, QDir::Name)) {
        const QString path = dir.filePath(name);
        QFile file(path);
        if (!file.open(QIODevice::ReadOnly)) {
            // The disk or its rights, not the entry: it waits for the next round.
            if (unreadable)
                unreadable->append(QStringLiteral("%1: %2").arg(path, file.errorString()));
            continue;
        }
        const QByteArray bytes = file.readAll();
        OutboxEntry entry;
        const QString uid = name.chopped(kEntrySuffix.size());
        const bool parsed = fromJson(bytes, entry) && entry.instanceUid == uid;
        entry.instanceUid = uid;
        entry.entryPath = path;
        entry.imagePath = dir.filePath(uid + kImageSuffix);
        if (!parsed || !QFileInfo::exists(entry.imagePath)) {
            entry.damage = !parsed ? QStringLiteral("its entry cannot be read") : QStringLiteral("its image is missing");
            if (moveDamaged) {
                moveAside(entry, entry.damage);
                continue;
            }
        }
        list.push_back(entry);
    }
    std::stable_sort(list.begin(), list.end(), [](const OutboxEntry& a, const OutboxEntry& b) { return a.kept < b.kept; });
    return list;
}

std::vector<OutboxEntry> Outbox::entries(QStringList* unreadable) const
{
    return read(m_folder, unreadable, true);
}

int Outbox::count() const
{
    return static_cast<int>(QDir(m_folder).entryList({QLatin1Char('*') + kEntrySuffix}, QDir::Files).size());
}

std::vector<OutboxEntry> Outbox::damaged() const
{
    std::vector<OutboxEntry> list;
    const QDir dir(QDir(m_folder).filePath(QStringLiteral("damaged")));
    for (const QString& name : dir.entryList({QLatin1Char('*') + kImageSuffix}, QDir::Files, QDir::Name)) {
        OutboxEntry entry;
        entry.instanceUid = name.chopped(kImageSuffix.size());
        entry.imagePath = dir.filePath(name);
        entry.entryPath = dir.filePath(entry.instanceUid + kEntrySuffix);
        rereadEntry(entry);
        entry.damage = QStringLiteral("damaged");
        list.push_back(entry);
    }
    return list;
}

int Outbox::damagedCount() const
{
    return static_cast<int>(
        QDir(QDir(m_folder).filePath(QStringLiteral("damaged"))).entryList({QLatin1Char('*') + kImageSuffix}, QDir::Files).size());
}

bool Outbox::holds(const QString& instanceUid) const
{
    return QFileInfo::exists(QDir(m_folder).filePath(instanceUid + kEntrySuffix));
}

bool Outbox::refresh(OutboxEntry& entry) const
{
    const std::lock_guard lock(entryLock());
    return rereadEntry(entry);
}

bool Outbox::strikeOff(OutboxEntry& entry, const std::vector<NodeId>& owed, const NodeId& by)
{
    return strikeOff(entry, std::vector<Confirmation>{{owed, by}});
}

bool Outbox::strikeOff(OutboxEntry& entry, const std::vector<Confirmation>& confirmations)
{
    const std::lock_guard lock(entryLock());
    // Another node's worker may have changed the entry meanwhile: go by the file.
    if (!rereadEntry(entry))
        return true;
    for (const Confirmation& confirmation : confirmations) {
        if (confirmation.commitment) {
            // Stored, not yet committed to: owed until the node's report says so.
            for (OwedNode& node : entry.owed) {
                if (isOneOf(node.id(), confirmation.owed) && !node.awaitingCommitment()) {
                    node.storedAt = QDateTime::currentDateTime();
                    node.transactionUid.clear();
                    node.askedAt = {};
                }
            }
            programlog::event(QStringLiteral("outbox: %1 stored image %2; it awaits the node's commitment")
                                  .arg(confirmation.by.name(), entry.instanceUid));
            continue;
        }
        entry.owed.erase(std::remove_if(entry.owed.begin(), entry.owed.end(),
                                        [&](const OwedNode& node) { return isOneOf(node.id(), confirmation.owed); }),
                         entry.owed.end());
        if (!entry.heldAt(confirmation.by))
            entry.heldBy.push_back({confirmation.by, QDateTime::currentDateTime()});
        programlog::event(QStringLiteral("outbox: %1 confirmed image %2").arg(confirmation.by.name(), entry.instanceUid));
    }
    entry.anyNode = false;
    if (!entry.owed.empty()) {
        write(entry);
        return false;
    }
    // The entry first: an image left without it is tidied away at the next start.
    if (!QFile::remove(entry.entryPath))
        throw Failure(QStringLiteral("Cannot remove the delivered image %1 from the outbox: %2")
                          .arg(entry.entryPath, fileError(entry.entryPath)),
                      Failure::Kind::File);
    QFile::remove(entry.imagePath);
    programlog::event(QStringLiteral("outbox: image %1 delivered to every node, removed from the outbox").arg(entry.instanceUid));
    return true;
}

bool Outbox::noteCommitmentRequest(OutboxEntry& entry, const std::vector<NodeId>& owed, const QString& transactionUid,
                                   const QDateTime& askedAt)
{
    const std::lock_guard lock(entryLock());
    if (!rereadEntry(entry))
        return false;
    bool any = false;
    for (OwedNode& node : entry.owed) {
        if (isOneOf(node.id(), owed) && node.awaitingCommitment()) {
            node.transactionUid = transactionUid;
            node.askedAt = askedAt;
            any = true;
        }
    }
    if (any)
        write(entry);
    return any;
}

Outbox::ReportOutcome Outbox::applyReport(const QString& reporter, const QString& transactionUid,
                                          const std::vector<QString>& committed, const std::vector<QString>& failed)
{
    ReportOutcome outcome;
    // Each image named is looked up by its own entry: the nodes of the
    // reporter it asked under the transaction, none when it was delivered,
    // removed, or asked about again since. Under entryLock().
    const auto askedUnder = [&](const QString& uid, OutboxEntry& entry) {
        std::vector<NodeId> nodes;
        entry.instanceUid = uid;
        place(entry);
        if (!dicom::isValidUid(uid) || !rereadEntry(entry))
            return nodes;
        for (const OwedNode& node : entry.owed)
            if (node.awaitingCommitment() && node.transactionUid == transactionUid && node.aeTitle == reporter)
                nodes.push_back(node.id());
        return nodes;
    };
    for (const QString& uid : committed) {
        OutboxEntry entry;
        std::vector<NodeId> nodes;
        {
            const std::lock_guard lock(entryLock());
            nodes = askedUnder(uid, entry);
        }
        if (nodes.empty())
            continue;
        std::vector<Confirmation> confirmations;
        for (const NodeId& node : nodes)
            confirmations.push_back({{node}, node});
        strikeOff(entry, confirmations);
        ++outcome.committed;
    }
    for (const QString& uid : failed) {
        OutboxEntry entry;
        const std::lock_guard lock(entryLock());
        const std::vector<NodeId> nodes = askedUnder(uid, entry);
        if (nodes.empty())
            continue;
        for (OwedNode& node : entry.owed) {
            if (!isOneOf(node.id(), nodes))
                continue;
            node.storedAt = {};
            node.transactionUid.clear();
            node.askedAt = {};
            node.lastFailure = QStringLiteral("the node could not commit to the image; it is sent again");
            node.lastTried = QDateTime::currentDateTime();
            ++node.commitmentFailures;
        }
        write(entry);
        ++outcome.failed;
        programlog::event(QStringLiteral("outbox: image %1 is sent again: the node could not commit to it").arg(uid));
    }
    return outcome;
}

void Outbox::noteFailure(OutboxEntry& entry, const std::vector<NodeId>& owed, const QString& failure)
{
    const std::lock_guard lock(entryLock());
    if (!rereadEntry(entry))
        return;
    for (OwedNode& node : entry.owed) {
        if (isOneOf(node.id(), owed)) {
            node.lastFailure = failure;
            node.lastTried = QDateTime::currentDateTime();
        }
    }
    try {
        write(entry);
    } catch (const Failure& e) {
        programlog::event(e.description()); // the failure is in the log at least
    }
}

bool Outbox::redirect(OutboxEntry& entry, const NodeId& from, const NodeId& to)
{
    const std::lock_guard lock(entryLock());
    if (!rereadEntry(entry))
        return false;
    const auto owed = std::find_if(entry.owed.begin(), entry.owed.end(), [&](const OwedNode& n) { return n.id() == from; });
    if (owed == entry.owed.end())
        return false;
    const bool alreadyOwed
        = std::any_of(entry.owed.begin(), entry.owed.end(), [&](const OwedNode& n) { return n.id() == to; });
    if (alreadyOwed)
        entry.owed.erase(owed);
    else
        *owed = {to.aeTitle, to.host, to.port, {}, {}};
    write(entry);
    programlog::event(QStringLiteral("outbox: image %1 of %2 redirected by the operator: to %3 instead of %4")
                          .arg(entry.instanceUid, entry.patientName, to.name(), from.name()));
    return true;
}

void Outbox::assignToNodes(const std::vector<Node>& nodes)
{
    if (nodes.empty())
        return;
    for (OutboxEntry& entry : entries()) {
        if (!entry.anyNode)
            continue;
        const std::lock_guard lock(entryLock());
        if (!rereadEntry(entry) || !entry.anyNode)
            continue;
        entry.anyNode = false;
        for (const Node& node : nodes)
            entry.owed.push_back({node.aeTitle, node.host, node.port, {}, {}});
        try {
            write(entry);
            programlog::event(QStringLiteral("outbox: image %1, kept while no node was set, now owed to every node")
                                  .arg(entry.instanceUid));
        } catch (const Failure& e) {
            programlog::event(e.description()); // tried again at the next pass
        }
    }
}

void Outbox::moveAside(const OutboxEntry& entry, const QString& why) const
{
    const bool removed = why == QLatin1String("removed");
    const QDir target(QDir(m_folder).filePath(removed ? QStringLiteral("removed") : QStringLiteral("damaged")));
    makePrivateFolder(target.path());
    // The entry file goes last, so that a crash halfway leaves the image where
    // the next start finds it.
    renameDurably(entry.imagePath, target.filePath(QFileInfo(entry.imagePath).fileName()));
    renameDurably(entry.entryPath, target.filePath(QFileInfo(entry.entryPath).fileName()));
    programlog::event(QStringLiteral("outbox: image %1 moved to %2: %3").arg(entry.instanceUid, target.path(), why));
}

void Outbox::remove(const OutboxEntry& entry)
{
    const std::lock_guard lock(entryLock());
    moveAside(entry, QStringLiteral("removed"));
}

dicom::Image Outbox::loadImage(const OutboxEntry& entry) const
{
    return dicom::Image::loadFile(entry.imagePath);
}

void Outbox::tidy(const RemoteNodes& remotes)
{
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
        entry.imagePath = dir.filePath(entry.instanceUid + kImageSuffix);
        entry.entryPath = dir.filePath(entry.instanceUid + kEntrySuffix);
        try {
            const dicom::Image image = dicom::Image::loadFile(dir.filePath(name));
            entry.patientName = image.text(0x0010, 0x0010).value_or(QString());
            entry.patientId = image.text(0x0010, 0x0020).value_or(QString());
            entry.studyUid = image.text(0x0020, 0x000D).value_or(QString());
            entry.study = image.text(0x0008, 0x1030).value_or(QString());
            entry.number = image.text(0x0020, 0x0013).value_or(QString()).toInt();
        } catch (const Failure&) {
            // Converted all the same; a round finds out what is wrong with it.
        }
        if (renameDurably(dir.filePath(name), entry.imagePath)) {
            const std::lock_guard lock(entryLock());
            write(entry);
            programlog::event(QStringLiteral("outbox: %1 converted to an entry of its own").arg(name));
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

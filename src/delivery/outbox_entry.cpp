#include "delivery/outbox_entry.h"

#include "common/text.h"
#include "dicom/image_attributes.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QStringList>

#include <algorithm>

namespace skiascan {

namespace {

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

QString OutboxEntry::filmText() const
{
    if (patientName.isEmpty() && patientId.isEmpty())
        return QStringLiteral("The film");
    return QStringLiteral("Film %1 of %2").arg(film > 0 ? film : std::max(1, number)).arg(personName(patientName));
}

QString OutboxEntry::owedText() const
{
    if (anyNode)
        return QStringLiteral("the first node configured");
    QStringList titles;
    for (const OwedNode& node : owed)
        titles << node.aeTitle;
    return titles.join(QStringLiteral(", "));
}

QByteArray entryToJson(const OutboxEntry& e)
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
    QJsonObject object{{QStringLiteral("instanceUid"), e.instanceUid},
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
    // Only when there is something to say: entries without them read as before.
    if (e.held)
        object.insert(QStringLiteral("held"), true);
    if (e.looksBlank)
        object.insert(QStringLiteral("looksBlank"), true);
    if (e.film > 0) {
        object.insert(QStringLiteral("film"), e.film);
        object.insert(QStringLiteral("films"), e.films);
    }
    return QJsonDocument(object).toJson();
}

bool entryFromJson(const QByteArray& bytes, OutboxEntry& entry)
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
    e.held = o.value(QStringLiteral("held")).toBool();
    e.looksBlank = o.value(QStringLiteral("looksBlank")).toBool();
    e.film = std::max(0, o.value(QStringLiteral("film")).toInt());
    e.films = std::max(e.film, o.value(QStringLiteral("films")).toInt());
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

} // namespace skiascan

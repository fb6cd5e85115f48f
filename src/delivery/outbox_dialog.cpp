#include "delivery/outbox_dialog.h"

#include "common/failure.h"
#include "common/text.h"

#include <QDir>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QInputDialog>
#include <QMessageBox>
#include <QPushButton>
#include <QTreeWidget>
#include <QVBoxLayout>

namespace skiascan {

namespace {

enum Column { kPatient, kId, kImage, kScanned, kWaitsFor, kLastFailure, kWhen, kColumns };

QString when(const QDateTime& time)
{
    return time.isValid() ? time.toString(QStringLiteral("yyyy-MM-dd HH:mm:ss")) : QString();
}

} // namespace

OutboxDialog::OutboxDialog(Outbox& outbox, std::vector<Node> nodes,
                           std::function<void(const QSet<QString>&)> sendNow, QWidget* parent)
    : QDialog(parent)
    , m_outbox(outbox)
    , m_nodes(std::move(nodes))
    , m_sendNow(std::move(sendNow))
{
    setObjectName(QStringLiteral("fOutbox"));
    setWindowTitle(QStringLiteral("Outbox"));
    lvOutbox = new QTreeWidget(this);
    lvOutbox->setObjectName(QStringLiteral("lvOutbox"));
    lvOutbox->setRootIsDecorated(false);
    lvOutbox->setAllColumnsShowFocus(true);
    lvOutbox->setSelectionMode(QAbstractItemView::SingleSelection);
    lvOutbox->setHeaderLabels({QStringLiteral("Patient"), QStringLiteral("ID"), QStringLiteral("Image"),
                               QStringLiteral("Scanned"), QStringLiteral("Waits for"), QStringLiteral("Last failure"),
                               QStringLiteral("When")});
    lvOutbox->setMinimumSize(760, 220);

    cmdSendNow = new QPushButton(QStringLiteral("Send now"), this);
    cmdSendNow->setObjectName(QStringLiteral("cmdSendNow"));
    cmdSendTo = new QPushButton(QStringLiteral("Send to..."), this);
    cmdSendTo->setObjectName(QStringLiteral("cmdSendTo"));
    cmdRemove = new QPushButton(QStringLiteral("Remove"), this);
    cmdRemove->setObjectName(QStringLiteral("cmdRemove"));
    cmdClose = new QPushButton(QStringLiteral("Close"), this);
    cmdClose->setObjectName(QStringLiteral("cmdClose"));
    cmdClose->setDefault(true);
    auto* buttons = new QHBoxLayout;
    buttons->addWidget(cmdSendNow);
    buttons->addWidget(cmdSendTo);
    buttons->addWidget(cmdRemove);
    buttons->addStretch(1);
    buttons->addWidget(cmdClose);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(lvOutbox);
    layout->addLayout(buttons);

    connect(lvOutbox, &QTreeWidget::itemSelectionChanged, this, &OutboxDialog::enableActions);
    connect(cmdSendNow, &QPushButton::clicked, this, &OutboxDialog::sendNow);
    connect(cmdSendTo, &QPushButton::clicked, this, &OutboxDialog::sendTo);
    connect(cmdRemove, &QPushButton::clicked, this, &OutboxDialog::removeEntry);
    connect(cmdClose, &QPushButton::clicked, this, &QDialog::accept);
    fill();
}

void OutboxDialog::fill()
{
    lvOutbox->clear();
    m_entries = m_outbox.entries();
    for (OutboxEntry& entry : m_outbox.damaged())
        m_entries.push_back(std::move(entry));
    for (const OutboxEntry& entry : m_entries) {
        QStringList waitsFor;
        QStringList failures;
        QDateTime lastTried;
        for (const OwedNode& owed : entry.owed) {
            const Node* node = nodeWithTitle(m_nodes, owed.aeTitle);
            waitsFor << (node ? owed.aeTitle : QStringLiteral("%1 (no longer configured)").arg(owed.aeTitle));
            if (!owed.lastFailure.isEmpty())
                failures << owed.lastFailure;
            if (owed.lastTried > lastTried)
                lastTried = owed.lastTried;
        }
        if (entry.anyNode)
            waitsFor << QStringLiteral("the first node configured");
        auto* item = new QTreeWidgetItem(lvOutbox);
        item->setText(kPatient, entry.patientName);
        item->setText(kId, entry.patientId);
        item->setText(kImage, entry.number > 0 ? QString::number(entry.number) : QString());
        item->setText(kScanned, when(entry.scanned));
        item->setText(kWaitsFor, entry.damage.isEmpty() ? waitsFor.join(QStringLiteral(", ")) : QStringLiteral("damaged"));
        item->setText(kLastFailure, failures.join(QStringLiteral("; ")));
        item->setText(kWhen, when(lastTried));
    }
    for (int column = 0; column < kColumns; ++column)
        lvOutbox->resizeColumnToContents(column);
    if (lvOutbox->topLevelItemCount() > 0)
        lvOutbox->setCurrentItem(lvOutbox->topLevelItem(0));
    enableActions();
}

const OutboxEntry* OutboxDialog::selected() const
{
    const int row = lvOutbox->indexOfTopLevelItem(lvOutbox->currentItem());
    return row >= 0 && row < static_cast<int>(m_entries.size()) ? &m_entries[static_cast<std::size_t>(row)] : nullptr;
}

void OutboxDialog::enableActions()
{
    const OutboxEntry* entry = selected();
    const bool sendable = entry && entry->damage.isEmpty();
    cmdSendNow->setEnabled(!m_sending && sendable && !m_nodes.empty());
    cmdSendTo->setEnabled(!m_sending && sendable && !m_nodes.empty());
    cmdRemove->setEnabled(!m_sending && entry != nullptr);
}

void OutboxDialog::setSending(bool sending)
{
    m_sending = sending;
    enableActions();
}

void OutboxDialog::sendNow()
{
    if (const OutboxEntry* entry = selected())
        m_sendNow({entry->instanceUid});
    fill();
}

// The image goes to the chosen node instead of the nodes it waits for that are
// no longer configured (or, when none is gone, instead of all it waits for).
void OutboxDialog::sendTo()
{
    const OutboxEntry* chosen = selected();
    if (!chosen)
        return;
    QStringList names;
    for (const Node& node : m_nodes)
        names << node.name();
    bool ok = false;
    const QString name = QInputDialog::getItem(this, QStringLiteral("Send to"),
                                               QStringLiteral("Send the image of %1 to:").arg(chosen->patientName),
                                               names, 0, false, &ok);
    if (!ok)
        return;
    const Node& target = m_nodes[static_cast<std::size_t>(names.indexOf(name))];
    OutboxEntry entry = *chosen;
    std::vector<OwedNode> kept;
    for (const OwedNode& owed : entry.owed)
        if (nodeWithTitle(m_nodes, owed.aeTitle) && owed.aeTitle != target.aeTitle)
            kept.push_back(owed);
    if (kept.size() == entry.owed.size())
        kept.clear(); // nothing was gone: the operator sends it to this node instead of all
    kept.push_back({target.aeTitle, target.host, target.port, {}, {}});
    entry.owed = kept;
    entry.anyNode = false;
    try {
        m_outbox.save(entry);
    } catch (const Failure& e) {
        QMessageBox::critical(this, QStringLiteral("Skiascan"), failureText(e.description(), QStringLiteral("Nothing was changed.")));
        return;
    }
    m_sendNow({entry.instanceUid});
    fill();
}

void OutboxDialog::removeEntry()
{
    const OutboxEntry* entry = selected();
    if (!entry)
        return;
    QMessageBox confirm(QMessageBox::Question, QStringLiteral("Skiascan"),
                        QStringLiteral("Remove image %1 of %2 (%3) from the outbox? It will not be sent. It is kept in %4.")
                            .arg(entry->number)
                            .arg(entry->patientName, entry->patientId, QDir::toNativeSeparators(m_outbox.folder() + QStringLiteral("/removed/"))),
                        QMessageBox::Yes | QMessageBox::No, this);
    confirm.setDefaultButton(QMessageBox::No);
    if (confirm.exec() != QMessageBox::Yes)
        return;
    m_outbox.remove(*entry);
    fill();
}

} // namespace skiascan

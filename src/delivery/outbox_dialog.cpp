#include "delivery/outbox_dialog.h"

#include "common/failure.h"
#include "common/text.h"

#include <QDir>
#include <QHBoxLayout>
#include <QInputDialog>
#include <QLabel>
#include <QMessageBox>
#include <QPushButton>
#include <QTimer>
#include <QTreeWidget>
#include <QVBoxLayout>

namespace skiascan {

namespace {

enum Column { kPatient, kId, kStudy, kImage, kScanned, kWaitsFor, kHeldBy, kLastFailure, kWhen, kColumns };
enum NodeColumn { kNode, kState, kWaiting, kNodeFailure, kConnection, kSentAs, kNodeColumns };

QString when(const QDateTime& time)
{
    return time.isValid() ? time.toString(QStringLiteral("yyyy-MM-dd HH:mm:ss")) : QString();
}

QTreeWidget* listView(const QString& name, const QStringList& headers, QWidget* parent)
{
    auto* list = new QTreeWidget(parent);
    list->setObjectName(name);
    list->setRootIsDecorated(false);
    list->setAllColumnsShowFocus(true);
    list->setHeaderLabels(headers);
    return list;
}

QPushButton* button(const QString& name, const QString& text, QWidget* parent)
{
    auto* b = new QPushButton(text, parent);
    b->setObjectName(name);
    return b;
}

} // namespace

QString OutboxDialog::Redirect::text() const
{
    return QStringLiteral("%1 instead of %2").arg(to.name(), from.name());
}

OutboxDialog::OutboxDialog(Outbox& outbox, DeliveryService& delivery, QWidget* parent)
    : QDialog(parent)
    , m_outbox(outbox)
    , m_delivery(delivery)
{
    setObjectName(QStringLiteral("fOutbox"));
    setWindowTitle(QStringLiteral("Outbox"));
    lvNodes = listView(QStringLiteral("lvNodes"),
                       {QStringLiteral("Node"), QStringLiteral("State"), QStringLiteral("Waiting"),
                        QStringLiteral("Last failure"), QStringLiteral("Connection"), QStringLiteral("Sent as")},
                       this);
    lvNodes->setMinimumSize(760, 80);
    lvNodes->setMaximumHeight(100);
    cmdCancelSend = button(QStringLiteral("cmdCancelSend"), QStringLiteral("Cancel sending"), this);
    lvOutbox = listView(QStringLiteral("lvOutbox"),
                        {QStringLiteral("Patient"), QStringLiteral("ID"), QStringLiteral("Study"), QStringLiteral("Image"),
                         QStringLiteral("Scanned"), QStringLiteral("Waits for"), QStringLiteral("Held by"),
                         QStringLiteral("Last failure"), QStringLiteral("When")},
                        this);
    lvOutbox->setSelectionMode(QAbstractItemView::ExtendedSelection);
    lvOutbox->setMinimumSize(760, 220);

    cmdSendNow = button(QStringLiteral("cmdSendNow"), QStringLiteral("Send now"), this);
    cmdSendTo = button(QStringLiteral("cmdSendTo"), QStringLiteral("Send to..."), this);
    cmdRemove = button(QStringLiteral("cmdRemove"), QStringLiteral("Remove"), this);
    cmdView = button(QStringLiteral("cmdView"), QStringLiteral("View"), this);
    cmdView->setToolTip(QStringLiteral("Show the image in the film view (or double-click it)"));
    cmdClose = button(QStringLiteral("cmdClose"), QStringLiteral("Close"), this);
    cmdClose->setDefault(true);
    auto* nodeButtons = new QHBoxLayout;
    nodeButtons->addStretch(1);
    nodeButtons->addWidget(cmdCancelSend);
    auto* buttons = new QHBoxLayout;
    buttons->addWidget(cmdSendNow);
    buttons->addWidget(cmdSendTo);
    buttons->addWidget(cmdRemove);
    buttons->addWidget(cmdView);
    buttons->addStretch(1);
    buttons->addWidget(cmdClose);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(new QLabel(QStringLiteral("Nodes:"), this));
    layout->addWidget(lvNodes);
    layout->addLayout(nodeButtons);
    layout->addWidget(new QLabel(QStringLiteral("Images:"), this));
    layout->addWidget(lvOutbox);
    layout->addLayout(buttons);
    addStepList(layout);

    connect(lvOutbox, &QTreeWidget::itemSelectionChanged, this, &OutboxDialog::enableActions);
    connect(lvNodes, &QTreeWidget::itemSelectionChanged, this, &OutboxDialog::enableActions);
    connect(cmdCancelSend, &QPushButton::clicked, this, &OutboxDialog::cancelSend);
    connect(cmdSendNow, &QPushButton::clicked, this, &OutboxDialog::sendNow);
    connect(cmdSendTo, &QPushButton::clicked, this, &OutboxDialog::sendTo);
    connect(cmdRemove, &QPushButton::clicked, this, &OutboxDialog::removeEntries);
    connect(cmdClose, &QPushButton::clicked, this, &QDialog::accept);
    connect(cmdView, &QPushButton::clicked, this, &OutboxDialog::viewSelected);
    connect(lvOutbox, &QTreeWidget::itemDoubleClicked, this, &OutboxDialog::viewSelected);
    connect(&m_delivery, &DeliveryService::changed, this, &OutboxDialog::showNodes);
    connect(&m_delivery, &DeliveryService::outboxChanged, this, &OutboxDialog::fill);
    // The countdowns ("next try in 30 s") are the clock's, not delivery's: the
    // list is drawn anew every second while a node waits for its next try.
    m_countdown = new QTimer(this);
    connect(m_countdown, &QTimer::timeout, this, &OutboxDialog::showNodes);
    showNodes();
    fill();
    if (lvOutbox->topLevelItemCount() > 0)
        lvOutbox->setCurrentItem(lvOutbox->topLevelItem(0));
    // The node that needs the operator first: one that sends, or one that fails.
    const std::vector<NodeStatus> nodes = m_delivery.status();
    for (std::size_t i = 0; i < nodes.size(); ++i) {
        if (nodes[i].activity == NodeStatus::Activity::Connecting || nodes[i].activity == NodeStatus::Activity::Sending
            || nodes[i].failing) {
            lvNodes->setCurrentItem(lvNodes->topLevelItem(static_cast<int>(i)));
            break;
        }
    }
}

// A node by its AE title, or by title and address where two configured nodes
// share the title.
QString OutboxDialog::nodeLabel(const Node& node) const
{
    const std::vector<Node>& nodes = m_delivery.nodes();
    const auto sameTitle = std::count_if(nodes.begin(), nodes.end(), [&](const Node& n) { return n.aeTitle == node.aeTitle; });
    return sameTitle > 1 ? node.name() : node.aeTitle;
}

std::vector<NodeStatus> OutboxDialog::busyNodes() const
{
    std::vector<NodeStatus> busy;
    for (const NodeStatus& node : m_delivery.status())
        if (node.busy())
            busy.push_back(node);
    return busy;
}

void OutboxDialog::showNodes()
{
    std::vector<NodeStatus> nodes = m_delivery.status();
    if (const std::optional<NodeStatus> mpps = m_delivery.stepStatus())
        nodes.push_back(*mpps); // the MPPS node, last
    const int current = lvNodes->indexOfTopLevelItem(lvNodes->currentItem());
    while (lvNodes->topLevelItemCount() > static_cast<int>(nodes.size()))
        delete lvNodes->topLevelItem(lvNodes->topLevelItemCount() - 1);
    for (std::size_t i = 0; i < nodes.size(); ++i) {
        const NodeStatus& node = nodes[i];
        QTreeWidgetItem* item = lvNodes->topLevelItem(static_cast<int>(i));
        if (!item)
            item = new QTreeWidgetItem(lvNodes);
        item->setText(kNode, node.node.row < 0 ? QStringLiteral("%1, MPPS").arg(node.node.name()) : node.node.name());
        QString state = node.text();
        if (node.activity == NodeStatus::Activity::Sending && !node.image.isEmpty())
            state += QStringLiteral(": ") + node.image;
        if (node.awaiting > 0)
            state += QStringLiteral("; %1 (%2)").arg(node.commitmentText()).arg(node.awaiting);
        item->setText(kState, state);
        item->setText(kWaiting, QString::number(node.owed));
        item->setText(kNodeFailure, node.lastFailure.isEmpty()
                                        ? QString()
                                        : QStringLiteral("%1 %2").arg(when(node.lastFailureAt), node.lastFailure));
        item->setText(kConnection, node.node.options.tls.enabled ? QStringLiteral("TLS") : QStringLiteral("clear text"));
        // How the last image went, else what is offered.
        item->setText(kSentAs, !node.sentAs.isEmpty() ? node.sentAs
                               : node.node.options.compression == Compression::None
                               ? QString()
                               : QStringLiteral("%1 offered").arg(compressionName(node.node.options.compression)));
        item->setForeground(kState, node.failing ? QBrush(QColor(0xc0, 0, 0)) : QBrush());
    }
    if (current < 0 && lvNodes->topLevelItemCount() > 0)
        lvNodes->setCurrentItem(lvNodes->topLevelItem(0));
    for (int column = 0; column < kNodeColumns; ++column)
        lvNodes->resizeColumnToContents(column);
    const bool counting = std::any_of(nodes.begin(), nodes.end(), [](const NodeStatus& node) {
        return node.activity == NodeStatus::Activity::Waiting;
    });
    if (counting && !m_countdown->isActive())
        m_countdown->start(1000);
    else if (!counting)
        m_countdown->stop();
    // A node that failed has noted why on the image it tried: the list shows it.
    QStringList failures;
    for (const NodeStatus& node : nodes)
        failures << node.lastFailure;
    if (failures != m_failuresShown) {
        m_failuresShown = failures;
        fill();
    }
    enableActions();
}

void OutboxDialog::fill()
{
    QSet<QString> chosen;
    for (const OutboxEntry* entry : selected())
        chosen.insert(entry->instanceUid);
    const std::vector<Node>& nodes = m_delivery.nodes();
    lvOutbox->clear();
    m_entries = m_outbox.entries();
    for (OutboxEntry& entry : m_outbox.damaged())
        m_entries.push_back(std::move(entry));
    for (const OutboxEntry& entry : m_entries) {
        QStringList waitsFor;
        QStringList failures;
        QDateTime lastTried;
        for (const OwedNode& owed : entry.owed) {
            const Node* node = nodeFor(nodes, owed.id());
            waitsFor << (!node                          ? QStringLiteral("%1 (no longer configured)").arg(owed.id().name())
                         : node->id() == owed.id() ? nodeLabel(*node)
                                                   : QStringLiteral("%1 (moved to %2)").arg(owed.aeTitle, node->name()));
            if (owed.awaitingCommitment())
                waitsFor.back() += QStringLiteral(" (stored, awaiting commitment)");
            if (!owed.lastFailure.isEmpty())
                failures << owed.lastFailure;
            if (owed.lastTried > lastTried)
                lastTried = owed.lastTried;
        }
        if (entry.anyNode)
            waitsFor << QStringLiteral("the first node configured");
        if (entry.held && !waitsFor.isEmpty())
            waitsFor.front().prepend(QStringLiteral("held for review: "));
        QStringList heldBy;
        for (const HoldingNode& held : entry.heldBy) {
            const Node* node = nodeFor(nodes, held.node);
            heldBy << (node && node->id() == held.node ? nodeLabel(*node) : held.node.name());
        }
        auto* item = new QTreeWidgetItem(lvOutbox);
        item->setText(kPatient, personName(entry.patientName));
        item->setText(kId, entry.patientId);
        item->setText(kStudy, entry.study);
        item->setToolTip(kStudy, entry.study);
        item->setText(kImage, entry.number > 0 ? QString::number(entry.number) : QString());
        item->setText(kScanned, when(entry.scanned));
        item->setText(kWaitsFor, entry.damage.isEmpty() ? waitsFor.join(QStringLiteral(", ")) : QStringLiteral("damaged"));
        item->setText(kHeldBy, heldBy.join(QStringLiteral(", ")));
        item->setText(kLastFailure, failures.join(QStringLiteral("; ")));
        item->setText(kWhen, when(lastTried));
        item->setSelected(chosen.contains(entry.instanceUid));
    }
    for (int column = 0; column < kColumns; ++column)
        lvOutbox->resizeColumnToContents(column);
    fillSteps();
    enableActions();
}

std::vector<const OutboxEntry*> OutboxDialog::selected() const
{
    std::vector<const OutboxEntry*> entries;
    for (int row = 0; row < lvOutbox->topLevelItemCount(); ++row)
        if (lvOutbox->topLevelItem(row)->isSelected() && row < static_cast<int>(m_entries.size()))
            entries.push_back(&m_entries[static_cast<std::size_t>(row)]);
    return entries;
}

void OutboxDialog::enableActions()
{
    const std::vector<const OutboxEntry*> entries = selected();
    const bool sendable = !entries.empty() && std::all_of(entries.begin(), entries.end(), [](const OutboxEntry* e) {
        return e->damage.isEmpty();
    });
    // Send now needs a configured node one of the images waits for.
    const std::vector<Node>& nodes = m_delivery.nodes();
    const bool anyNodeWaits = std::any_of(entries.begin(), entries.end(), [&](const OutboxEntry* e) {
        return e->anyNode || std::any_of(e->owed.begin(), e->owed.end(), [&](const OwedNode& o) {
                   return nodeFor(nodes, o.id()) != nullptr;
               });
    });
    cmdSendNow->setEnabled(sendable && !nodes.empty() && anyNodeWaits);
    cmdSendTo->setEnabled(sendable && !redirects().empty());
    cmdRemove->setEnabled(!entries.empty());
    cmdView->setEnabled(entries.size() == 1 && entries.front()->damage.isEmpty());
    cmdCancelSend->setEnabled(!busyNodes().empty());
}

// Cancel stops the selected node's transfer, or, when that node sends
// nothing, every transfer under way.
void OutboxDialog::cancelSend()
{
    const std::vector<NodeStatus> nodes = m_delivery.status();
    const std::vector<NodeStatus> busy = busyNodes();
    const int row = lvNodes->indexOfTopLevelItem(lvNodes->currentItem());
    const bool selectedBusy = row >= 0 && row < static_cast<int>(nodes.size())
        && std::any_of(busy.begin(), busy.end(), [&](const NodeStatus& b) {
               return b.node.id() == nodes[static_cast<std::size_t>(row)].node.id();
           });
    if (selectedBusy)
        m_delivery.cancel(nodes[static_cast<std::size_t>(row)].node.id());
    else
        m_delivery.cancel();
}

void OutboxDialog::sendNow()
{
    QSet<QString> images;
    for (const OutboxEntry* entry : selected())
        images.insert(entry->instanceUid);
    m_delivery.sendNow(images);
}

std::vector<OutboxDialog::Redirect> OutboxDialog::redirects() const
{
    const std::vector<Node>& nodes = m_delivery.nodes();
    const std::vector<const OutboxEntry*> entries = selected();
    std::vector<Redirect> offered;
    if (entries.empty())
        return offered;
    for (const OwedNode& from : entries.front()->owed) {
        for (const Node& to : nodes) {
            if (!to.problem.isEmpty())
                continue;
            // Every selected image waits for `from` and neither holds nor waits for `to`.
            const bool fits = std::all_of(entries.begin(), entries.end(), [&](const OutboxEntry* e) {
                const bool waitsForFrom = std::any_of(e->owed.begin(), e->owed.end(),
                                                      [&](const OwedNode& o) { return o.id() == from.id(); });
                return waitsForFrom && !e->heldAt(to.id()) && e->owedTo(to, nodes).empty();
            });
            if (fits)
                offered.push_back({from.id(), to});
        }
    }
    return offered;
}

// The images go to the chosen node instead of one node they wait for; every
// other node they wait for keeps them owed. Asked without waiting: the images
// as they were chosen are redirected on OK, those delivered meanwhile are left
// alone by redirect().
void OutboxDialog::sendTo()
{
    const std::vector<Redirect> offered = redirects();
    std::vector<OutboxEntry> chosen;
    for (const OutboxEntry* entry : selected())
        chosen.push_back(*entry);
    if (offered.empty() || chosen.empty())
        return;
    QStringList texts;
    for (const Redirect& redirect : offered)
        texts << redirect.text();
    const QString which = chosen.size() == 1 ? QStringLiteral("the image of %1").arg(personName(chosen.front().patientName))
                                             : QStringLiteral("the %1 images").arg(chosen.size());
    auto* choose = new QInputDialog(this);
    choose->setWindowTitle(QStringLiteral("Send to"));
    choose->setLabelText(QStringLiteral("Send %1 to:").arg(which));
    choose->setComboBoxItems(texts);
    choose->setComboBoxEditable(false);
    choose->setAttribute(Qt::WA_DeleteOnClose);
    connect(choose, &QInputDialog::textValueSelected, this, [this, offered, texts, chosen](const QString& text) {
        const qsizetype index = texts.indexOf(text);
        if (index < 0)
            return;
        const Redirect& redirect = offered[static_cast<std::size_t>(index)];
        QSet<QString> images;
        try {
            for (OutboxEntry entry : chosen) {
                if (m_outbox.redirect(entry, redirect.from, redirect.to.id()))
                    images.insert(entry.instanceUid);
            }
        } catch (const Failure& e) {
            tellFailure(failureText(e.description(), QStringLiteral("The other images were not changed.")));
        }
        m_delivery.sendNow(images);
        m_delivery.outboxEdited();
        fill();
    });
    choose->open();
}

void OutboxDialog::tellFailure(const QString& text)
{
    auto* failed = new QMessageBox(QMessageBox::Critical, QStringLiteral("Skiascan"), text, QMessageBox::Ok, this);
    failed->setAttribute(Qt::WA_DeleteOnClose);
    failed->open();
}

void OutboxDialog::removeEntries()
{
    const std::vector<const OutboxEntry*> entries = selected();
    if (entries.empty())
        return;
    const QString removed = QDir::toNativeSeparators(m_outbox.folder() + QStringLiteral("/removed/"));
    const OutboxEntry& first = *entries.front();
    const QString question = entries.size() == 1
        ? QStringLiteral("Remove image %1 of %2 (%3) from the outbox? It will not be sent. It is kept in %4.")
              .arg(first.number)
              .arg(personName(first.patientName), first.patientId, removed)
        : QStringLiteral("Remove these %1 images from the outbox? They will not be sent. They are kept in %2.")
              .arg(entries.size())
              .arg(removed);
    // Asked without waiting: the images as they were chosen go on Yes, those
    // delivered meanwhile are left alone by remove().
    std::vector<OutboxEntry> chosen;
    for (const OutboxEntry* entry : entries)
        chosen.push_back(*entry);
    auto* confirm = new QMessageBox(QMessageBox::Question, QStringLiteral("Skiascan"), question,
                                    QMessageBox::Yes | QMessageBox::No, this);
    confirm->setDefaultButton(QMessageBox::No);
    confirm->setAttribute(Qt::WA_DeleteOnClose);
    connect(confirm, &QMessageBox::finished, this, [this, chosen](int answer) {
        if (answer != QMessageBox::Yes)
            return;
        try {
            for (const OutboxEntry& entry : chosen)
                m_outbox.remove(entry);
        } catch (const Failure& e) {
            tellFailure(failureText(e.description(), QStringLiteral("It stays in the outbox.")));
        }
        m_delivery.outboxEdited();
        fill();
    });
    confirm->open();
}

void OutboxDialog::viewSelected()
{
    const std::vector<const OutboxEntry*> entries = selected();
    if (entries.size() == 1 && entries.front()->damage.isEmpty())
        emit viewRequested(entries.front()->instanceUid);
}

} // namespace skiascan

#include "delivery/progress_dialog.h"

#include <QHeaderView>
#include <QProgressBar>
#include <QPushButton>
#include <QTreeWidget>
#include <QVBoxLayout>

namespace skiascan {

DeliveryProgressDialog::DeliveryProgressDialog(DeliveryProgress& progress, QWidget* parent)
    : QDialog(parent)
    , m_progress(progress)
{
    setObjectName(QStringLiteral("fProgress"));
    setWindowTitle(QStringLiteral("Sending images"));
    lvSends = new QTreeWidget(this);
    lvSends->setObjectName(QStringLiteral("lvSends"));
    lvSends->setRootIsDecorated(false);
    lvSends->setHeaderLabels({QStringLiteral("Film"), QStringLiteral("Node"), QStringLiteral("Sent")});
    lvSends->setMinimumSize(520, 120);
    lvSends->header()->setStretchLastSection(true);
    cmdCancel = new QPushButton(QStringLiteral("Cancel"), this);
    cmdCancel->setObjectName(QStringLiteral("cmdCancel"));
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(lvSends);
    layout->addWidget(cmdCancel, 0, Qt::AlignRight);
    connect(cmdCancel, &QPushButton::clicked, this, [this] {
        m_progress.cancel();
        cmdCancel->setEnabled(false);
        cmdCancel->setText(QStringLiteral("Cancelling"));
    });
    m_refresh.setInterval(100);
    connect(&m_refresh, &QTimer::timeout, this, &DeliveryProgressDialog::refresh);
    m_refresh.start();
    refresh();
}

void DeliveryProgressDialog::refresh()
{
    const std::vector<DeliveryProgress::Row> rows = m_progress.rows();
    for (std::size_t i = 0; i < rows.size(); ++i) {
        const DeliveryProgress::Row& row = rows[i];
        QTreeWidgetItem* item = lvSends->topLevelItem(static_cast<int>(i));
        if (!item) {
            item = new QTreeWidgetItem(lvSends, {row.film, row.node});
            auto* bar = new QProgressBar(lvSends);
            bar->setRange(0, 1000);
            lvSends->setItemWidget(item, 2, bar);
        }
        auto* bar = static_cast<QProgressBar*>(lvSends->itemWidget(item, 2));
        bar->setValue(row.total > 0 ? static_cast<int>(row.done * 1000 / row.total) : 0);
        bar->setFormat(row.state.isEmpty() ? QStringLiteral("%1 of %2 KB").arg(row.done / 1024).arg(row.total / 1024)
                                           : row.state);
    }
}

} // namespace skiascan

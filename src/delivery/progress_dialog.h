// The small window that shows network work that takes a while: each film and
// node with a bar of the bytes sent, and Cancel.
#pragma once

#include "delivery/delivery.h"

#include <QDialog>
#include <QTimer>

class QPushButton;
class QTreeWidget;

namespace skiascan {

class DeliveryProgressDialog : public QDialog {
    Q_OBJECT

public:
    /// Shows `progress`, refreshed ten times a second; Cancel stops every send.
    DeliveryProgressDialog(DeliveryProgress& progress, QWidget* parent);

    QTreeWidget* lvSends = nullptr;
    QPushButton* cmdCancel = nullptr;

private:
    void refresh();

    DeliveryProgress& m_progress;
    QTimer m_refresh;
};

} // namespace skiascan

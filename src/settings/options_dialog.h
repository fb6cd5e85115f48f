// The "More..." page of the preferences: the settings of Skiascan.options.ini,
// on a page of their own so that the preferences keep their controls where
// they are. It edits a copy; the preferences write it with their OK.
#pragma once

#include "settings/options_file.h"

#include <QDialog>

#include <array>

class QCheckBox;
class QComboBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QTabWidget;

namespace skiascan {

/// The fields of one peer's TLS settings.
struct TlsFields {
    QCheckBox* enabled = nullptr;
    QLineEdit* trustedCertificates = nullptr;
    QLineEdit* certificate = nullptr;
    QLineEdit* privateKey = nullptr;
};

class fOptions : public QDialog {
    Q_OBJECT

public:
    /// `nodeNames` names the destination rows as the preferences have them
    /// typed ("PACS at 10.0.0.5:104"; empty for an empty row).
    fOptions(const Options& options, const std::array<QString, 3>& nodeNames, QWidget* parent = nullptr);

    /// The options as the fields stand.
    Options options() const;

    QTabWidget* tabs = nullptr;
    QCheckBox* chkUseScheduledStudy = nullptr;
    TlsFields worklistTls;
    std::array<TlsFields, 3> nodeTls{};
    std::array<QCheckBox*, 3> chkStorageCommitment{};
    std::array<QComboBox*, 3> cboCompression{};
    QLineEdit* txtLocalPort = nullptr;
    QPushButton* cmdOK = nullptr;
    QPushButton* cmdCancel = nullptr;

private:
    QWidget* tlsBox(QWidget* parent, TlsFields& fields, const QString& name);
    void checkAndAccept();
};

} // namespace skiascan

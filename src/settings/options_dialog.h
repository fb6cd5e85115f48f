// The "More..." page of the preferences: the settings of Skiascan.options.ini,
// on a page of their own so that the preferences keep their controls where
// they are. It edits a copy; the preferences write it with their OK.
#pragma once

#include "common/background.h"
#include "settings/options_file.h"

#include <QDialog>

#include <array>
#include <memory>

class QCheckBox;
class QComboBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QTabWidget;

namespace skiascan {

namespace dicom {
class NetworkGuard;
}

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
    /// Ends a verification under way.
    ~fOptions() override;

    /// The station as the preferences have it typed: its AE title, which
    /// Verify calls from, and the program folder, against which relative PEM
    /// paths are read.
    void setStation(const QString& localAETitle, const QString& programFolder);

    /// The options as the fields stand.
    Options options() const;

    QTabWidget* tabs = nullptr;
    QCheckBox* chkUseScheduledStudy = nullptr;
    TlsFields worklistTls;
    std::array<TlsFields, 3> nodeTls{};
    std::array<QCheckBox*, 3> chkStorageCommitment{};
    std::array<QComboBox*, 3> cboCompression{};
    QLineEdit* txtLocalPort = nullptr;
    // The MPPS tab: the RIS that hears of each performed procedure step.
    QCheckBox* chkMppsEnabled = nullptr;
    QLineEdit* txtMppsAETitle = nullptr;
    QLineEdit* txtMppsHost = nullptr;
    QLineEdit* txtMppsPort = nullptr;
    TlsFields mppsTls;
    QPushButton* cmdVerifyMpps = nullptr; ///< "Verify"; "Cancel" while a verification runs
    QLabel* lblMppsVerify = nullptr;      ///< what the last verification found
    // The film view tab: when it opens by itself, and the review before sending.
    QCheckBox* chkShowEachFilm = nullptr;
    QCheckBox* chkHoldForReview = nullptr;
    QPushButton* cmdOK = nullptr;
    QPushButton* cmdCancel = nullptr;

private:
    QWidget* tlsBox(QWidget* parent, TlsFields& fields, const QString& name);
    QWidget* mppsPage();
    QWidget* viewPage();
    void checkAndAccept();
    /// Checks the MPPS node as typed: a C-ECHO proposing MPPS too, in the
    /// background; the outcome goes to lblMppsVerify. Cancels one under way.
    void verifyMpps();

    QString m_localAETitle;
    QString m_programFolder;
    std::unique_ptr<dicom::NetworkGuard> m_verifyGuard;
    BackgroundTask m_verifyTask; // after the guard: joined before the guard goes
};

} // namespace skiascan

// fPrefs, the preferences dialog: edits the sixteen settings and writes the
// settings file on OK, and through "More..." the settings of the second file
// (Skiascan.options.ini), which OK writes beside it. It never touches the main window's values; the main window
// reads the file again after the dialog has closed.
#pragma once

#include "settings/options_file.h"
#include "settings/settings_file.h"
#include "settings/verify_dialog.h"

#include <QDialog>

#include <array>

class QGroupBox;
class QLineEdit;
class QPushButton;

namespace skiascan {

class fPrefs : public QDialog {
    Q_OBJECT

public:
    /// Fills the fields from `current`; OK writes them to `settingsPath`, and
    /// `options` as the "More..." page has them to the options file beside it.
    fPrefs(const Settings& current, const QString& settingsPath, const Options& options = {},
           QWidget* parent = nullptr);

    /// The sixteen lines that OK writes, from the fields as they stand.
    SettingsLines linesToSave() const;
    /// The options that OK writes.
    const Options& optionsToSave() const { return m_options; }

    QLineEdit* ScanApp = nullptr;
    QPushButton* BrowseApp = nullptr;
    QLineEdit* txtParameters = nullptr;
    QLineEdit* ImageFolder = nullptr;
    QPushButton* BrowseFolder = nullptr;
    QLineEdit* TestApp = nullptr;
    QPushButton* BrowseTest = nullptr;
    QLineEdit* AET = nullptr;
    QLineEdit* WindowCenter = nullptr;
    QLineEdit* WindowWidth = nullptr;
    QGroupBox* Frame1 = nullptr;
    std::array<QLineEdit*, 3> RemoteAET{};
    std::array<QLineEdit*, 3> IPAddress{};
    std::array<QLineEdit*, 3> IPPort{};
    QGroupBox* Frame2 = nullptr;
    QLineEdit* WorklistIP = nullptr;
    QLineEdit* WorklistPort = nullptr;
    QLineEdit* WorklistAET = nullptr;
    QLineEdit* ScheduledModality = nullptr;
    QLineEdit* ScheduledAET = nullptr;
    QLineEdit* ScheduledStation = nullptr;
    std::array<QPushButton*, 3> VerifyRemote{}; // whether the destination of the row answers
    QPushButton* VerifyWorklist = nullptr;      // whether the worklist server answers
    QPushButton* cmdMore = nullptr; // opens the page of the options file
    QPushButton* cmdOK = nullptr;
    QPushButton* cmdCancel = nullptr;

private:
    void buildControls();
    void fill(const Settings& current);
    /// The box of a setting that has one box; null for the three destinations.
    QLineEdit* box(Setting setting) const;
    /// The row (0 to 2) of a destination setting; -1 for the others.
    static int remoteRow(Setting setting);
    void cmdOK_Click();
    void cmdMore_Click();
    void BrowseApp_Click();
    void BrowseTest_Click();
    void BrowseFolder_Click();
    void chooseApplication(QLineEdit* target);
    void verifyNode(NodeVerifier::Role role, const QString& aeTitle, const QString& host, const QString& port,
                    const TlsSettings& tls);

    QString m_settingsPath;
    Options m_options;
    Options m_optionsAtOpen;
    NodeVerifier* m_verifier = nullptr; // Verify, for every row
};

} // namespace skiascan

#include "settings/prefs_dialog.h"

#include "common/failure.h"
#include "common/text.h"
#include "settings/options_dialog.h"

#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QStyle>
#include <QVBoxLayout>


namespace skiascan {

namespace {

void showMessage(QWidget* parent, QMessageBox::Icon icon, const QString& text)
{
    QMessageBox box(icon, QStringLiteral("Skiascan"), text, QMessageBox::Ok, parent);
    box.exec();
}

QLineEdit* textBox(QWidget* parent, const char* name, int minWidth = 0)
{
    auto* box = new QLineEdit(parent);
    box->setObjectName(QLatin1String(name));
    if (minWidth > 0)
        box->setMinimumWidth(minWidth);
    return box;
}

} // namespace

fPrefs::fPrefs(const Settings& current, const QString& settingsPath, const Options& options, QWidget* parent)
    : QDialog(parent)
    , m_settingsPath(settingsPath)
    , m_options(options)
    , m_optionsAtOpen(options)
{
    setObjectName(QStringLiteral("fPrefs"));
    setWindowTitle(QStringLiteral("Preferences"));
    m_verifier = new NodeVerifier(this);
    buildControls();
    fill(current);
}

void fPrefs::buildControls()
{
    const QIcon browseIcon = style()->standardIcon(QStyle::SP_DirOpenIcon);
    auto browseButton = [&](const char* name) {
        auto* b = new QPushButton(this);
        b->setObjectName(QLatin1String(name));
        b->setIcon(browseIcon);
        b->setFixedSize(26, 22);
        return b;
    };

    auto* general = new QGridLayout;
    int row = 0;
    auto addRow = [&](const char* caption, QLineEdit* box, QPushButton* browse = nullptr) {
        general->addWidget(new QLabel(QLatin1String(caption), this), row, 0);
        general->addWidget(box, row, 1);
        if (browse)
            general->addWidget(browse, row, 2);
        ++row;
    };
    ScanApp = textBox(this, "ScanApp", 320);
    BrowseApp = browseButton("BrowseApp");
    txtParameters = textBox(this, "txtParameters");
    ImageFolder = textBox(this, "ImageFolder");
    BrowseFolder = browseButton("BrowseFolder");
    TestApp = textBox(this, "TestApp");
    BrowseTest = browseButton("BrowseTest");
    AET = textBox(this, "AET");
    WindowCenter = textBox(this, "WindowCenter");
    WindowCenter->setText(QStringLiteral("1500"));
    WindowWidth = textBox(this, "WindowWidth");
    WindowWidth->setText(QStringLiteral("3000"));
    addRow("Scanning Application:", ScanApp, BrowseApp);
    addRow("Add. Parameters:", txtParameters);
    addRow("Scanned Image Folder:", ImageFolder, BrowseFolder);
    addRow("Test Application (ACR):", TestApp, BrowseTest);
    addRow("Local AET:", AET);
    addRow("Default Window-Center:", WindowCenter);
    addRow("Default Window-Width:", WindowWidth);

    Frame1 = new QGroupBox(QStringLiteral("Image send to:"), this);
    Frame1->setObjectName(QStringLiteral("Frame1"));
    auto* nodes = new QGridLayout(Frame1);
    nodes->addWidget(new QLabel(QStringLiteral("AET:"), Frame1), 0, 0);
    nodes->addWidget(new QLabel(QStringLiteral("IP-Address:"), Frame1), 0, 1);
    nodes->addWidget(new QLabel(QStringLiteral("IP-Port:"), Frame1), 0, 2);
    for (int i = 0; i < 3; ++i) {
        RemoteAET[i] = textBox(Frame1, "RemoteAET");
        IPAddress[i] = textBox(Frame1, "IPAddress", 150);
        IPPort[i] = textBox(Frame1, "IPPort");
        RemoteAET[i]->setObjectName(QStringLiteral("RemoteAET_%1").arg(i));
        IPAddress[i]->setObjectName(QStringLiteral("IPAddress_%1").arg(i));
        IPPort[i]->setObjectName(QStringLiteral("IPPort_%1").arg(i));
        IPPort[i]->setMaximumWidth(70);
        nodes->addWidget(RemoteAET[i], i + 1, 0);
        nodes->addWidget(IPAddress[i], i + 1, 1);
        nodes->addWidget(IPPort[i], i + 1, 2);
        VerifyRemote[i] = new QPushButton(QStringLiteral("Verify"), Frame1);
        VerifyRemote[i]->setObjectName(QStringLiteral("VerifyRemote_%1").arg(i));
        VerifyRemote[i]->setToolTip(QStringLiteral("Check that this destination answers"));
        VerifyRemote[i]->setMaximumWidth(60);
        nodes->addWidget(VerifyRemote[i], i + 1, 3);
        connect(VerifyRemote[i], &QPushButton::clicked, this,
                [this, i] {
                    verifyNode(NodeVerifier::Role::Destination, RemoteAET[i]->text(), IPAddress[i]->text(),
                               IPPort[i]->text(), m_options.nodes[i].tls);
                });
    }

    Frame2 = new QGroupBox(QStringLiteral("Worklist Informations"), this);
    Frame2->setObjectName(QStringLiteral("Frame2"));
    auto* worklist = new QGridLayout(Frame2);
    WorklistIP = textBox(Frame2, "WorklistIP", 150);
    WorklistPort = textBox(Frame2, "WorklistPort");
    WorklistPort->setMaximumWidth(70);
    WorklistAET = textBox(Frame2, "WorklistAET");
    ScheduledModality = textBox(Frame2, "ScheduledModality");
    ScheduledAET = textBox(Frame2, "ScheduledAET");
    ScheduledStation = textBox(Frame2, "ScheduledStation");
    worklist->addWidget(new QLabel(QStringLiteral("IP-Address:"), Frame2), 0, 0);
    worklist->addWidget(WorklistIP, 0, 1);
    worklist->addWidget(new QLabel(QStringLiteral("IP-Port:"), Frame2), 0, 2);
    worklist->addWidget(WorklistPort, 0, 3);
    VerifyWorklist = new QPushButton(QStringLiteral("Verify"), Frame2);
    VerifyWorklist->setObjectName(QStringLiteral("VerifyWorklist"));
    VerifyWorklist->setToolTip(QStringLiteral("Check that the worklist server answers"));
    VerifyWorklist->setMaximumWidth(60);
    worklist->addWidget(VerifyWorklist, 1, 3);
    connect(VerifyWorklist, &QPushButton::clicked, this,
            [this] {
                verifyNode(NodeVerifier::Role::Worklist, WorklistAET->text(), WorklistIP->text(), WorklistPort->text(),
                           m_options.worklistTls);
            });
    worklist->addWidget(new QLabel(QStringLiteral("Server AET:"), Frame2), 1, 0);
    worklist->addWidget(WorklistAET, 1, 1);
    worklist->addWidget(new QLabel(QStringLiteral("Scheduled Modality:"), Frame2), 2, 0);
    worklist->addWidget(ScheduledModality, 2, 1);
    worklist->addWidget(new QLabel(QStringLiteral("Scheduled AET:"), Frame2), 3, 0);
    worklist->addWidget(ScheduledAET, 3, 1);
    worklist->addWidget(new QLabel(QStringLiteral("Scheduled Station:"), Frame2), 4, 0);
    worklist->addWidget(ScheduledStation, 4, 1);

    cmdOK = new QPushButton(QStringLiteral("OK"), this);
    cmdOK->setObjectName(QStringLiteral("cmdOK"));
    cmdCancel = new QPushButton(QStringLiteral("Cancel"), this);
    cmdCancel->setObjectName(QStringLiteral("cmdCancel"));
    // Enter and Escape both cancel: only a click on OK saves.
    cmdCancel->setDefault(true);
    cmdMore = new QPushButton(QStringLiteral("More..."), this);
    cmdMore->setObjectName(QStringLiteral("cmdMore"));
    cmdMore->setToolTip(QStringLiteral("TLS, storage commitment, the worklist's study and MPPS"));
    cmdMore->setAutoDefault(false);
    auto* buttons = new QHBoxLayout;
    buttons->addWidget(cmdMore);
    buttons->addStretch(1);
    buttons->addWidget(cmdOK);
    buttons->addWidget(cmdCancel);

    auto* top = new QVBoxLayout(this);
    top->addLayout(general);
    top->addWidget(Frame1);
    top->addWidget(Frame2);
    top->addLayout(buttons);
    top->setSizeConstraint(QLayout::SetFixedSize);

    connect(cmdOK, &QPushButton::clicked, this, &fPrefs::cmdOK_Click);
    connect(cmdCancel, &QPushButton::clicked, this, &QDialog::reject);
    connect(cmdMore, &QPushButton::clicked, this, &fPrefs::cmdMore_Click);
    connect(BrowseApp, &QPushButton::clicked, this, &fPrefs::BrowseApp_Click);
    connect(BrowseTest, &QPushButton::clicked, this, &fPrefs::BrowseTest_Click);
    connect(BrowseFolder, &QPushButton::clicked, this, &fPrefs::BrowseFolder_Click);
}

QLineEdit* fPrefs::box(Setting setting) const
{
    switch (setting) {
    case Setting::ScanApp:
        return ScanApp;
    case Setting::Parameters:
        return txtParameters;
    case Setting::ImageFolder:
        return ImageFolder;
    case Setting::TestApp:
        return TestApp;
    case Setting::LocalAET:
        return AET;
    case Setting::WindowCenter:
        return WindowCenter;
    case Setting::WindowWidth:
        return WindowWidth;
    case Setting::WorklistIP:
        return WorklistIP;
    case Setting::WorklistPort:
        return WorklistPort;
    case Setting::WorklistAET:
        return WorklistAET;
    case Setting::ScheduledModality:
        return ScheduledModality;
    case Setting::ScheduledAET:
        return ScheduledAET;
    case Setting::ScheduledStation:
        return ScheduledStation;
    case Setting::Remote0:
    case Setting::Remote1:
    case Setting::Remote2:
        break;
    }
    return nullptr;
}

int fPrefs::remoteRow(Setting setting)
{
    switch (setting) {
    case Setting::Remote0:
        return 0;
    case Setting::Remote1:
        return 1;
    case Setting::Remote2:
        return 2;
    default:
        return -1;
    }
}

void fPrefs::fill(const Settings& current)
{
    const SettingsLines lines = linesOf(current);
    const RemoteNodes remotes = current.remoteNodes();
    for (const SettingsLineDef& line : settingsTable()) {
        const int row = remoteRow(line.setting);
        if (row < 0) {
            box(line.setting)->setText(lines[line.setting]);
            continue;
        }
        // The fields as the file has them, so that the operator sees and can
        // fix a node with a problem; a field the row lacks leaves its box empty.
        const RemoteNode& remote = remotes[static_cast<std::size_t>(row)];
        RemoteAET[row]->setText(remote.aeTitle);
        IPAddress[row]->setText(remote.host);
        IPPort[row]->setText(remote.portText);
    }
}

SettingsLines fPrefs::linesToSave() const
{
    SettingsLines lines;
    for (const SettingsLineDef& line : settingsTable()) {
        const int row = remoteRow(line.setting);
        QString text;
        if (row < 0) {
            text = box(line.setting)->text();
        } else {
            RemoteNode remote;
            remote.isNode = true;
            remote.aeTitle = RemoteAET[row]->text();
            remote.host = IPAddress[row]->text();
            remote.portText = IPPort[row]->text();
            text = remoteNodeText(remote);
        }
        lines[line.setting] = line.trimmedOnSave ? trimSpaces(text) : text;
    }
    return lines;
}

void fPrefs::cmdOK_Click()
{
    try {
        saveSettingsFile(m_settingsPath, linesToSave());
        // The options file is written only when the page changed something, so
        // that a station that never used it gets none.
        if (m_options != m_optionsAtOpen)
            saveOptions(optionsFilePath(QFileInfo(m_settingsPath).absolutePath()), m_options);
    } catch (const Failure& e) {
        // The old file is still intact; the operator can fix the cause and try again.
        showMessage(this, QMessageBox::Critical,
                    failureText(e.description(), QStringLiteral("The settings were not saved.")));
        return;
    }
    accept();
}

void fPrefs::cmdMore_Click()
{
    std::array<QString, 3> names;
    for (std::size_t row = 0; row < names.size(); ++row) {
        if (!RemoteAET[row]->text().isEmpty() || !IPAddress[row]->text().isEmpty())
            names[row] = QStringLiteral("%1 at %2:%3").arg(RemoteAET[row]->text(), IPAddress[row]->text(),
                                                            IPPort[row]->text().trimmed());
    }
    fOptions page(m_options, names, this);
    page.setStation(AET->text(), QFileInfo(m_settingsPath).absolutePath());
    if (page.exec() == QDialog::Accepted)
        m_options = page.options();
}

// Checks a node with the values as typed and the TLS settings as set on the
// More page, before they are saved.
void fPrefs::verifyNode(NodeVerifier::Role role, const QString& aeTitle, const QString& host, const QString& port,
                        const TlsSettings& tls)
{
    m_verifier->verify(role, aeTitle, host, port, AET->text(),
                       withPathsResolved(tls, QFileInfo(m_settingsPath).absolutePath()));
}

void fPrefs::chooseApplication(QLineEdit* target)
{
    QFileDialog chooser(this, QStringLiteral("Select Scanning-Application"));
    chooser.setObjectName(QStringLiteral("ComDlg"));
    chooser.setOption(QFileDialog::DontUseNativeDialog);
    chooser.setFileMode(QFileDialog::ExistingFile);
    chooser.setAcceptMode(QFileDialog::AcceptOpen);
    // The scanner's programs end in ".exe" written in any case (SCANFILE.EXE).
    chooser.setNameFilters({QStringLiteral("Application (*.exe)"), QStringLiteral("All files (*)")});
    chooser.setFilter(chooser.filter() & ~QDir::CaseSensitive);
    chooser.setDefaultSuffix(QStringLiteral("exe"));
    const QFileInfo current(target->text());
    if (!target->text().isEmpty() && current.absoluteDir().exists())
        chooser.setDirectory(current.absoluteDir());
    if (chooser.exec() != QDialog::Accepted || chooser.selectedFiles().isEmpty())
        return;
    target->setText(QDir::toNativeSeparators(chooser.selectedFiles().constFirst()));
}

void fPrefs::BrowseApp_Click()
{
    chooseApplication(ScanApp);
}

void fPrefs::BrowseTest_Click()
{
    chooseApplication(TestApp);
}

void fPrefs::BrowseFolder_Click()
{
    QFileDialog chooser(this, QStringLiteral("Select Image-Folder"));
    chooser.setObjectName(QStringLiteral("FolderChooser"));
    chooser.setOption(QFileDialog::DontUseNativeDialog);
    chooser.setOption(QFileDialog::ShowDirsOnly);
    chooser.setFileMode(QFileDialog::Directory);
    if (QDir(ImageFolder->text()).exists() && !ImageFolder->text().isEmpty())
        chooser.setDirectory(ImageFolder->text());
    if (chooser.exec() != QDialog::Accepted || chooser.selectedFiles().isEmpty())
        return;
    QString folder = QDir::toNativeSeparators(chooser.selectedFiles().constFirst());
    if (folder.isEmpty())
        return;
    if (!folder.endsWith(QDir::separator()))
        folder += QDir::separator();
    ImageFolder->setText(folder);
}

} // namespace skiascan

#include "settings/options_dialog.h"

#include "common/failure.h"
#include "dicom/network.h"

#include <algorithm>
#include <memory>
#include <optional>

#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QFormLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QStyle>
#include <QTabWidget>
#include <QVBoxLayout>

namespace skiascan {

namespace {

void fillTls(const TlsFields& fields, const TlsSettings& tls)
{
    fields.enabled->setChecked(tls.enabled);
    fields.trustedCertificates->setText(tls.trustedCertificates);
    fields.certificate->setText(tls.certificate);
    fields.privateKey->setText(tls.privateKey);
}

TlsSettings tlsOf(const TlsFields& fields)
{
    TlsSettings tls;
    tls.enabled = fields.enabled->isChecked();
    tls.trustedCertificates = fields.trustedCertificates->text().trimmed();
    tls.certificate = fields.certificate->text().trimmed();
    tls.privateKey = fields.privateKey->text().trimmed();
    return tls;
}

// A port as typed: 1 to 65535, or 0 for an empty field; nullopt for anything else.
std::optional<quint16> portOf(const QString& typed)
{
    const QString text = typed.trimmed();
    if (text.isEmpty())
        return quint16(0);
    bool ok = false;
    const uint number = text.toUInt(&ok);
    if (!ok || number < 1 || number > 65535)
        return std::nullopt;
    return static_cast<quint16>(number);
}

// Why an AE title cannot name the MPPS node; empty when it can.
QString whyNoAETitle(const QString& title)
{
    if (title.isEmpty())
        return QStringLiteral("The MPPS node has no AE title.");
    if (title.size() > 16)
        return QStringLiteral("The MPPS node's AE title \"%1\" is longer than 16 characters.").arg(title);
    for (QChar c : title)
        if (c.unicode() < 0x20 || c.unicode() > 0x7E || c == QLatin1Char('\\'))
            return QStringLiteral("The MPPS node's AE title \"%1\" holds a character that AE titles cannot hold.").arg(title);
    return {};
}

// What the MPPS tab says once a verification has ended.
QString mppsVerdict(const QString& node, const dicom::Verification& answer, std::exception_ptr failure)
{
    if (failure) {
        try {
            std::rethrow_exception(failure);
        } catch (const Failure& e) {
            if (e.kind() == Failure::Kind::Cancelled)
                return QStringLiteral("The verification was cancelled.");
        } catch (...) {
        }
        return describe(failure) + QStringLiteral("\nThe verification failed.");
    }
    const QString over = answer.protocol.isEmpty()
        ? QString()
        : QStringLiteral(" over %1; its certificate is signed by an authority this station trusts").arg(answer.protocol);
    return QStringLiteral("%1 answered the verification (C-ECHO)%2.\n%3")
        .arg(node, over,
             answer.acceptsMpps ? QStringLiteral("It accepts performed procedure steps (MPPS).")
                                : QStringLiteral("It does not accept performed procedure steps (MPPS)."));
}

} // namespace

fOptions::fOptions(const Options& options, const std::array<QString, 3>& nodeNames, QWidget* parent)
    : QDialog(parent)
{
    setObjectName(QStringLiteral("fOptions"));
    setWindowTitle(QStringLiteral("More Preferences"));
    tabs = new QTabWidget(this);
    tabs->setObjectName(QStringLiteral("tabs"));

    // The worklist: what a pick carries, and how the server is reached.
    auto* worklist = new QWidget(tabs);
    auto* worklistLayout = new QVBoxLayout(worklist);
    chkUseScheduledStudy = new QCheckBox(QStringLiteral("Use the worklist's study"), worklist);
    chkUseScheduledStudy->setObjectName(QStringLiteral("chkUseScheduledStudy"));
    chkUseScheduledStudy->setToolTip(
        QStringLiteral("A picked entry's films go into the study the RIS scheduled, with its Study Instance UID, "
                       "procedure and step; off: every pick starts a study of this station's own"));
    worklistLayout->addWidget(chkUseScheduledStudy);
    worklistLayout->addWidget(tlsBox(worklist, worklistTls, QStringLiteral("Worklist")));
    worklistLayout->addStretch(1);
    tabs->addTab(worklist, QStringLiteral("Worklist"));

    // One page per destination row.
    for (std::size_t row = 0; row < nodeTls.size(); ++row) {
        auto* page = new QWidget(tabs);
        auto* layout = new QVBoxLayout(page);
        auto* name = new QLabel(nodeNames[row].isEmpty() ? QStringLiteral("(no destination in this row)") : nodeNames[row],
                                page);
        name->setObjectName(QStringLiteral("lblNode_%1").arg(row));
        layout->addWidget(name);
        layout->addWidget(tlsBox(page, nodeTls[row], QStringLiteral("Node%1").arg(row)));
        chkStorageCommitment[row] = new QCheckBox(QStringLiteral("Ask for storage commitment"), page);
        chkStorageCommitment[row]->setObjectName(QStringLiteral("chkStorageCommitment_%1").arg(row));
        chkStorageCommitment[row]->setToolTip(
            QStringLiteral("Keep each image in the outbox until the node reports that it has archived it"));
        layout->addWidget(chkStorageCommitment[row]);
        cboCompression[row] = new QComboBox(page);
        cboCompression[row]->setObjectName(QStringLiteral("cboCompression_%1").arg(row));
        cboCompression[row]->setToolTip(
            QStringLiteral("Offer the node its images losslessly compressed, beside uncompressed; the node chooses"));
        for (Compression c : {Compression::None, Compression::JpegLsLossless, Compression::JpegLossless})
            cboCompression[row]->addItem(c == Compression::None ? QStringLiteral("None") : compressionName(c),
                                         compressionKey(c));
        auto* compression = new QFormLayout;
        compression->addRow(QStringLiteral("Compression:"), cboCompression[row]);
        layout->addLayout(compression);
        layout->addStretch(1);
        tabs->addTab(page, QStringLiteral("Destination %1").arg(row + 1));
    }

    tabs->addTab(mppsPage(), QStringLiteral("MPPS"));
    tabs->addTab(viewPage(), QStringLiteral("Film View"));

    // The station itself.
    auto* station = new QWidget(tabs);
    auto* stationLayout = new QFormLayout(station);
    txtLocalPort = new QLineEdit(station);
    txtLocalPort->setObjectName(QStringLiteral("txtLocalPort"));
    txtLocalPort->setMaximumWidth(70);
    txtLocalPort->setToolTip(QStringLiteral("Where the nodes send their storage commitment reports; empty: nowhere"));
    stationLayout->addRow(QStringLiteral("Local IP-Port:"), txtLocalPort);
    tabs->addTab(station, QStringLiteral("This Station"));

    cmdOK = new QPushButton(QStringLiteral("OK"), this);
    cmdOK->setObjectName(QStringLiteral("cmdOK"));
    cmdCancel = new QPushButton(QStringLiteral("Cancel"), this);
    cmdCancel->setObjectName(QStringLiteral("cmdCancel"));
    cmdCancel->setDefault(true);
    auto* buttons = new QHBoxLayout;
    buttons->addStretch(1);
    buttons->addWidget(cmdOK);
    buttons->addWidget(cmdCancel);
    auto* top = new QVBoxLayout(this);
    top->addWidget(tabs);
    top->addLayout(buttons);
    connect(cmdOK, &QPushButton::clicked, this, &fOptions::checkAndAccept);
    connect(cmdCancel, &QPushButton::clicked, this, &QDialog::reject);

    chkUseScheduledStudy->setChecked(options.useScheduledStudy);
    fillTls(worklistTls, options.worklistTls);
    for (std::size_t row = 0; row < nodeTls.size(); ++row) {
        fillTls(nodeTls[row], options.nodes[row].tls);
        chkStorageCommitment[row]->setChecked(options.nodes[row].storageCommitment);
        cboCompression[row]->setCurrentIndex(cboCompression[row]->findData(compressionKey(options.nodes[row].compression)));
    }
    txtLocalPort->setText(options.localPort ? QString::number(options.localPort) : QString());
    chkMppsEnabled->setChecked(options.mpps.enabled);
    txtMppsAETitle->setText(options.mpps.aeTitle);
    txtMppsHost->setText(options.mpps.host);
    txtMppsPort->setText(options.mpps.port ? QString::number(options.mpps.port) : QString());
    fillTls(mppsTls, options.mpps.tls);
    chkShowEachFilm->setChecked(options.view.showEachFilm);
    chkHoldForReview->setChecked(options.view.holdForReview);
}

QWidget* fOptions::viewPage()
{
    auto* page = new QWidget(tabs);
    auto* layout = new QVBoxLayout(page);
    chkShowEachFilm = new QCheckBox(QStringLiteral("Show each film"), page);
    chkShowEachFilm->setObjectName(QStringLiteral("chkShowEachFilm"));
    chkShowEachFilm->setToolTip(QStringLiteral("Open the film view by itself after each film"));
    chkHoldForReview = new QCheckBox(QStringLiteral("Hold each film for review"), page);
    chkHoldForReview->setObjectName(QStringLiteral("chkHoldForReview"));
    chkHoldForReview->setToolTip(QStringLiteral("No node gets a film until it is accepted in the film view, where it "
                                                "can be turned, mirrored or rejected; a film that looks blank is "
                                                "held either way"));
    layout->addWidget(chkShowEachFilm);
    layout->addWidget(chkHoldForReview);
    layout->addStretch(1);
    return page;
}

fOptions::~fOptions() = default;

void fOptions::setStation(const QString& localAETitle, const QString& programFolder)
{
    m_localAETitle = localAETitle;
    m_programFolder = programFolder;
}

QWidget* fOptions::mppsPage()
{
    auto* page = new QWidget(tabs);
    auto* layout = new QVBoxLayout(page);
    chkMppsEnabled = new QCheckBox(QStringLiteral("Report performed procedure steps (MPPS)"), page);
    chkMppsEnabled->setObjectName(QStringLiteral("chkMppsEnabled"));
    chkMppsEnabled->setToolTip(QStringLiteral("Tell the RIS when a study's first film is kept (in progress) and when the "
                                              "study ends here (completed, with every image)"));
    layout->addWidget(chkMppsEnabled);
    auto* node = new QFormLayout;
    txtMppsAETitle = new QLineEdit(page);
    txtMppsAETitle->setObjectName(QStringLiteral("txtMppsAETitle"));
    txtMppsHost = new QLineEdit(page);
    txtMppsHost->setObjectName(QStringLiteral("txtMppsHost"));
    txtMppsHost->setMinimumWidth(150);
    txtMppsPort = new QLineEdit(page);
    txtMppsPort->setObjectName(QStringLiteral("txtMppsPort"));
    txtMppsPort->setMaximumWidth(70);
    node->addRow(QStringLiteral("AET:"), txtMppsAETitle);
    node->addRow(QStringLiteral("IP-Address:"), txtMppsHost);
    node->addRow(QStringLiteral("IP-Port:"), txtMppsPort);
    layout->addLayout(node);
    layout->addWidget(tlsBox(page, mppsTls, QStringLiteral("Mpps")));
    cmdVerifyMpps = new QPushButton(QStringLiteral("Verify"), page);
    cmdVerifyMpps->setObjectName(QStringLiteral("cmdVerifyMpps"));
    cmdVerifyMpps->setToolTip(QStringLiteral("Send a DICOM echo (C-ECHO) to the MPPS node and ask whether it accepts "
                                             "performed procedure steps"));
    cmdVerifyMpps->setAutoDefault(false);
    lblMppsVerify = new QLabel(page);
    lblMppsVerify->setObjectName(QStringLiteral("lblMppsVerify"));
    lblMppsVerify->setWordWrap(true);
    lblMppsVerify->setTextInteractionFlags(Qt::TextSelectableByMouse);
    auto* verify = new QHBoxLayout;
    verify->addWidget(cmdVerifyMpps, 0, Qt::AlignTop);
    verify->addWidget(lblMppsVerify, 1);
    layout->addLayout(verify);
    layout->addStretch(1);
    connect(cmdVerifyMpps, &QPushButton::clicked, this, &fOptions::verifyMpps);
    return page;
}

// The echo runs in the background and reports to the tab; the dialog stays
// usable, and the button cancels it meanwhile. Closing the dialog cancels it.
void fOptions::verifyMpps()
{
    if (m_verifyTask.running()) {
        m_verifyTask.cancel();
        return;
    }
    const QString aeTitle = txtMppsAETitle->text().trimmed();
    const QString host = txtMppsHost->text().trimmed();
    const std::optional<quint16> port = portOf(txtMppsPort->text());
    if (!port || *port == 0) {
        lblMppsVerify->setText(
            QStringLiteral("The port \"%1\" is not a port number (1 to 65535).").arg(txtMppsPort->text().trimmed()));
        return;
    }
    const QString node = dicom::nodeName(aeTitle, host, *port);
    const QString calling = m_localAETitle;
    // As set on the tab, before it is saved; relative paths from the program folder.
    const TlsSettings tls = withPathsResolved(tlsOf(mppsTls), m_programFolder);
    m_verifyGuard = std::make_unique<dicom::NetworkGuard>(dicom::kVerifyDeadline);
    dicom::NetworkGuard* guard = m_verifyGuard.get();
    auto answer = std::make_shared<dicom::Verification>();
    lblMppsVerify->setText(QStringLiteral("Verifying %1 ...").arg(node));
    cmdVerifyMpps->setText(QStringLiteral("Cancel"));
    m_verifyTask.start(
        [=, number = *port](const CancelFlag&) {
            *answer = dicom::verify(host, number, aeTitle, calling, {}, guard, tls, dicom::VerifiedService::Mpps);
        },
        [this, node, answer](std::exception_ptr failure) {
            cmdVerifyMpps->setText(QStringLiteral("Verify"));
            lblMppsVerify->setText(mppsVerdict(node, *answer, failure));
        },
        [guard] { guard->cancel(); });
}

QWidget* fOptions::tlsBox(QWidget* parent, TlsFields& fields, const QString& name)
{
    auto* box = new QGroupBox(QStringLiteral("TLS"), parent);
    auto* form = new QFormLayout(box);
    fields.enabled = new QCheckBox(QStringLiteral("Use TLS"), box);
    fields.enabled->setObjectName(QStringLiteral("chkTls_%1").arg(name));
    form->addRow(fields.enabled);
    auto fileRow = [&](const QString& caption, const QString& objectName, const QString& tip) {
        auto* text = new QLineEdit(box);
        text->setObjectName(objectName + QLatin1Char('_') + name);
        text->setMinimumWidth(280);
        text->setToolTip(tip);
        auto* browse = new QPushButton(box);
        browse->setIcon(style()->standardIcon(QStyle::SP_DirOpenIcon));
        browse->setFixedSize(26, 22);
        connect(browse, &QPushButton::clicked, this, [this, text, caption] {
            const QString chosen =
                QFileDialog::getOpenFileName(this, caption, QFileInfo(text->text()).absolutePath(),
                                             QStringLiteral("PEM files (*.pem *.crt *.key);;All files (*)"), nullptr,
                                             QFileDialog::DontUseNativeDialog);
            if (!chosen.isEmpty())
                text->setText(QDir::toNativeSeparators(chosen));
        });
        auto* line = new QHBoxLayout;
        line->addWidget(text);
        line->addWidget(browse);
        form->addRow(caption, line);
        return text;
    };
    fields.trustedCertificates = fileRow(QStringLiteral("Trusted Certificates:"), QStringLiteral("txtTrusted"),
                                         QStringLiteral("PEM file of the authorities whose certificates are trusted"));
    fields.certificate = fileRow(QStringLiteral("Own Certificate:"), QStringLiteral("txtCertificate"),
                                 QStringLiteral("PEM file of this station's certificate, for peers that ask for one"));
    fields.privateKey = fileRow(QStringLiteral("Private Key:"), QStringLiteral("txtPrivateKey"),
                                QStringLiteral("PEM file of the key of this station's certificate"));
    return box;
}

Options fOptions::options() const
{
    Options options;
    options.useScheduledStudy = chkUseScheduledStudy->isChecked();
    options.worklistTls = tlsOf(worklistTls);
    for (std::size_t row = 0; row < nodeTls.size(); ++row) {
        options.nodes[row].tls = tlsOf(nodeTls[row]);
        options.nodes[row].storageCommitment = chkStorageCommitment[row]->isChecked();
        options.nodes[row].compression =
            compressionFromKey(cboCompression[row]->currentData().toString()).value_or(Compression::None);
    }
    options.localPort = static_cast<quint16>(txtLocalPort->text().trimmed().toUInt());
    options.mpps.enabled = chkMppsEnabled->isChecked();
    options.mpps.aeTitle = txtMppsAETitle->text().trimmed();
    options.mpps.host = txtMppsHost->text().trimmed();
    options.mpps.port = portOf(txtMppsPort->text()).value_or(0);
    options.mpps.tls = tlsOf(mppsTls);
    options.view.showEachFilm = chkShowEachFilm->isChecked();
    options.view.holdForReview = chkHoldForReview->isChecked();
    return options;
}

void fOptions::checkAndAccept()
{
    const QString port = txtLocalPort->text().trimmed();
    bool ok = true;
    const uint number = port.isEmpty() ? 0 : port.toUInt(&ok);
    if (!ok || number > 65535) {
        tabs->setCurrentIndex(tabs->count() - 1);
        QMessageBox box(QMessageBox::Critical, QStringLiteral("Skiascan"),
                        QStringLiteral("The local port \"%1\" is not a port number (1 to 65535).").arg(port),
                        QMessageBox::Ok, this);
        box.exec();
        return;
    }
    // A node asked for storage commitment reports to the station's port:
    // without one its images would wait in the outbox for good.
    const bool commitment = std::any_of(chkStorageCommitment.begin(), chkStorageCommitment.end(),
                                        [](const QCheckBox* box) { return box->isChecked(); });
    if (commitment && number == 0) {
        tabs->setCurrentIndex(tabs->count() - 1);
        txtLocalPort->setFocus();
        QMessageBox box(QMessageBox::Critical, QStringLiteral("Skiascan"),
                        QStringLiteral("A node asked for storage commitment sends its reports to this station: please "
                                       "enter the local port they go to."),
                        QMessageBox::Ok, this);
        box.exec();
        return;
    }
    // The MPPS node: a port that is none is refused; an enabled node needs all three.
    QString mppsProblem;
    const std::optional<quint16> mppsPort = portOf(txtMppsPort->text());
    if (!mppsPort)
        mppsProblem = QStringLiteral("The MPPS node's port \"%1\" is not a port number (1 to 65535).")
                          .arg(txtMppsPort->text().trimmed());
    else if (chkMppsEnabled->isChecked()) {
        mppsProblem = whyNoAETitle(txtMppsAETitle->text().trimmed());
        if (mppsProblem.isEmpty() && txtMppsHost->text().trimmed().isEmpty())
            mppsProblem = QStringLiteral("The MPPS node has no address.");
        if (mppsProblem.isEmpty() && *mppsPort == 0)
            mppsProblem = QStringLiteral("The MPPS node has no port.");
    }
    if (!mppsProblem.isEmpty()) {
        tabs->setCurrentWidget(chkMppsEnabled->parentWidget());
        QMessageBox box(QMessageBox::Critical, QStringLiteral("Skiascan"), mppsProblem, QMessageBox::Ok, this);
        box.exec();
        return;
    }
    accept();
}

} // namespace skiascan

#include "settings/options_dialog.h"

#include <algorithm>

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
    accept();
}

} // namespace skiascan

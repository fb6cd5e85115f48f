// Reads what a peer received (or the program wrote) with DCMTK, for assertions.
#pragma once

#include <dcmtk/config/osconfig.h>
#include <dcmtk/dcmdata/dcdeftag.h>
#include <dcmtk/dcmdata/dcfilefo.h>

#include <QString>
#include <QStringList>

#include <vector>

namespace skiascan::test {

class DicomFile {
public:
    /// Loads the file; a failure is a test failure and leaves an empty data set.
    explicit DicomFile(const QString& path);

    bool has(const DcmTagKey& key);
    /// The raw value bytes as a QString (Latin-1 for ISO_IR 100, UTF-8 otherwise).
    QString text(const DcmTagKey& key);
    /// The value after converting the whole data set to UTF-8 with DCMTK.
    QString utf8(const DcmTagKey& key);
    std::vector<Uint16> pixels();
    /// The Transfer Syntax UID of the file's meta header.
    QString transferSyntax();
    DcmDataset& dataset() { return *m_file.getDataset(); }

private:
    DcmFileFormat m_file;
    bool m_converted = false;
};

/// The pixels of the image in a file a peer is writing or has written,
/// decoded first when they are compressed (JPEG-LS, JPEG lossless); empty until
/// the file is whole: DCMTK reads all of it and its pixels fill Rows x Columns.
/// Quiet about a file that is not yet whole, so that a test can wait on it.
std::vector<Uint16> completeImagePixels(const QString& path);

/// The errors dciodvfy reports for a file, but for the one that the default body
/// part "Unknown" causes (lower-case letters in a code string), which is the
/// program's own text and stays.
QStringList dciodvfyErrors(const QString& path);

/// The value of one attribute in each file a folder of received files holds
/// (a node's received()), sorted.
QStringList valuesIn(const QStringList& files, const DcmTagKey& key);

} // namespace skiascan::test

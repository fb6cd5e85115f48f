#include "support/dicom_file.h"

#include "support/child_process.h"

#include <dcmtk/dcmdata/dcmetinf.h>
#include <dcmtk/dcmjpeg/djdecode.h>
#include <dcmtk/dcmjpls/djdecode.h>

#include <gtest/gtest.h>

#include <mutex>

namespace skiascan::test {

DicomFile::DicomFile(const QString& path)
{
    const OFCondition c = m_file.loadFile(path.toLocal8Bit().constData());
    EXPECT_TRUE(c.good()) << "cannot read " << path.toStdString() << ": " << c.text();
}

bool DicomFile::has(const DcmTagKey& key)
{
    return dataset().tagExists(key);
}

QString DicomFile::text(const DcmTagKey& key)
{
    OFString value;
    dataset().findAndGetOFStringArray(key, value);
    OFString charset;
    dataset().findAndGetOFString(DCM_SpecificCharacterSet, charset);
    if (charset == "ISO_IR 100")
        return QString::fromLatin1(value.c_str(), static_cast<qsizetype>(value.length()));
    return QString::fromUtf8(value.c_str(), static_cast<qsizetype>(value.length()));
}

QString DicomFile::utf8(const DcmTagKey& key)
{
    if (!m_converted) {
        EXPECT_TRUE(dataset().convertToUTF8().good());
        m_converted = true;
    }
    OFString value;
    dataset().findAndGetOFStringArray(key, value);
    return QString::fromUtf8(value.c_str(), static_cast<qsizetype>(value.length()));
}

std::vector<Uint16> DicomFile::pixels()
{
    const Uint16* words = nullptr;
    unsigned long count = 0;
    if (dataset().findAndGetUint16Array(DCM_PixelData, words, &count).bad() || !words)
        return {};
    return std::vector<Uint16>(words, words + count);
}

QString DicomFile::transferSyntax()
{
    OFString uid;
    m_file.getMetaInfo()->findAndGetOFString(DCM_TransferSyntaxUID, uid);
    return QString::fromLatin1(uid.c_str());
}

std::vector<Uint16> completeImagePixels(const QString& path)
{
    static std::once_flag once;
    std::call_once(once, [] {
        DJLSDecoderRegistration::registerCodecs();
        DJDecoderRegistration::registerCodecs();
    });
    DcmFileFormat file;
    if (file.loadFile(path.toLocal8Bit().constData()).bad() || file.loadAllDataIntoMemory().bad())
        return {};
    DcmDataset& ds = *file.getDataset();
    Uint16 rows = 0;
    Uint16 columns = 0;
    if (ds.findAndGetUint16(DCM_Rows, rows).bad() || ds.findAndGetUint16(DCM_Columns, columns).bad()
        || ds.chooseRepresentation(EXS_LittleEndianExplicit, nullptr).bad())
        return {};
    const Uint16* words = nullptr;
    unsigned long count = 0;
    if (ds.findAndGetUint16Array(DCM_PixelData, words, &count).bad() || !words
        || count != static_cast<unsigned long>(rows) * columns)
        return {};
    return std::vector<Uint16>(words, words + count);
}

QStringList dciodvfyErrors(const QString& path)
{
    // It exits with 1 when it finds errors, with 0 when it finds none.
    ChildProcess dciodvfy(QStringLiteral("dciodvfy"), {path}, ChildProcess::Stream::Discard, ChildProcess::Stream::Pipe);
    if (dciodvfy.waitForExit(30000) < 0)
        return {QStringLiteral("dciodvfy did not finish for ") + path};
    QStringList errors;
    for (const QString& line : QString::fromLocal8Bit(dciodvfy.standardError()).split(QLatin1Char('\n')))
        if (line.startsWith(QLatin1String("Error")) && !line.contains(QLatin1String("Body Part Examined"))
            && !line.contains(QLatin1String("invalid data values for Value Representations")))
            errors << line;
    return errors;
}

QStringList valuesIn(const QStringList& files, const DcmTagKey& key)
{
    QStringList values;
    for (const QString& file : files)
        values << DicomFile(file).text(key);
    values.sort();
    return values;
}

} // namespace skiascan::test

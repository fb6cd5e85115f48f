// Writes the seed corpora of the fuzz targets: small valid inputs of every kind
// the program meets, and a few broken ones.
//
//   fuzz_seeds DIR     writes DIR/tiff, DIR/settings, DIR/worklist, DIR/answers, DIR/outbox

#include "delivery/outbox.h"
#include "dicom/dicom_toolkit.h"
#include "dicom/image_attributes.h"
#include "settings/settings_file.h"

#include <dcmtk/config/osconfig.h>
#include <dcmtk/dcmdata/dcdeftag.h>
#include <dcmtk/dcmdata/dcostrmb.h>
#include <dcmtk/dcmdata/dcdatset.h>

#include <QDir>
#include <QFile>

#include <tiffio.h>

#include <cstdio>
#include <vector>

namespace {

void writeFile(const QString& path, const QByteArray& bytes)
{
    QFile file(path);
    if (file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        file.write(bytes);
}

QByteArray readFile(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

void writeTiff(const QString& path, uint16_t bits, uint16_t samples, uint16_t photometric, uint16_t compression,
               bool tiled)
{
    TIFF* tif = TIFFOpen(path.toLocal8Bit().constData(), "w");
    if (!tif)
        return;
    const uint32_t width = 40;
    const uint32_t height = 30;
    TIFFSetField(tif, TIFFTAG_IMAGEWIDTH, width);
    TIFFSetField(tif, TIFFTAG_IMAGELENGTH, height);
    TIFFSetField(tif, TIFFTAG_BITSPERSAMPLE, bits);
    TIFFSetField(tif, TIFFTAG_SAMPLESPERPIXEL, samples);
    TIFFSetField(tif, TIFFTAG_PHOTOMETRIC, photometric);
    TIFFSetField(tif, TIFFTAG_COMPRESSION, compression);
    TIFFSetField(tif, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG);
    TIFFSetField(tif, TIFFTAG_XRESOLUTION, 254.0f);
    TIFFSetField(tif, TIFFTAG_YRESOLUTION, 254.0f);
    TIFFSetField(tif, TIFFTAG_RESOLUTIONUNIT, RESUNIT_INCH);
    const std::size_t rowBytes = std::size_t(width) * samples * bits / 8;
    if (tiled) {
        TIFFSetField(tif, TIFFTAG_TILEWIDTH, 16);
        TIFFSetField(tif, TIFFTAG_TILELENGTH, 16);
        std::vector<unsigned char> tile(16 * 16 * samples * bits / 8, 0x5A);
        for (uint32_t y = 0; y < height; y += 16)
            for (uint32_t x = 0; x < width; x += 16)
                TIFFWriteTile(tif, tile.data(), x, y, 0, 0);
    } else {
        TIFFSetField(tif, TIFFTAG_ROWSPERSTRIP, 7);
        std::vector<unsigned char> row(rowBytes);
        for (uint32_t y = 0; y < height; ++y) {
            for (std::size_t i = 0; i < rowBytes; ++i)
                row[i] = static_cast<unsigned char>(i * 7 + y);
            TIFFWriteScanline(tif, row.data(), y, 0);
        }
    }
    TIFFClose(tif);
}

QByteArray encodeDataSet(DcmDataset& ds, E_TransferSyntax syntax = EXS_LittleEndianExplicit,
                         E_EncodingType encoding = EET_ExplicitLength)
{
    std::vector<char> buffer(1 << 16);
    DcmOutputBufferStream stream(buffer.data(), buffer.size());
    ds.transferInit();
    ds.write(stream, syntax, encoding, nullptr);
    ds.transferEnd();
    void* bytes = nullptr;
    offile_off_t length = 0;
    stream.flushBuffer(bytes, length);
    return QByteArray(static_cast<const char*>(bytes), static_cast<qsizetype>(length));
}

void fillAnswer(DcmDataset& ds, const char* charset, const QByteArray& name, bool withStep, bool withCode)
{
    if (charset)
        ds.putAndInsertString(DCM_SpecificCharacterSet, charset);
    ds.putAndInsertString(DCM_PatientName, name.constData());
    ds.putAndInsertString(DCM_PatientID, "PID-1");
    ds.putAndInsertString(DCM_PatientBirthDate, "19600201");
    ds.putAndInsertString(DCM_PatientSex, "F");
    ds.putAndInsertString(DCM_AccessionNumber, "ACC1");
    if (withCode) {
        DcmItem* code = nullptr;
        ds.findOrCreateSequenceItem(DCM_RequestedProcedureCodeSequence, code, -2);
        code->putAndInsertString(DCM_CodeValue, " CHEST ");
    }
    if (withStep) {
        DcmItem* step = nullptr;
        ds.findOrCreateSequenceItem(DCM_ScheduledProcedureStepSequence, step, -2);
        step->putAndInsertString(DCM_ScheduledProcedureStepStartTime, "093000.5");
        step->putAndInsertString(DCM_Modality, "CR");
    }
}

QByteArray worklistAnswer(const char* charset, const QByteArray& name, bool withStep, bool withCode)
{
    DcmDataset ds;
    fillAnswer(ds, charset, name, withStep, withCode);
    return encodeDataSet(ds);
}

// An answer as the C-FIND target reads it: a byte choosing explicit (0) or
// implicit (1) VR, then the data set, sequences of defined or undefined length.
QByteArray encodedAnswer(bool implicitVR, E_EncodingType encoding, const char* charset, const QByteArray& name)
{
    DcmDataset ds;
    fillAnswer(ds, charset, name, true, true);
    return QByteArray(1, implicitVR ? '\1' : '\0')
        + encodeDataSet(ds, implicitVR ? EXS_LittleEndianImplicit : EXS_LittleEndianExplicit, encoding);
}

} // namespace

int main(int argc, char** argv)
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s DIR\n", argv[0]);
        return 2;
    }
    TIFFSetWarningHandler(nullptr);
    TIFFSetErrorHandler(nullptr);
    const QDir dir(QString::fromLocal8Bit(argv[1]));
    for (const char* sub : {"tiff", "settings", "worklist", "answers", "outbox"})
        dir.mkpath(QLatin1String(sub));

    int n = 0;
    for (uint16_t bits : {8, 16})
        for (uint16_t compression : {COMPRESSION_NONE, COMPRESSION_LZW, COMPRESSION_ADOBE_DEFLATE, COMPRESSION_PACKBITS})
            for (bool tiled : {false, true})
                writeTiff(dir.filePath(QStringLiteral("tiff/gray%1.tif").arg(++n)), bits, 1, PHOTOMETRIC_MINISBLACK,
                          compression, tiled);
    writeTiff(dir.filePath(QStringLiteral("tiff/white.tif")), 16, 1, PHOTOMETRIC_MINISWHITE, COMPRESSION_NONE, false);
    writeTiff(dir.filePath(QStringLiteral("tiff/rgb.tif")), 8, 3, PHOTOMETRIC_RGB, COMPRESSION_NONE, false);

    using skiascan::SettingsLines;
    const SettingsLines lines = {"/opt/scanner/SCANFILE.EXE", "/R:150", "/scans/", "/opt/acr", "SKIASCAN", "1500",
                                 "3000", "PACS|10.0.0.5|104", "||", "AE|", "10.0.0.7", "104", "WLSRV", "CR", "SKIA1",
                                 QString::fromUtf8("Röntgen €")};
    const QByteArray settings = skiascan::encodeSettingsFile(lines);
    writeFile(dir.filePath(QStringLiteral("settings/valid.ini")), settings);
    writeFile(dir.filePath(QStringLiteral("settings/lf.ini")), QByteArray(settings).replace("\r\n", "\n"));
    writeFile(dir.filePath(QStringLiteral("settings/short.ini")), settings.left(settings.lastIndexOf("SKIA1")));
    writeFile(dir.filePath(QStringLiteral("settings/badport.ini")), QByteArray(settings).replace("\r\n104\r\n", "\r\nabc\r\n"));

    // The worklist target builds its answers from the input: any bytes will do.
    writeFile(dir.filePath(QStringLiteral("worklist/plain.dcm")), worklistAnswer(nullptr, "Smith^John^Q", true, true));
    writeFile(dir.filePath(QStringLiteral("worklist/latin1.dcm")),
              worklistAnswer("ISO_IR 100", "M\xFCller^J\xFCrgen", true, true));
    writeFile(dir.filePath(QStringLiteral("worklist/utf8.dcm")),
              worklistAnswer("ISO_IR 192", "\xC3\x98" "deg\xC3\xA5rd^\xC3\x85se", true, false));
    writeFile(dir.filePath(QStringLiteral("worklist/nostep.dcm")), worklistAnswer(nullptr, "O'Neil^Mary", false, true));

    for (bool implicitVR : {false, true})
        for (E_EncodingType encoding : {EET_ExplicitLength, EET_UndefinedLength})
            writeFile(dir.filePath(QStringLiteral("answers/%1%2.bin").arg(implicitVR).arg(int(encoding))),
                      encodedAnswer(implicitVR, encoding, "ISO_IR 100", "M\xFCller^J\xFCrgen"));
    writeFile(dir.filePath(QStringLiteral("answers/groups.bin")),
              encodedAnswer(false, EET_ExplicitLength, "ISO_IR 192", "Yamada^Tarou=\xE5\xB1\xB1\xE7\x94\xB0^\xE5\xA4\xAA\xE9\x83\x8E"));

    // An outbox entry: its entry file, a NUL byte, its image file.
    const QString tiff = dir.filePath(QStringLiteral("tiff/gray1.tif"));
    skiascan::dicom::Image image;
    image.importFile(tiff, QStringLiteral("TIF"));
    const skiascan::dicom::StudyRecord record{"Seed", "Film", "", "S-1", "19600201", "O", "20261207", "", "", "", "CHEST",
                                              "1500", "3000"};
    skiascan::dicom::setImageProperties(image, record);
    skiascan::dicom::addImageAttributes(image, record, {"2.25.1", "10:00:00", "2.25.2", "2.25.42", 1, {}},
                                        QDate(2026, 12, 7), [] { return QTime(10, 0, 1); });
    const QString saved = dir.filePath(QStringLiteral("outbox/image.tmp"));
    image.saveFile(saved);
    skiascan::OutboxEntry entry;
    entry.instanceUid = QStringLiteral("2.25.42");
    entry.patientName = QStringLiteral("Seed^Film");
    entry.patientId = QStringLiteral("S-1");
    entry.number = 1;
    entry.scanned = entry.kept = QDateTime(QDate(2026, 12, 7), QTime(10, 0, 1));
    entry.owed.push_back({"PACS1", "127.0.0.1", 104, "connection refused", entry.kept});
    entry.owed.push_back({"PACS2", "10.0.0.9", 11112, "", {}});
    const QByteArray json = skiascan::Outbox::toJson(entry);
    writeFile(dir.filePath(QStringLiteral("outbox/entry.bin")), json + QByteArray(1, '\0') + readFile(saved));
    writeFile(dir.filePath(QStringLiteral("outbox/notdicom.bin")), json + QByteArray(1, '\0') + "not DICOM");
    QFile::remove(saved);
    return 0;
}

// Worklist answers as they come off the network, decoded by their own
// character set before anything reads them.
#include "common/failure.h"
#include "dicom/dcmtk_internal.h"
#include "support/conditions.h"
#include "support/qt_printers.h"

#include <dcmtk/dcmdata/dcostrmb.h>

#include <gtest/gtest.h>

using namespace skiascan;
using namespace skiascan::dicom;

namespace {

QString nameOf(const char* charset, const char* bytes)
{
    DcmDataset answer;
    if (charset)
        answer.putAndInsertString(DCM_SpecificCharacterSet, charset);
    answer.putAndInsertString(DCM_PatientName, bytes);
    return answerDataSet(answer).patientName();
}

} // namespace

TEST(WorklistAnswers, AreReadInTheirOwnCharacterSet)
{
    EXPECT_EQ(nameOf("ISO_IR 100", "M\xFCller^J\xFCrgen"), QString::fromUtf8("Müller^Jürgen"));
    EXPECT_EQ(nameOf("ISO_IR 192", "\xC3\x98" "deg\xC3\xA5rd"), QString::fromUtf8("Ødegård"));
    EXPECT_EQ(nameOf("ISO_IR 144", "\xBF\xE3\xE8\xDA\xD8\xDD"), QString::fromUtf8("Пушкин"));
    EXPECT_EQ(nameOf("ISO_IR 13", "\xD4\xB3\xC0\xDE"), QString::fromUtf8("ﾔｳﾀﾞ"));
}

TEST(WorklistAnswers, WithoutADeclaredSetUtf8IsTakenAsSuchAndAnythingElseAsLatin1)
{
    EXPECT_EQ(nameOf(nullptr, "G\xC3\xB3mez^In\xC3\xA9s"), QString::fromUtf8("Gómez^Inés"));
    EXPECT_EQ(nameOf(nullptr, "G\xF3mez^In\xE9s"), QString::fromUtf8("Gómez^Inés"));
    EXPECT_EQ(nameOf(nullptr, "Smith^John"), "Smith^John");
}

TEST(WorklistAnswers, TextThatCannotBeDecodedIsEmptiedAndNamed)
{
    DcmDataset answer;
    answer.putAndInsertString(DCM_SpecificCharacterSet, "ISO_IR 192");
    answer.putAndInsertString(DCM_PatientName, "M\xFCller^J\xFCrgen"); // Latin-1 bytes, not UTF-8
    answer.putAndInsertString(DCM_PatientID, "\xC3\x98-1");
    const DataSet decoded = answerDataSet(answer);
    EXPECT_EQ(decoded.patientName(), "");
    EXPECT_EQ(decoded.patientId(), QString::fromUtf8("Ø-1"));
    ASSERT_EQ(decoded.undecodable().size(), 1u);
    EXPECT_EQ(decoded.undecodable()[0], std::make_pair(quint16(0x0010), quint16(0x0010)));
}

namespace {

QByteArray encoded(DcmDataset& answer, E_TransferSyntax syntax, E_EncodingType encoding)
{
    std::vector<char> buffer(1 << 16);
    DcmOutputBufferStream stream(buffer.data(), buffer.size());
    answer.transferInit();
    answer.write(stream, syntax, encoding, nullptr);
    answer.transferEnd();
    void* bytes = nullptr;
    offile_off_t length = 0;
    stream.flushBuffer(bytes, length);
    return QByteArray(static_cast<const char*>(bytes), static_cast<qsizetype>(length));
}

DataSet parsed(const QByteArray& bytes, E_TransferSyntax syntax)
{
    DcmDataset request;
    request.insertEmptyElement(DCM_PatientName);
    DcmItem* step = nullptr;
    request.findOrCreateSequenceItem(DCM_ScheduledProcedureStepSequence, step, -2);
    step->insertEmptyElement(DCM_Modality);
    return parseAnswer(reinterpret_cast<const unsigned char*>(bytes.constData()), std::size_t(bytes.size()), syntax,
                       request);
}

} // namespace

TEST(WorklistAnswers, KeepWhatWasAskedForAndRefuseLengthsTheirBytesCannotHold)
{
    DcmDataset answer;
    answer.putAndInsertString(DCM_PatientName, "Smith^John");
    answer.putAndInsertString(DCM_PatientComments, "not asked for");
    DcmItem* step = nullptr;
    answer.findOrCreateSequenceItem(DCM_ScheduledProcedureStepSequence, step, -2);
    step->putAndInsertString(DCM_Modality, "CR");
    step->putAndInsertString(DCM_ScheduledStationName, "not asked for");
    for (E_TransferSyntax syntax : {EXS_LittleEndianExplicit, EXS_LittleEndianImplicit}) {
        for (E_EncodingType encoding : {EET_ExplicitLength, EET_UndefinedLength}) {
            const QByteArray bytes = encoded(answer, syntax, encoding);
            const DataSet kept = parsed(bytes, syntax);
            EXPECT_EQ(kept.patientName(), "Smith^John");
            EXPECT_FALSE(kept.text(0x0010, 0x4000));
            ASSERT_TRUE(kept.sequence(0x0040, 0x0100));
            EXPECT_EQ(kept.sequence(0x0040, 0x0100)->item(1).text(0x0008, 0x0060), "CR");
            EXPECT_FALSE(kept.sequence(0x0040, 0x0100)->item(1).text(0x0040, 0x0010));
            // The name, then the modality inside the item, claim nearly 4 GB.
            for (const QByteArray& value : {QByteArray("Smith^John"), QByteArray("CR")}) {
                QByteArray claiming = bytes;
                const qsizetype at = claiming.indexOf(value);
                ASSERT_GT(at, 0);
                if (syntax == EXS_LittleEndianExplicit) // two bytes of length: the most they say is 64 KB
                    claiming.replace(at - 2, 2, QByteArray("\xFF\xFE"));
                else
                    claiming.replace(at - 4, 4, QByteArray("\xF0\xFF\xFF\x7F"));
                try {
                    parsed(claiming, syntax);
                    ADD_FAILURE() << "a claim beyond the bytes was parsed";
                } catch (const Failure& e) {
                    EXPECT_EQ(e.kind(), Failure::Kind::Limit);
                    EXPECT_TRUE(e.description().contains("claims")) << e.description().toStdString();
                }
            }
        }
    }
    // A value representation DCMTK does not know has a four-byte length: here
    // 256 MB claimed in a few bytes (a fuzzing finding).
    const long before = test::peakResidentKilobytes();
    const QByteArray unknownVR("\x08\x00\x50\x00SA\0\0\0\0\0\x10short!", 18);
    EXPECT_THROW(parsed(unknownVR, EXS_LittleEndianExplicit), Failure);
    EXPECT_LT(test::peakResidentKilobytes() - before, 50 * 1024);
}

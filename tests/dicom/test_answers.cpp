// Worklist answers as they come off the network, decoded by their own
// character set before anything reads them.
#include "common/failure.h"
#include "dicom/dcmtk_internal.h"
#include "support/qt_printers.h"

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

TEST(WorklistAnswers, AnAnswerFarTooLargeForAnEntryIsRefused)
{
    DcmDataset answer;
    answer.putAndInsertString(DCM_PatientName, "Smith^John");
    answer.putAndInsertOFStringArray(DCM_PatientComments, OFString(2 * 1024 * 1024, 'x'));
    EXPECT_THROW(answerDataSet(answer), Failure);
}

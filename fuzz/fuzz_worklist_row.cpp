// Fuzz target: one worklist answer turned into the nine cells of a list row.
//
// The answer is built from the input rather than parsed from it (parsing is
// fuzz_find_answers' part): built answers put any bytes under any character set
// into the attributes the row is made of, in sequences or not, present, empty or
// missing, which random bytes through the parser would seldom reach.
#include "dicom/dcmtk_internal.h"
#include "fuzz_support.h"
#include "worklist/worklist_entries.h"

#include <fuzzer/FuzzedDataProvider.h>

namespace {

const DcmTagKey kTextTags[] = {DCM_PatientName, DCM_PatientID, DCM_PatientBirthDate, DCM_PatientSex,
                               DCM_AccessionNumber, DCM_SpecificCharacterSet, DCM_StudyInstanceUID};
const char* const kCharsets[] = {"", "ISO_IR 100", "ISO_IR 192", "ISO_IR 101", "ISO_IR 144", "ISO_IR 13",
                                 "ISO 2022 IR 87", "\\ISO 2022 IR 149", "GB18030", "ISO_IR 6", "NOPE"};

void putBytes(DcmItem& item, const DcmTagKey& key, const std::string& bytes)
{
    item.putAndInsertOFStringArray(key, OFString(bytes.data(), bytes.size()));
}

void fillSequence(DcmItem& parent, const DcmTagKey& sequence, const DcmTagKey& inner, FuzzedDataProvider& in)
{
    switch (in.ConsumeIntegralInRange(0, 3)) {
    case 0: // missing
        return;
    case 1: // present, no item
        parent.insertEmptyElement(sequence);
        return;
    default: {
        const int items = in.ConsumeIntegralInRange(1, 3);
        for (int i = 0; i < items; ++i) {
            DcmItem* item = nullptr;
            if (parent.findOrCreateSequenceItem(sequence, item, -2).bad() || !item)
                return;
            if (in.ConsumeBool())
                putBytes(*item, inner, in.ConsumeRandomLengthString(40));
        }
    }
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    using namespace skiascan;
    FuzzedDataProvider in(data, size);
    DcmDataset answer;
    const std::string charset = kCharsets[in.ConsumeIntegralInRange<size_t>(0, std::size(kCharsets) - 1)];
    if (!charset.empty())
        putBytes(answer, DCM_SpecificCharacterSet, charset);
    const int attributes = in.ConsumeIntegralInRange(0, 8);
    for (int i = 0; i < attributes; ++i) {
        const DcmTagKey& key = kTextTags[in.ConsumeIntegralInRange<size_t>(0, std::size(kTextTags) - 1)];
        putBytes(answer, key, in.ConsumeRandomLengthString(80));
    }
    fillSequence(answer, DCM_ScheduledProcedureStepSequence, DCM_ScheduledProcedureStepStartTime, in);
    fillSequence(answer, DCM_RequestedProcedureCodeSequence, DCM_CodeValue, in);

    // An entry that cannot be listed ends the list (a Failure); the cells so far stay.
    fuzz::refusalsOnly([&] {
        dicom::ensureToolkitReady();
        const dicom::DataSet entry = dicom::answerDataSet(answer);
        WorklistRow row;
        unreadableFields(entry);
        fillWorklistRow(entry, row, QLocale(QLocale::German, QLocale::Germany));
    });
    return 0;
}

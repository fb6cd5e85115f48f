// Fuzz target: one C-FIND answer as the network receive path has it, the bytes
// of its data set, checked against what they claim, parsed, decoded and listed
// as a row of the worklist.
//
// The first byte chooses the transfer syntax (even: explicit VR, odd: implicit
// VR, both little endian, the two the query proposes); the rest is the data set.
#include "dicom/dcmtk_internal.h"
#include "fuzz_support.h"
#include "worklist/worklist_entries.h"
#include "worklist/worklist_query.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    using namespace skiascan;
    if (size < 1)
        return 0;
    fuzz::refusalsOnly([&] {
        dicom::ensureToolkitReady();
        const E_TransferSyntax syntax = data[0] % 2 ? EXS_LittleEndianImplicit : EXS_LittleEndianExplicit;
        static const dicom::DataSet request = worklistIdentifier(
            {QStringLiteral("127.0.0.1"), 104, QStringLiteral("WLSRV"), QStringLiteral("SKIASCAN"), QStringLiteral("CR"),
             QStringLiteral("SKIA1"), QStringLiteral("ROOM1")},
            QDate(2026, 12, 7));
        const dicom::DataSet answer = dicom::parseAnswer(data + 1, size - 1, syntax, *request.impl().item);
        WorklistRow row;
        unreadableFields(answer);
        fillWorklistRow(answer, row, QLocale(QLocale::German, QLocale::Germany));
    });
    return 0;
}

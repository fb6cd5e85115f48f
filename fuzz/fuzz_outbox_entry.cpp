// Fuzz target: an outbox entry as a round finds it after a crash or a bad disk,
// its entry file and its image, read up to the point where it would be sent.
//
// The input is the entry file's bytes, a NUL byte, then the image file's bytes.
#include "delivery/outbox.h"
#include "dicom/dicom_toolkit.h"
#include "fuzz_support.h"

#include <QDir>

#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    using namespace skiascan;
    const QByteArray bytes(reinterpret_cast<const char*>(data), static_cast<qsizetype>(size));
    const qsizetype split = bytes.indexOf('\0');
    const QByteArray entryBytes = split < 0 ? bytes : bytes.left(split);
    const QByteArray imageBytes = split < 0 ? QByteArray() : bytes.mid(split + 1);

    // What the entry file says must come back the same from the bytes written for it.
    OutboxEntry parsed;
    if (Outbox::fromJson(entryBytes, parsed)) {
        const QByteArray again = Outbox::toJson(parsed);
        OutboxEntry reparsed;
        if (!Outbox::fromJson(again, reparsed) || Outbox::toJson(reparsed) != again)
            std::abort();
    }

    const QString folder = fuzz::scratchPath("program");
    QDir(folder + "/Outbox").removeRecursively();
    QDir().mkpath(folder + "/Outbox");
    fuzz::writeFile(folder + "/Outbox/2.25.42.entry", entryBytes);
    fuzz::writeFile(folder + "/Outbox/2.25.42.dcm", imageBytes);
    Outbox outbox(folder);
    for (const OutboxEntry& entry : outbox.entries()) {
        fuzz::refusalsOnly([&] {
            try {
                dicom::Image image = outbox.loadImage(entry);
                image.text(0x0008, 0x0018);
                image.saveFile(fuzz::scratchPath("again.dcm")); // the form it would go out in
            } catch (const Failure& e) {
                outbox.setAsideDamaged(entry, e.description());
            }
        });
    }
    return 0;
}

// Fuzz target: an outbox entry as the resend finds it, a file name and a file,
// read up to the point where it would be sent.
#include "common/failure.h"
#include "dicom/dicom_toolkit.h"
#include "delivery/delivery.h"
#include "fuzz_support.h"

#include <QDir>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    using namespace skiascan;
    // The first line is taken for a file name, the rest for the file.
    const QByteArray bytes(reinterpret_cast<const char*>(data), static_cast<qsizetype>(size));
    const qsizetype newline = bytes.indexOf('\n');
    Outbox::Entry parsed;
    Outbox::parseName(QString::fromLatin1(newline < 0 ? bytes : bytes.left(newline)), parsed);

    const QString folder = fuzz::scratchPath("program");
    QDir(folder + "/Outbox").removeRecursively();
    QDir().mkpath(folder + "/Outbox");
    const QByteArray file = newline < 0 ? bytes : bytes.mid(newline + 1);
    fuzz::writeFile(folder + "/Outbox/20261207101530123-2.25.42-n01.dcm", file);
    Outbox outbox(folder);
    for (Outbox::Entry entry : outbox.entries()) {
        try {
            dicom::Image image = dicom::Image::loadFile(entry.path);
            image.text(0x0008, 0x0018);
            image.saveFile(fuzz::scratchPath("again.dcm")); // the form it would go out in
        } catch (const Failure&) {
            outbox.moveAside(entry);
        }
    }
    return 0;
}

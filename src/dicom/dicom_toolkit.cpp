#include "dicom/dicom_toolkit.h"

#include <dcmtk/ofstd/ofuuid.h>

namespace skiascan::dicom {

QString UidGenerator::newUid() const
{
    OFUUID uuid; // generated on construction
    OFString text;
    uuid.toString(text, OFUUID::ER_RepresentationOID);
    return QString::fromLatin1(text.c_str());
}

} // namespace skiascan::dicom

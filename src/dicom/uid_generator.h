// Unique identifiers for studies, series and images.
#pragma once

#include <QString>

namespace skiascan::dicom {

/// Makes unique identifiers: "2.25." followed by a random 128-bit UUID in decimal
/// (ISO/IEC 9834-8), so no organisation root is needed.
class UidGenerator {
public:
    /// A fresh UID, at most 64 characters, different on every call.
    QString newUid() const;
};

} // namespace skiascan::dicom

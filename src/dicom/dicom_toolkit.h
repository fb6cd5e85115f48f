// The DICOM toolkit: the only part of the program that talks to DCMTK.
#pragma once

#include <QString>

#include <stdexcept>

namespace skiascan::dicom {

/// Every failure of the toolkit. what() is a description for the operator, in UTF-8.
class DicomError : public std::runtime_error {
public:
    explicit DicomError(const QString& description)
        : std::runtime_error(description.toStdString()) {}
    QString description() const { return QString::fromUtf8(what()); }
};

/// Makes unique identifiers: "2.25." followed by a random 128-bit UUID in decimal
/// (ISO/IEC 9834-8), so no organisation root is needed.
class UidGenerator {
public:
    /// A fresh UID, at most 64 characters, different on every call.
    QString newUid() const;
};

} // namespace skiascan::dicom

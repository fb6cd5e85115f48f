// Which body parts are paired structures, for the attributes whose presence
// depends on it.
#pragma once

#include <QString>

namespace skiascan::dicom {

/// True when `bodyPart` is exactly a Body Part Examined defined term of an
/// unpaired structure (CHEST, SKULL, PELVIS, the spine, ...), in capitals as
/// DICOM writes it; blanks at its ends are padding and do not count. False for
/// paired structures (HAND, KNEE, ...) and for any other text: "Chest" is no
/// defined term, nor are "Unknown" and the empty text.
bool isUnpairedBodyPart(const QString& bodyPart);

} // namespace skiascan::dicom

// Which body parts are paired structures, for the attributes whose presence
// depends on it.
#pragma once

#include <QString>

namespace skiascan::dicom {

/// True when `bodyPart` (compared without regard to case, blanks at its ends
/// ignored) is a Body Part Examined defined term of an unpaired structure
/// (CHEST, SKULL, PELVIS, the spine, ...). False for paired structures (HAND,
/// KNEE, ...) and for any text that is not a defined term, "Unknown" and empty
/// text included.
bool isUnpairedBodyPart(const QString& bodyPart);

} // namespace skiascan::dicom

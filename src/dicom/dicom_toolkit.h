// The DICOM toolkit: images, data sets, UIDs, storage (with lossless
// compressed copies), verification and the worklist query. src/dicom is the
// only part of the program that includes DCMTK or libtiff; everything it
// offers speaks QString and QDate.
//
// Text goes in as the operator typed it. The toolkit writes dates as DICOM DA
// (YYYYMMDD) and times as TM (HHMMSS), and chooses the character set when an
// object leaves the program: ISO_IR 100 (Latin-1) when every character fits,
// otherwise ISO_IR 192 (UTF-8), recorded in Specific Character Set (0008,0005).
//
// Every failure is a skiascan::Failure whose description an operator can act on.
#pragma once

#include "common/failure.h"
#include "dicom/compression.h"
#include "dicom/data_set.h"
#include "dicom/image.h"
#include "dicom/network.h"
#include "dicom/uid_generator.h"

namespace skiascan::dicom {

/// Sends DCMTK's own warnings and errors to Logs/dcmtk.log in the program folder
/// (at most 1 MB, and one older file), for whoever looks after the workstation.
/// Until it is called they go nowhere.
void startToolkitLog(const QString& programFolder);

} // namespace skiascan::dicom

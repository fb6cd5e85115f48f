// The worklist query: the identifier of today's scheduled procedure steps at
// this station, and the query that sends it.
#pragma once

#include "dicom/dicom_toolkit.h"
#include "settings/settings_file.h"

#include <QDate>

namespace skiascan {

/// "YYYYMMDD-YYYYMMDD" for one day: the date range that matches that day.
QString dicomDayRange(const QDate& day);

/// The C-FIND identifier: every return key empty, the matching keys the three
/// station settings as they stand, `today` as the start date and the whole day
/// as the start time; four sequences of one item each, attributes in ascending
/// tag order.
dicom::DataSet worklistIdentifier(const Settings& settings, const QDate& today);

/// Runs the query for `today` at the worklist server of the settings, with the
/// local AE title as calling AE title. Throws dicom::DicomError.
dicom::DataSetCollection queryWorklist(const Settings& settings, const QDate& today);

} // namespace skiascan

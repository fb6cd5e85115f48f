// The worklist query: the identifier of today's scheduled procedure steps at
// this station, and the query that sends it.
#pragma once

#include "dicom/data_set.h"
#include "dicom/network.h"

#include <QDate>
#include <QString>

namespace skiascan {

/// Where the worklist is asked, and for which station: the server, this
/// station's AE title, and the three station keys the query matches on (empty
/// matches any); what the query may take of the server; and whether it goes
/// over TLS (its PEM paths absolute).
struct WorklistStation {
    QString host;
    qint32 port = 0;
    QString calledAETitle;  // the server's
    QString callingAETitle; // this station's (Local AET)
    QString scheduledModality;
    QString scheduledAETitle;
    QString scheduledStationName;
    dicom::NetworkTimeouts timeouts;
    dicom::QueryLimits limits;
    /// A pick carries the scheduled study into the images: the protocol codes
    /// are asked for whole (with their coding scheme and meaning), so that they
    /// can be carried.
    bool scheduledStudy = false;
    TlsSettings tls;
};

/// "YYYYMMDD-YYYYMMDD" for one day: the date range that matches that day.
QString dicomDayRange(const QDate& day);

/// The C-FIND identifier: every return key empty, the matching keys the three
/// station settings as they stand, `today` as the start date and the whole day
/// as the start time; four sequences of one item each, attributes in ascending
/// tag order.
dicom::DataSet worklistIdentifier(const WorklistStation& station, const QDate& today);

/// Runs the query for `today` at the station's worklist server, held to the
/// station's timeouts and limits; `guard`, when given, bounds it in place of
/// the limits' deadline and can cancel it. Throws Failure.
dicom::DataSetCollection queryWorklist(const WorklistStation& station, const QDate& today,
                                       dicom::NetworkGuard* guard = nullptr);

} // namespace skiascan

// The network services: verification (C-ECHO), the worklist query (C-FIND) and
// the timeouts of every association. Storage is Image::send().
#pragma once

#include "dicom/data_set.h"

#include <QString>

namespace skiascan::dicom {

/// Timeouts of every association, in seconds. Defaults: connect 10, ACSE 30, DIMSE 60.
struct NetworkTimeouts {
    int connectSeconds = 10;
    int acseSeconds = 30;
    int dimseSeconds = 60;
};

/// Changes the timeouts of associations opened from now on (tests make them short).
void setNetworkTimeouts(const NetworkTimeouts& timeouts);
NetworkTimeouts networkTimeouts();

/// A query of a worklist server (Modality Worklist Information Model, C-FIND).
/// Its properties are set before run().
class WorklistQuery {
public:
    QString host;
    qint32 port = 0;
    QString calledAETitle;
    QString callingAETitle;
    QString root; ///< the query root; "WORKLIST" is the only one known

    /// Sends the identifier and returns every matching data set, in the order the
    /// server sent them. Each answer's text is decoded by its own Specific
    /// Character Set (Latin-1, UTF-8, and the other sets DCMTK can convert); an
    /// answer without one is read as UTF-8 when it is valid UTF-8, else as
    /// Latin-1. Throws Failure when the server cannot be reached, refuses the
    /// query, does not answer in time or ends it with a failure status.
    DataSetCollection run(const DataSet& identifier) const;
};

/// Sends a C-ECHO to a node and returns when it has answered with success.
/// Throws Failure otherwise.
void verify(const QString& host, qint32 port, const QString& calledAETitle, const QString& callingAETitle);

/// "AET (host:port)", the name a node goes by in messages.
QString nodeName(const QString& aeTitle, const QString& host, qint32 port);

} // namespace skiascan::dicom

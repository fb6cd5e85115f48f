// The one failure type of the program: a description an operator can act on,
// and what kind of failure it was, so that callers can decide what to do next
// (try a node again, move a file aside, tell the operator).
#pragma once

#include <QString>

#include <exception>
#include <stdexcept>

namespace skiascan {

class Failure : public std::runtime_error {
public:
    enum class Kind {
        General,     ///< none of the kinds below
        File,        ///< a file or folder could not be read, written or found
        Damaged,     ///< a file could be read but its content is not what it must be
        Settings,    ///< the settings file is missing a line or holds a bad value
        Scanner,     ///< the scanner program or the scan file
        Argument,    ///< a value handed over by the operator or a setting is unusable
        Unreachable, ///< a network peer: no connection, connection lost, no answer in time
        Rejected,    ///< a network peer refused the association or what it is for
        Status,      ///< a network peer answered with a failure status
        Limit,       ///< a peer or a file went beyond a bound (time, bytes, count)
        Cancelled,   ///< the operator cancelled
    };

    /// `detail`, when given, is what happened in the protocol's own terms
    /// (the DICOM operation, the toolkit's words): for the program log, not
    /// for the operator.
    explicit Failure(const QString& description, Kind kind = Kind::General, const QString& detail = {});

    /// The description, as shown to the operator.
    QString description() const { return QString::fromUtf8(what()); }
    Kind kind() const { return m_kind; }
    QString detail() const { return m_detail; }

private:
    Kind m_kind;
    QString m_detail;
};

/// The text of an exception for the program log: the description, and the
/// detail of a Failure after it in brackets when it has one.
QString logText(const std::exception& e);

/// The description of any exception: a Failure's own, "out of memory" for
/// std::bad_alloc, otherwise what() as UTF-8.
QString describe(const std::exception& e);

/// The description of what a background job threw: empty for none, "an
/// unknown failure" for what is not a std::exception.
QString describe(std::exception_ptr failure);

/// What a failed exchange with a network node means for the operator, in plain
/// words: what happened to which node, and what to do. `node` names the node as
/// a sentence starts with it ("The worklist server WLSRV (10.0.0.5:104)"). The
/// kind of the failure decides the words; the description, with its network
/// terms, belongs in the log. A failure that is not about the node (a file of
/// this station, say) keeps its description.
QString plainNodeFailure(const std::exception& e, const QString& node);

} // namespace skiascan

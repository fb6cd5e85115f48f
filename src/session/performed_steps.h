// The session's performed procedure steps: what tells the RIS that a study's
// work was done. The first film kept for a study opens its step (IN
// PROGRESS), each further film of the study adds its series and image, and
// the step ends when the study ends at this station (New Study, an edit that
// ends the study, another pick, Quit): COMPLETED with every image made, or
// DISCONTINUED when the operator removed them all. A step a crash left in
// progress ends at the next start with the images it has. Each change is
// written into the step outbox (delivery/step_outbox.h) before the MPPS node's
// worker sends anything of it.
#pragma once

#include "delivery/delivery_service.h"
#include "scan/film_record.h"
#include "settings/options_file.h"
#include "settings/settings_file.h"

#include <QString>
#include <QTimer>

#include <functional>
#include <optional>
#include <vector>

namespace skiascan {

/// The MPPS node as the delivery service reaches it: none while reporting is
/// off; with a problem when a value it needs is missing.
std::optional<Node> stepNodeOf(const MppsSettings& mpps);

class PerformedSteps {
public:
    /// What a step says of the station that made it.
    struct Station {
        bool enabled = false;    ///< steps are reported (Mpps/Enabled)
        NodeId node;             ///< the MPPS node new steps are owed to
        QString aeTitle;         ///< Performed Station AE Title: LocalAET
        QString name;            ///< Performed Station Name: ScheduledStation
        QString retrieveAETitle; ///< where the images can be retrieved from: the first node's AE title
    };

    /// Steps kept in `delivery`'s step outbox. `currentStudy` tells the
    /// session's current Study Instance UID (empty when the next film opens a
    /// new study). Both must outlive it.
    PerformedSteps(DeliveryService& delivery, std::function<QString()> currentStudy);

    /// What the steps say of this station, from the settings; returns the
    /// MPPS node for the delivery service (stepNodeOf()).
    std::optional<Node> configure(const Settings& settings, const Options& options);

    /// `film` is in the outbox: it goes into the step in progress of its
    /// study, or opens one when there is none (only while steps are
    /// reported). A film the step lists already changes nothing. Failures are
    /// logged: the film is safe whatever happens to its step.
    void filmKept(const FilmRecord& film);

    /// The current study may have ended: once the event loop runs, the open
    /// step ends unless the study is the step's again (a change undone at
    /// once, such as a selection from the Sex list, or the same order picked
    /// again).
    void studyMayHaveEnded();

    /// Quit: the open step ends now, unless a film of its study is still in
    /// the scanner: the film `underWay`, or one of the `journal` whose file
    /// is there or whose scanner still works on it. Then it ends at the next
    /// start, after that film is recovered.
    void programEnds(const std::vector<FilmRecord>& journal, const std::optional<FilmRecord>& underWay);

    /// Start-up, after the journal's films are recovered: every step still in
    /// progress ends with the images it has.
    void endLeftOver();

private:
    void checkStudy();
    void end(StepEntry& entry, const QString& why);
    StepEntry newStep(const FilmRecord& film) const;
    dicom::PerformedSeries seriesOf(const FilmRecord& film) const;

    DeliveryService& m_delivery;
    std::function<QString()> m_currentStudy;
    Station m_station;
    std::optional<StepEntry> m_open; // the step of the current study, opened in this run
    QTimer m_check;                  // studyMayHaveEnded(), at the next turn of the event loop
};

} // namespace skiascan

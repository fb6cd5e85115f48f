// The review of held films: the operator's requests, one at a time in the
// order they came, and what the line below the buttons says of the films
// that wait for them.

#include "session/film_review.h"

#include "common/failure.h"
#include "common/program_log.h"
#include "common/text.h"
#include "dicom/blank_film.h"

#include <algorithm>

namespace skiascan {

namespace {

Failure::Kind kindOf(const std::exception_ptr& failure)
{
    try {
        std::rethrow_exception(failure);
    } catch (const Failure& e) {
        return e.kind();
    } catch (...) {
        return Failure::Kind::General;
    }
}

} // namespace

bool filmLooksBlank(const dicom::Image& image, const CancelFlag& cancel)
{
    try {
        return dicom::looksBlank(image, &cancel);
    } catch (const Failure& e) {
        if (e.kind() == Failure::Kind::Cancelled)
            throw;
        programlog::event(QStringLiteral("review: whether the film looks blank could not be found: %1").arg(logText(e)));
        return false;
    }
}

FilmReview::FilmReview(DeliveryService& delivery, QObject* parent)
    : QObject(parent)
    , m_delivery(delivery)
{
    // The operator's Remove in the outbox window takes held films away too.
    connect(&m_delivery, &DeliveryService::outboxChanged, this, &FilmReview::refresh);
}

FilmReview::~FilmReview()
{
    m_task.stop();
}

void FilmReview::accept(const QString& instanceUid)
{
    ask({instanceUid, Request::Kind::Accept});
}

void FilmReview::correct(const QString& instanceUid, dicom::Correction correction)
{
    ask({instanceUid, Request::Kind::Correct, correction});
}

void FilmReview::reject(const QString& instanceUid)
{
    ask({instanceUid, Request::Kind::Reject});
}

bool FilmReview::busy(const QString& instanceUid) const
{
    return std::any_of(m_requests.begin(), m_requests.end(),
                       [&](const Request& request) { return request.instanceUid == instanceUid; });
}

void FilmReview::ask(Request request)
{
    m_requests.push_back(std::move(request));
    if (!m_task.running())
        next();
}

void FilmReview::next()
{
    if (m_requests.empty() || m_task.running())
        return; // the one under way goes on to the next when it is done
    const Request request = m_requests.front();
    auto changed = std::make_shared<bool>(false);
    m_task.start(
        [request, changed, &outbox = m_delivery.outbox()](const CancelFlag&) {
            switch (request.kind) {
            case Request::Kind::Accept:
                *changed = outbox.release(request.instanceUid);
                break;
            case Request::Kind::Correct:
                outbox.correct(request.instanceUid, request.correction);
                *changed = true;
                break;
            case Request::Kind::Reject: {
                OutboxEntry entry;
                entry.instanceUid = request.instanceUid;
                outbox.place(entry);
                // Only a held film: one accepted is on its way to the nodes.
                if (!outbox.refresh(entry) || !entry.held)
                    throw Failure(QStringLiteral("%1 is no longer held for review; it cannot be rejected.")
                                      .arg(entry.filmText()),
                                  Failure::Kind::Argument);
                outbox.remove(entry);
                programlog::event(QStringLiteral("review: image %1 of %2 rejected by the operator; it is not sent")
                                      .arg(entry.instanceUid, entry.patientName));
                *changed = true;
                break;
            }
            }
        },
        [this, request, changed](std::exception_ptr failure) {
            m_requests.pop_front();
            done(request, *changed, failure);
            next();
        });
}

void FilmReview::done(const Request& request, bool changed, std::exception_ptr failure)
{
    const QString& uid = request.instanceUid;
    if (failure) {
        const QString why = describe(failure);
        programlog::event(QStringLiteral("review: a request for image %1 failed: %2").arg(uid, why));
        QString consequence = QStringLiteral("Nothing was changed.");
        if (kindOf(failure) != Failure::Kind::Argument)
            consequence = request.kind == Request::Kind::Correct ? QStringLiteral("The film stays held as it was.")
                                                                 : QStringLiteral("The film stays held.");
        emit failed(uid, failureText(why, consequence));
        refresh();
        return;
    }
    switch (request.kind) {
    case Request::Kind::Accept:
        if (changed) {
            // Every node it is owed to tries at once, whatever its pause.
            m_delivery.sendNow({uid});
            m_delivery.outboxEdited();
        }
        refresh();
        emit accepted(uid);
        break;
    case Request::Kind::Correct:
        emit corrected(uid);
        break;
    case Request::Kind::Reject:
        m_delivery.outboxEdited();
        refresh();
        emit rejected(uid);
        break;
    }
}

void FilmReview::refresh()
{
    std::vector<HeldFilm> held;
    for (const OutboxEntry& entry : m_delivery.outbox().entries())
        if (entry.held)
            held.push_back({entry.instanceUid, entry.patientName, entry.film, entry.number, entry.looksBlank});
    const auto same = [](const HeldFilm& a, const HeldFilm& b) {
        return a.instanceUid == b.instanceUid && a.looksBlank == b.looksBlank;
    };
    if (std::equal(held.begin(), held.end(), m_held.begin(), m_held.end(), same))
        return;
    m_held = std::move(held);
    emit heldChanged();
}

FilmReview::Line FilmReview::line() const
{
    Line line;
    if (m_held.empty())
        return line;
    const QString count = countOf(int(m_held.size()), QStringLiteral("film"), QStringLiteral("films"));
    line.tip = QStringLiteral("%1 held for review: no node gets %2 until %3 accepted in the film view.")
                   .arg(count,
                        m_held.size() == 1 ? QStringLiteral("it") : QStringLiteral("them"),
                        m_held.size() == 1 ? QStringLiteral("it is") : QStringLiteral("they are"));
    const auto blank = std::find_if(m_held.begin(), m_held.end(), [](const HeldFilm& film) { return film.looksBlank; });
    if (blank != m_held.end()) {
        line.forms << QStringLiteral("Film %1 looks blank: review it").arg(blank->which())
                   << QStringLiteral("Film %1 looks blank").arg(blank->which())
                   << QStringLiteral("Review film %1").arg(blank->which());
        line.tip += QStringLiteral("\n%1: film %2 of %3 is almost uniform, as when the scanner ran without a film.")
                        .arg(line.forms.front(), blank->which(), personName(blank->patientName));
        return line;
    }
    line.forms << count + QStringLiteral(" to review") << QStringLiteral("To review: %1").arg(m_held.size());
    return line;
}

} // namespace skiascan

// The review of films before they are sent: a film held for review waits in
// the outbox, owed to its nodes, until the operator accepts it (it is released
// to them at once), corrects it (a turn or a mirror of its pixels, made in its
// file) or rejects it (it goes to Outbox/removed/). The operator's requests
// for one film are carried out in the order they were made, one at a time, on
// a background task: a correction reads and writes a whole film. No window
// here: the window asks, and hears what became of the film.
#pragma once

#include "common/background.h"
#include "delivery/delivery_service.h"
#include "dicom/orientation.h"

#include <QDate>
#include <QObject>
#include <QString>
#include <QStringList>

#include <deque>
#include <memory>
#include <vector>

namespace skiascan {

namespace dicom {
class Image;
}

/// A film just imported, told to the window as soon as its image is built:
/// its outbox entry as it is being written ahead (placed: imagePath is where
/// its image will be), what the entry does not carry, and the image itself.
struct ArrivedFilm {
    OutboxEntry entry;
    QString bodyPart;
    QDate birthDate; ///< invalid when not known
    /// A light copy of the image (its pixels shared, not copied), made on the
    /// session's thread for the window's use on that thread.
    std::shared_ptr<const dicom::Image> image;
};

/// True when the film of `image` looks blank (dicom::looksBlank()), read on
/// the calling thread (the import's background task). A film that cannot be
/// measured is taken for one that is not blank, and the log says why.
bool filmLooksBlank(const dicom::Image& image, const CancelFlag& cancel);

class FilmReview : public QObject {
    Q_OBJECT

public:
    /// A film held for review, as its outbox entry has it.
    struct HeldFilm {
        QString instanceUid;
        QString patientName; ///< as DICOM writes it
        int film = 0;        ///< its place in its stack; 0 when not known
        int number = 0;      ///< its image number in its study
        bool looksBlank = false;
        /// "3": the film's place in its stack, or its image number when that is not known.
        QString which() const { return QString::number(film > 0 ? film : number); }
    };
    /// What the line below the buttons says of the films to review: its
    /// forms from the longest to the shortest, and what its tip says. Empty
    /// when no film is held.
    struct Line {
        QStringList forms;
        QString tip;
    };

    /// Works on the outbox of `delivery` and wakes its nodes; `delivery` must
    /// outlive the review.
    explicit FilmReview(DeliveryService& delivery, QObject* parent = nullptr);
    /// Waits for the request under way (a correction ends as a whole or not
    /// at all); those not yet begun are dropped and the films stay held.
    ~FilmReview() override;

    /// The operator accepted the held film: every node it is owed to gets it
    /// at once. Told by accepted(), or failed().
    void accept(const QString& instanceUid);
    /// The operator asked for a correction of the held film. Told by
    /// corrected() once its file holds the corrected image, or failed().
    void correct(const QString& instanceUid, dicom::Correction correction);
    /// The operator rejected the held film: it goes to Outbox/removed/ and is
    /// never sent. Told by rejected(), or failed().
    void reject(const QString& instanceUid);
    /// True while requests of the film wait or run.
    bool busy(const QString& instanceUid) const;

    /// Reads the outbox anew for the films held in it (at the start, after a
    /// film was kept, when the outbox changed).
    void refresh();
    /// The held films, oldest first, as last read.
    const std::vector<HeldFilm>& heldFilms() const { return m_held; }
    /// For the line below the buttons: "2 films to review", "1 film to
    /// review", or for a film that looks blank "Film 3 looks blank: review it"
    /// (3 being its place in its stack).
    Line line() const;

signals:
    void accepted(const QString& instanceUid);
    void corrected(const QString& instanceUid);
    void rejected(const QString& instanceUid);
    /// A request could not be carried out; `text` tells the operator why and
    /// what became of the film.
    void failed(const QString& instanceUid, const QString& text);
    /// heldFilms() changed.
    void heldChanged();

private:
    struct Request {
        enum class Kind { Accept, Correct, Reject };
        QString instanceUid;
        Kind kind = Kind::Accept;
        dicom::Correction correction = dicom::Correction::RotateRight;
    };
    void ask(Request request);
    void next();
    void done(const Request& request, bool changed, std::exception_ptr failure);

    DeliveryService& m_delivery;
    std::deque<Request> m_requests; // the first runs while m_task does
    std::vector<HeldFilm> m_held;
    BackgroundTask m_task;
};

} // namespace skiascan

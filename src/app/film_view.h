// The film view: a window of its own beside the main window that shows one
// film fitted to it, who and what it is, where it stands, and the earlier
// films of the session as thumbnails. While a film is held for review the
// operator corrects, accepts or rejects it here; the window only asks, the
// session does it and tells the window what became of the film.
#pragma once

#include "common/background.h"
#include "dicom/film_render.h"
#include "dicom/orientation.h"

#include <QDate>
#include <QPixmap>
#include <QPointer>
#include <QString>
#include <QWidget>

#include <memory>
#include <optional>
#include <vector>

class QAction;
class QLabel;
class QListWidget;
class QMessageBox;

namespace skiascan {

class FilmPicture;

/// What the film view shows of one film.
struct FilmInView {
    QString instanceUid; ///< SOP Instance UID: names the film in the window's requests
    /// The film's image file (its outbox entry). Read whenever the film is
    /// shown and `image` is not there.
    QString imagePath;
    /// The film in memory (a sharedCopy() made on the window's thread), for a
    /// film just imported whose file may not be written yet. When `imagePath`
    /// is given, the view lets go of it once it has read it, or at once while
    /// the view is hidden.
    std::shared_ptr<const dicom::Image> image;
    QString patientName; ///< as DICOM writes it: "Müller^Jürgen"
    QString patientId;
    QDate birthDate;     ///< invalid when not known
    QString bodyPart;
    QString study;       ///< the study's description, or what names it
    int filmNumber = 1;  ///< its place in its stack: film 2 ...
    int filmCount = 1;   ///< ... of 6
    QString state;       ///< where it stands: "held for review", "sent to PACS1", ...
    bool held = false;   ///< held for review: it may be corrected, accepted or rejected
    bool viewOnly = false; ///< it has gone to a node: it can only be looked at
};

/// "Reject film 2 of Müller, Jürgen? It will not be sent."
QString rejectQuestion(const FilmInView& film);

class FilmView : public QWidget {
    Q_OBJECT

public:
    explicit FilmView(QWidget* parent = nullptr);
    ~FilmView() override;

    /// The window that films are shown through unless the operator sets
    /// another with the mouse (the WindowCenter and WindowWidth settings; see
    /// dicom::windowFromTexts()). Without one, each film's own. A window set
    /// with the mouse holds for every film until a double-click on the film.
    void setDefaultWindow(std::optional<dicom::VoiWindow> window);

    /// Adds a film to the session's row (or replaces the one with its UID) and
    /// shows it.
    void showFilm(const FilmInView& film);
    /// Replaces what the view knows of a film it has (after a correction, an
    /// accept, a send); it is read and rendered again when it is shown.
    /// Unknown films are ignored.
    void updateFilm(const FilmInView& film);
    /// Only where a film stands (its state, held, viewOnly): its picture
    /// stays as it is, nothing is read again. Unknown films are ignored.
    void updateState(const FilmInView& film);
    /// Shows a film of the row as it is; false when the row has no film of
    /// that UID.
    bool showFilmOf(const QString& instanceUid);
    /// Takes a film out of the row (a rejected one).
    void removeFilm(const QString& instanceUid);
    /// Forgets every film (a new session).
    void clearFilms();

    /// The UID of the film shown; empty when there is none.
    QString shownFilm() const;
    /// The films in the row, oldest first.
    int filmCount() const { return int(m_films.size()); }

signals:
    /// The operator accepted the held film: release it to every node.
    void acceptRequested(const QString& instanceUid);
    /// The operator rejected the held film and said Yes when asked.
    void rejectRequested(const QString& instanceUid);
    /// The operator asked for a correction of the held film.
    void correctionRequested(const QString& instanceUid, dicom::Correction correction);

protected:
    void showEvent(QShowEvent* event) override;

private:
    static constexpr QSize kThumbnailSize{72, 88};
    struct RenderOutcome;
    struct Entry {
        FilmInView film;
        unsigned version = 0;  ///< turns with every update; older renders are dropped
        QPixmap thumbnail;
        bool thumbnailDue = true; ///< no thumbnail of this version yet
    };
    // A film reduced for the screen: the shown one and the last few shown
    // before it, so that stepping back is quick and works for a film that
    // has left the outbox meanwhile.
    struct KeptPreview {
        QString instanceUid;
        unsigned version = 0;
        dicom::FilmPreview preview;
    };

    // film_view.cpp: the window, its texts and its requests.
    void buildWindow();
    void showEntry(int index);
    void showTexts();
    void enableActions();
    void step(int by);
    void askCorrection(dicom::Correction correction);
    void askAccept();
    void askReject();
    void addThumbnail(int index);
    void setThumbnail(int index);
    void letGoWhileHidden(Entry& entry);
    int indexOf(const QString& instanceUid) const;
    Entry* shown();

    // film_view_render.cpp: rendering on the background task.
    void render();
    void renderNextThumbnail();
    void startRender(int index, bool forShown);
    void rendered(const RenderOutcome& outcome, std::exception_ptr failure);
    const dicom::FilmPreview* keptPreview(const Entry& entry) const;
    void keepPreview(const Entry& entry, const dicom::FilmPreview& preview);
    void dragWindow(int dx, int dy);
    void resetWindow();
    dicom::VoiWindow effectiveWindow() const;
    void showWindowText();

    std::vector<Entry> m_films;
    int m_shown = -1;
    std::optional<dicom::VoiWindow> m_defaultWindow;
    std::optional<dicom::VoiWindow> m_operatorWindow; // set with the mouse

    std::vector<KeptPreview> m_kept; // the most recent first

    BackgroundTask m_task;
    bool m_renderAgain = false; // asked for while the task ran

    QLabel* m_heading = nullptr;
    QLabel* m_details = nullptr;
    QLabel* m_state = nullptr;
    FilmPicture* m_picture = nullptr;
    QLabel* m_windowText = nullptr;
    QListWidget* m_thumbnails = nullptr;
    QAction* m_accept = nullptr;
    QAction* m_reject = nullptr;
    QAction* m_rotateRight = nullptr;
    QAction* m_rotateLeft = nullptr;
    QAction* m_rotate180 = nullptr;
    QAction* m_flipLeftRight = nullptr;
    QAction* m_flipTopBottom = nullptr;
    QPointer<QMessageBox> m_question;
};

} // namespace skiascan

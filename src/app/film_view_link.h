// The film view as the main window runs it: a window of its own beside the
// main window (whose layout stays as it is) that shows each film as soon as
// it is imported and follows where it stands; it opens by itself after each
// film when the options say so, and for every film held for review. The
// operator's accept, corrections and reject go to the session's review; the
// view hears what became of the film.
#pragma once

#include "app/film_view.h"
#include "delivery/outbox_entry.h"
#include "session/film_review.h"

#include <QObject>
#include <QString>

#include <map>
#include <memory>
#include <optional>

namespace skiascan {

class fSkiascan;

class FilmViewLink : public QObject {
    Q_OBJECT

public:
    /// The view of `window`'s session. The link is the window's child; the
    /// view is a window without a parent (so that a dialog the main window
    /// shows does not block it), which the link owns.
    explicit FilmViewLink(fSkiascan& window);
    ~FilmViewLink() override;

    FilmView& view() { return *m_view; }

    /// Opens the view on a film of the outbox (the outbox window's View, or a
    /// double-click on an image there).
    void openOn(const QString& instanceUid);

private:
    // What the link knows of a film in the view.
    struct Known {
        FilmInView film;
        OutboxEntry entry; // as last read: its nodes
        bool kept = false; // its write-ahead has ended: a film gone from the outbox has left it
        bool gone = false; // delivered, removed or not kept: its state no longer changes
    };

    void arrived(const ArrivedFilm& film);
    void kept(const QString& instanceUid, bool kept);
    void followHeld();
    void follow();
    void followFilm(Known& known);
    void sayState(Known& known, const QString& state, bool held);
    void open(bool activate);
    void place();
    bool eventFilter(QObject* watched, QEvent* event) override;
    void useSettingsWindow();
    std::optional<FilmInView> fromOutbox(const QString& instanceUid);
    FilmInView filmOf(const OutboxEntry& entry) const;

    fSkiascan& m_window;
    std::unique_ptr<FilmView> m_view;
    std::map<QString, Known> m_known; // by SOP Instance UID
    bool m_placed = false;            // shown beside the main window once; the operator may move it since
    std::optional<std::pair<QString, QString>> m_windowTexts; // the settings' window centre and width last used
};

/// Where a film stands, as the film view says it: "held for review", "sent to
/// PACS1; waiting for ARCHIVE", "sent to PACS1, ARCHIVE", ...
QString filmStateText(const OutboxEntry& entry, bool inOutbox);

} // namespace skiascan

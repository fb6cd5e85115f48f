// The film view beside the main window: the films of the session as they are
// imported, where each one stands as delivery goes, and the operator's review
// requests handed to the session.

#include "app/film_view_link.h"

#include "app/main_window.h"
#include "app/window_helpers.h"
#include "dicom/image.h"

#include <QDir>
#include <QFileInfo>
#include <QEvent>
#include <QScreen>

#include <algorithm>

namespace skiascan {

namespace {

void addOnce(QStringList& names, const QString& name)
{
    if (!names.contains(name))
        names << name;
}

} // namespace

QString filmStateText(const OutboxEntry& entry, bool inOutbox)
{
    if (inOutbox && entry.held)
        return entry.looksBlank ? QStringLiteral("held for review: it looks blank") : QStringLiteral("held for review");
    QStringList sent;
    QStringList stored;
    QStringList waiting;
    for (const HoldingNode& node : entry.heldBy)
        addOnce(sent, node.node.aeTitle);
    for (const OwedNode& node : entry.owed) {
        if (!inOutbox) // gone from the outbox: every node it was owed to has it
            addOnce(sent, node.aeTitle);
        else if (node.awaitingCommitment())
            addOnce(stored, node.aeTitle);
        else
            addOnce(waiting, node.lastFailure.isEmpty() ? node.aeTitle
                                                        : node.aeTitle + QStringLiteral(" (its last try failed)"));
    }
    if (inOutbox && entry.anyNode)
        waiting << QStringLiteral("a destination to be set");
    QStringList parts;
    if (!sent.isEmpty())
        parts << QStringLiteral("sent to ") + sent.join(QStringLiteral(", "));
    if (!stored.isEmpty())
        parts << QStringLiteral("stored at %1, awaiting its commitment").arg(stored.join(QStringLiteral(", ")));
    if (!waiting.isEmpty())
        parts << QStringLiteral("waiting for ") + waiting.join(QStringLiteral(", "));
    if (parts.isEmpty())
        return inOutbox ? QStringLiteral("waiting") : QStringLiteral("sent");
    return parts.join(QStringLiteral("; "));
}

FilmViewLink::FilmViewLink(fSkiascan& window)
    : QObject(&window)
    , m_window(window)
    , m_view(std::make_unique<FilmView>())
{
    setObjectName(QStringLiteral("filmViewLink"));
    // The program ends with the main window, whatever this window does.
    m_view->setAttribute(Qt::WA_QuitOnClose, false);
    ScanSession& session = window.session();
    FilmReview& review = session.review();
    connect(&session, &ScanSession::filmArrived, this, &FilmViewLink::arrived);
    connect(&session, &ScanSession::filmKept, this, &FilmViewLink::kept);
    connect(&session, &ScanSession::stateChanged, this, [this] {
        if (m_window.session().state() == SessionState::Ended)
            m_view->close();
    });
    connect(&window, &fSkiascan::ended, m_view.get(), &QWidget::close);
    connect(&session.delivery(), &DeliveryService::outboxChanged, this, &FilmViewLink::follow);
    connect(&session.delivery(), &DeliveryService::changed, this, &FilmViewLink::follow);
    connect(&review, &FilmReview::heldChanged, this, &FilmViewLink::followHeld);

    connect(m_view.get(), &FilmView::acceptRequested, this, [this](const QString& uid) {
        m_window.session().review().accept(uid);
        if (auto known = m_known.find(uid); known != m_known.end()) {
            OutboxEntry released = known->second.entry;
            released.held = false;
            sayState(known->second, QStringLiteral("accepted; ") + filmStateText(released, true), false);
        }
    });
    connect(m_view.get(), &FilmView::correctionRequested, this, [this](const QString& uid, dicom::Correction correction) {
        m_window.session().review().correct(uid, correction);
        if (auto known = m_known.find(uid); known != m_known.end())
            sayState(known->second, QStringLiteral("held for review; being %1").arg(dicom::correctionText(correction)), true);
    });
    connect(m_view.get(), &FilmView::rejectRequested, this, [this](const QString& uid) {
        m_window.session().review().reject(uid);
        if (auto known = m_known.find(uid); known != m_known.end())
            sayState(known->second, QStringLiteral("rejected: it is not sent"), false);
    });
    connect(&review, &FilmReview::accepted, this, &FilmViewLink::follow);
    connect(&review, &FilmReview::failed, this, &FilmViewLink::follow);
    connect(&review, &FilmReview::corrected, this, [this](const QString& uid) {
        auto known = m_known.find(uid);
        if (known == m_known.end())
            return;
        // Read and shown anew from its file, which holds the corrected film;
        // what it says follows once no request of it waits.
        known->second.film.image.reset();
        m_view->updateFilm(known->second.film);
        followFilm(known->second);
    });
    connect(&review, &FilmReview::rejected, this, [this](const QString& uid) {
        m_known.erase(uid);
        m_view->removeFilm(uid);
    });
}

FilmViewLink::~FilmViewLink() = default;

void FilmViewLink::useSettingsWindow()
{
    const std::pair<QString, QString> texts{m_window.settings.WindowCenter, m_window.settings.WindowWidth};
    if (m_windowTexts == texts)
        return;
    m_windowTexts = texts;
    m_view->setDefaultWindow(dicom::windowFromTexts(texts.first, texts.second));
}

FilmInView FilmViewLink::filmOf(const OutboxEntry& entry) const
{
    FilmInView film;
    film.instanceUid = entry.instanceUid;
    film.imagePath = entry.imagePath;
    film.patientName = entry.patientName;
    film.patientId = entry.patientId;
    film.study = entry.study;
    // Entries of an earlier version do not know the film's place in its stack.
    film.filmNumber = entry.film > 0 ? entry.film : std::max(1, entry.number);
    film.filmCount = entry.film > 0 ? entry.films : film.filmNumber;
    film.held = entry.held;
    film.viewOnly = !entry.held;
    return film;
}

void FilmViewLink::arrived(const ArrivedFilm& arrived)
{
    useSettingsWindow();
    Known known{filmOf(arrived.entry), arrived.entry, false, false};
    known.film.bodyPart = arrived.bodyPart;
    known.film.birthDate = arrived.birthDate;
    known.film.state = filmStateText(arrived.entry, true);
    // Nothing can be asked of it until its entry is written: kept().
    known.film.viewOnly = true;
    FilmInView shown = known.film;
    shown.image = arrived.image; // read from memory: its file is still being written
    m_known[arrived.entry.instanceUid] = known;
    // Opened first: a hidden view lets go of the film in memory at once.
    const bool wasOpen = m_view->isVisible();
    if (m_window.options.view.showEachFilm || arrived.entry.held)
        open(false);
    m_view->showFilm(shown);
    // A view that opens for the film shows it, not a film held from before
    // that the operator was not looking at.
    if (!wasOpen)
        m_view->showFilmOf(arrived.entry.instanceUid);
}

void FilmViewLink::kept(const QString& instanceUid, bool kept)
{
    auto known = m_known.find(instanceUid);
    if (known == m_known.end())
        return;
    known->second.kept = true;
    if (!kept) {
        known->second.gone = true;
        sayState(known->second, QStringLiteral("not kept: it is imported again at the next start"), false);
        return;
    }
    followFilm(known->second);
}

// Films held in the outbox that the view does not know (those of an earlier
// run) join its row; it does not open for them.
void FilmViewLink::followHeld()
{
    for (const FilmReview::HeldFilm& held : m_window.session().review().heldFilms()) {
        if (m_known.count(held.instanceUid))
            continue;
        if (const std::optional<FilmInView> film = fromOutbox(held.instanceUid)) {
            useSettingsWindow();
            m_view->showFilm(*film);
        }
    }
    follow();
}

void FilmViewLink::follow()
{
    for (auto& [uid, known] : m_known)
        followFilm(known);
}

void FilmViewLink::followFilm(Known& known)
{
    // A film being written ahead is not in the outbox yet; one the operator
    // asked something of says so until it is done.
    if (known.gone || !known.kept || m_window.session().review().busy(known.film.instanceUid))
        return;
    Outbox& outbox = m_window.session().outbox();
    OutboxEntry entry = known.entry;
    if (outbox.refresh(entry)) {
        known.entry = entry;
        sayState(known, filmStateText(entry, true), entry.held);
        return;
    }
    known.gone = true;
    const bool removed = QFileInfo::exists(
        QDir(outbox.folder()).filePath(QStringLiteral("removed/") + known.film.instanceUid + QStringLiteral(".entry")));
    sayState(known, removed ? QStringLiteral("removed from the outbox: it is not sent") : filmStateText(known.entry, false),
             false);
}

void FilmViewLink::sayState(Known& known, const QString& state, bool held)
{
    if (known.film.state == state && known.film.held == held && known.film.viewOnly == !held)
        return;
    known.film.state = state;
    known.film.held = held;
    known.film.viewOnly = !held;
    m_view->updateState(known.film);
}

std::optional<FilmInView> FilmViewLink::fromOutbox(const QString& instanceUid)
{
    Outbox& outbox = m_window.session().outbox();
    OutboxEntry entry;
    entry.instanceUid = instanceUid;
    outbox.place(entry);
    if (!outbox.refresh(entry))
        return std::nullopt;
    Known known{filmOf(entry), entry, true, false};
    known.film.state = filmStateText(entry, true);
    try {
        // The attributes only: the pixels stay in the file until the view reads them.
        const dicom::Image image = dicom::Image::loadFile(entry.imagePath);
        known.film.bodyPart = image.text(0x0018, 0x0015).value_or(QString());
        known.film.birthDate = QDate::fromString(image.text(0x0010, 0x0030).value_or(QString()), QStringLiteral("yyyyMMdd"));
    } catch (const std::exception&) {
        // Shown without them; the view says so if the film cannot be read.
    }
    m_known[instanceUid] = known;
    return known.film;
}

void FilmViewLink::openOn(const QString& instanceUid)
{
    useSettingsWindow();
    if (!m_view->showFilmOf(instanceUid)) {
        const std::optional<FilmInView> film = fromOutbox(instanceUid);
        if (!film)
            return;
        m_view->showFilm(*film);
    }
    open(true);
}

// Opened by the operator it takes the keyboard; opened by itself for a new
// film it does not, so that the operator typing the next patient's name in the
// main window does not turn or accept a film with those keys.
void FilmViewLink::open(bool activate)
{
    if (!m_placed) {
        place();
        m_placed = true;
    }
    // Above other windows as the main window is, beside it rather than over it.
    m_view->setAttribute(Qt::WA_ShowWithoutActivating, !activate);
    if (!m_view->isVisible())
        setTopMost(m_view.get(), true);
    m_view->raise();
    if (activate)
        m_view->activateWindow();
    // Over the main window's edge, the main window stays above it.
    if (m_view->frameGeometry().intersects(m_window.frameGeometry()))
        m_window.raise();
}

// Beside the main window, on the side with more room, as tall as the screen
// allows. The main window never moves for it: the operator's hands and the
// scripts that drive the station know where it is. On a screen too narrow
// for both the view is narrower, or lies over the main window's edge (which
// stays above it).
void FilmViewLink::place()
{
    const QScreen* screen = m_window.screen();
    if (!screen)
        return;
    const QRect room = screen->availableGeometry();
    const QRect main = m_window.frameGeometry();
    constexpr int kGap = 8;
    constexpr int kFrame = 32; // the title bar and the border the desktop adds
    constexpr int kNarrowest = 360;
    const int right = room.right() - main.right() - kGap;
    const int left = main.left() - room.left() - kGap;
    const bool onTheRight = right >= left;
    const int width = std::max(std::clamp(onTheRight ? right : left, kNarrowest, 720),
                               m_view->minimumSizeHint().width());
    const int height = std::clamp(room.height() - kFrame - 2 * kGap, 400, 1000);
    int x = onTheRight ? main.right() + kGap : main.left() - kGap - width;
    x = std::clamp(x, room.left(), std::max(room.left(), room.right() - width));
    const int y = std::clamp(main.top() - 2 * kFrame, room.top(), std::max(room.top(), room.bottom() - height - kFrame));
    m_view->resize(width, height);
    m_view->move(x, y);
    m_view->installEventFilter(this);
}

// The view grows when a film needs more room for its texts: it stays on the
// screen, towards the main window, rather than running off the edge.
bool FilmViewLink::eventFilter(QObject* watched, QEvent* event)
{
    if (watched == m_view.get() && event->type() == QEvent::Resize && m_view->screen()) {
        const QRect room = m_view->screen()->availableGeometry();
        const QRect frame = m_view->frameGeometry();
        if (frame.right() > room.right())
            m_view->move(std::max(room.left(), m_view->x() - (frame.right() - room.right())), m_view->y());
    }
    return QObject::eventFilter(watched, event);
}

} // namespace skiascan

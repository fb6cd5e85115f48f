// The film view's rendering: one background task at a time reads a film
// (from memory or from its file), reduces it for the screen and renders it;
// the window's thread only puts the picture up. A request made while the task
// runs is taken up when it has reported, with what is wanted by then.

#include "app/film_picture.h"
#include "app/film_view.h"

#include "common/failure.h"

#include <QLabel>
#include <QListWidget>

#include <algorithm>
#include <cmath>

namespace skiascan {

namespace {

constexpr std::size_t kKeptPreviews = 3; // the shown film and two before it

} // namespace

struct FilmView::RenderOutcome {
    QString instanceUid;
    unsigned version = 0;
    bool forShown = false; // the picture of the shown film, not only a thumbnail
    dicom::FilmPreview preview;
    QImage picture;
    QImage thumbnail;
};

void FilmView::render()
{
    // A hidden view renders nothing; it renders what it shows once it is shown.
    if (!isVisible())
        return;
    if (m_task.running()) {
        m_renderAgain = true;
        return;
    }
    if (m_shown >= 0)
        startRender(m_shown, true);
    else
        renderNextThumbnail();
}

void FilmView::renderNextThumbnail()
{
    if (m_task.running() || !isVisible())
        return;
    // The newest first: they are the ones the operator steps back to.
    for (int i = int(m_films.size()) - 1; i >= 0; --i) {
        if (m_films[std::size_t(i)].thumbnailDue) {
            startRender(i, false);
            return;
        }
    }
}

void FilmView::startRender(int index, bool forShown)
{
    Entry& entry = m_films[std::size_t(index)];
    auto outcome = std::make_shared<RenderOutcome>();
    outcome->instanceUid = entry.film.instanceUid;
    outcome->version = entry.version;
    outcome->forShown = forShown;

    const QSize target = forShown ? m_picture->room() : kThumbnailSize;
    const bool thumbnail = entry.thumbnailDue;
    const std::optional<dicom::VoiWindow> window = m_operatorWindow ? m_operatorWindow : m_defaultWindow;
    const dicom::FilmPreview* kept = keptPreview(entry);
    const dicom::FilmPreview known = kept ? *kept : dicom::FilmPreview();
    // The job reads its own copy of a film in memory, made here, on the
    // thread that owns the film.
    std::shared_ptr<const dicom::Image> source;
    if (entry.film.image && (!kept || !kept->covers(target)))
        source = std::make_shared<const dicom::Image>(entry.film.image->sharedCopy());
    const QString path = entry.film.imagePath;

    m_task.start(
        [outcome, target, thumbnail, window, known, source, path](const CancelFlag& cancel) {
            dicom::FilmPreview preview = known;
            if (preview.isNull() || !preview.covers(target)) {
                try {
                    if (source) {
                        preview = dicom::FilmPreview::of(*source, target, &cancel);
                    } else {
                        const dicom::Image file = dicom::Image::loadFile(path);
                        preview = dicom::FilmPreview::of(file, target, &cancel);
                    }
                } catch (const Failure&) {
                    // A film that has left the outbox meanwhile is still shown
                    // from what was read of it before, if a little coarser.
                    if (known.isNull())
                        throw;
                }
            }
            outcome->preview = preview;
            // The thumbnail first: the preview keeps the size it rendered last.
            if (thumbnail)
                outcome->thumbnail = preview.render(kThumbnailSize, window);
            outcome->picture = preview.render(target, window);
        },
        [this, outcome](std::exception_ptr failure) { rendered(*outcome, failure); });
}

void FilmView::showEvent(QShowEvent* event)
{
    QWidget::showEvent(event);
    render();
}

void FilmView::rendered(const RenderOutcome& outcome, std::exception_ptr failure)
{
    const int index = indexOf(outcome.instanceUid);
    if (index >= 0 && m_films[std::size_t(index)].version == outcome.version) {
        Entry& entry = m_films[std::size_t(index)];
        if (failure) {
            // Not tried again for a thumbnail until the film is updated.
            entry.thumbnailDue = false;
            if (outcome.forShown && index == m_shown) {
                m_picture->clear();
                m_picture->setText(QStringLiteral("The film cannot be shown: %1").arg(describe(failure)));
            }
        } else {
            if (!outcome.thumbnail.isNull()) {
                entry.thumbnail = QPixmap::fromImage(outcome.thumbnail);
                entry.thumbnailDue = false;
                setThumbnail(index);
            }
            keepPreview(entry, outcome.preview);
            // Read once: from now on the film is read from its file, and the
            // pixels in memory are left to those who still need them.
            if (entry.film.image && !entry.film.imagePath.isEmpty())
                entry.film.image.reset();
            if (outcome.forShown && index == m_shown) {
                m_picture->setPixmap(QPixmap::fromImage(outcome.picture));
                showWindowText();
            }
        }
    }
    if (m_renderAgain) {
        m_renderAgain = false;
        render();
    } else {
        renderNextThumbnail();
    }
}

const dicom::FilmPreview* FilmView::keptPreview(const Entry& entry) const
{
    for (const KeptPreview& kept : m_kept)
        if (kept.instanceUid == entry.film.instanceUid && kept.version == entry.version)
            return &kept.preview;
    return nullptr;
}

void FilmView::keepPreview(const Entry& entry, const dicom::FilmPreview& preview)
{
    std::erase_if(m_kept, [&](const KeptPreview& kept) { return kept.instanceUid == entry.film.instanceUid; });
    m_kept.insert(m_kept.begin(), KeptPreview{entry.film.instanceUid, entry.version, preview});
    if (m_kept.size() > kKeptPreviews)
        m_kept.resize(kKeptPreviews);
}

dicom::VoiWindow FilmView::effectiveWindow() const
{
    if (m_operatorWindow)
        return *m_operatorWindow;
    if (m_defaultWindow)
        return *m_defaultWindow;
    if (m_shown >= 0)
        if (const dicom::FilmPreview* preview = keptPreview(m_films[std::size_t(m_shown)]))
            return preview->ownWindow();
    return {};
}

void FilmView::setDefaultWindow(std::optional<dicom::VoiWindow> window)
{
    m_defaultWindow = window;
    showWindowText();
    render();
}

void FilmView::dragWindow(int dx, int dy)
{
    if (m_shown < 0)
        return;
    const dicom::FilmPreview* preview = keptPreview(m_films[std::size_t(m_shown)]);
    if (!preview)
        return;
    // A drag across a quarter of the film's values per 64 pixels: fine
    // enough for a small change, quick enough to cross the whole range.
    const double step = std::max(1.0, (preview->highest() - preview->lowest()) / 256.0);
    dicom::VoiWindow window = effectiveWindow();
    window.width = std::max(1.0, window.width + dx * step);
    window.center += dy * step;
    m_operatorWindow = window;
    showWindowText();
    render();
}

void FilmView::resetWindow()
{
    m_operatorWindow.reset();
    showWindowText();
    render();
}

void FilmView::showWindowText()
{
    if (m_shown < 0 || (!m_operatorWindow && !m_defaultWindow && !keptPreview(m_films[std::size_t(m_shown)]))) {
        m_windowText->clear();
        return;
    }
    const dicom::VoiWindow window = effectiveWindow();
    m_windowText->setText(QStringLiteral("Window: centre %1, width %2")
                              .arg(std::lround(window.center))
                              .arg(std::lround(window.width)));
}

} // namespace skiascan

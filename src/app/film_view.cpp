// The film view: its window, its texts, the row of films and the operator's
// requests. Rendering is in film_view_render.cpp.

#include "app/film_view.h"

#include "app/film_picture.h"
#include "common/dates.h"
#include "common/text.h"

#include <QAction>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QListWidget>
#include <QMessageBox>
#include <QPushButton>
#include <QSignalBlocker>
#include <QToolButton>
#include <QVBoxLayout>

#include <algorithm>

namespace skiascan {

namespace {

QPixmap placeholder(QSize size)
{
    QPixmap empty(size);
    empty.fill(QColor(48, 48, 48));
    return empty;
}

// The same picture whether the thumbnail is the current one or not: the
// selection's tint would change how the film looks.
QIcon untinted(const QPixmap& pixmap)
{
    QIcon icon(pixmap);
    icon.addPixmap(pixmap, QIcon::Selected);
    return icon;
}

QString filmOf(const FilmInView& film)
{
    return QStringLiteral("film %1 of %2").arg(film.filmNumber).arg(std::max(film.filmCount, film.filmNumber));
}

} // namespace

QString rejectQuestion(const FilmInView& film)
{
    return QStringLiteral("Reject film %1 of %2? It will not be sent.").arg(film.filmNumber).arg(personName(film.patientName));
}

FilmView::FilmView(QWidget* parent)
    : QWidget(parent, Qt::Window)
{
    setObjectName(QStringLiteral("FilmView"));
    buildWindow();
    resize(600, 760);
    connect(m_picture, &FilmPicture::dragged, this, &FilmView::dragWindow);
    connect(m_picture, &FilmPicture::resetAsked, this, &FilmView::resetWindow);
    connect(m_picture, &FilmPicture::resized, this, &FilmView::render);
    showEntry(-1);
}

FilmView::~FilmView()
{
    m_task.stop();
}

void FilmView::buildWindow()
{
    auto* layout = new QVBoxLayout(this);
    m_heading = new QLabel(this);
    m_heading->setObjectName(QStringLiteral("filmHeading"));
    QFont large = m_heading->font();
    large.setBold(true);
    large.setPointSizeF(large.pointSizeF() * 1.3);
    m_heading->setFont(large);
    m_details = new QLabel(this);
    m_details->setObjectName(QStringLiteral("filmDetails"));
    m_state = new QLabel(this);
    m_state->setObjectName(QStringLiteral("filmState"));
    // Long texts wrap: a film's texts never make the window wider (it would
    // grow over the main window beside it).
    for (QLabel* label : {m_heading, m_details, m_state}) {
        label->setTextInteractionFlags(Qt::TextSelectableByMouse);
        label->setWordWrap(true);
    }
    m_picture = new FilmPicture(this);
    m_picture->setToolTip(QStringLiteral("Drag to the right for a wider window, downwards for a higher centre; "
                                         "double-click for the default."));
    m_windowText = new QLabel(this);
    m_windowText->setObjectName(QStringLiteral("filmWindow"));
    m_thumbnails = new QListWidget(this);
    m_thumbnails->setObjectName(QStringLiteral("filmThumbnails"));
    m_thumbnails->setViewMode(QListView::IconMode);
    m_thumbnails->setFlow(QListView::LeftToRight);
    m_thumbnails->setWrapping(false);
    m_thumbnails->setMovement(QListView::Static);
    m_thumbnails->setIconSize(kThumbnailSize);
    m_thumbnails->setFixedHeight(kThumbnailSize.height() + 44);
    m_thumbnails->setFocusPolicy(Qt::NoFocus);
    m_thumbnails->setHorizontalScrollBarPolicy(Qt::ScrollBarAsNeeded);
    m_thumbnails->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    connect(m_thumbnails, &QListWidget::currentRowChanged, this, [this](int row) {
        if (row >= 0 && row != m_shown)
            showEntry(row);
    });

    auto action = [this](const QString& text, const QString& tip, const QList<QKeySequence>& keys) {
        auto* a = new QAction(text, this);
        a->setToolTip(tip);
        a->setShortcuts(keys);
        a->setShortcutContext(Qt::WindowShortcut);
        addAction(a);
        return a;
    };
    m_rotateLeft = action(QStringLiteral("Rotate left"), QStringLiteral("Rotate 90 degrees left (L)"), {Qt::Key_L});
    m_rotateRight = action(QStringLiteral("Rotate right"), QStringLiteral("Rotate 90 degrees right (R)"), {Qt::Key_R});
    m_rotate180 = action(QStringLiteral("Rotate 180°"), QStringLiteral("Rotate 180 degrees"), {});
    m_flipLeftRight = action(QStringLiteral("Flip left-right"), QStringLiteral("Swap left and right (H)"), {Qt::Key_H});
    m_flipTopBottom = action(QStringLiteral("Flip top-bottom"), QStringLiteral("Swap top and bottom (V)"), {Qt::Key_V});
    m_reject = action(QStringLiteral("Reject"), QStringLiteral("Do not send this film (Delete)"), {Qt::Key_Delete});
    m_accept = action(QStringLiteral("Accept"), QStringLiteral("Send this film to every node (Return)"),
                      {Qt::Key_Return, Qt::Key_Enter});
    QAction* earlier = action(QStringLiteral("Earlier film"), {}, {Qt::Key_Left});
    QAction* later = action(QStringLiteral("Later film"), {}, {Qt::Key_Right});
    connect(m_rotateLeft, &QAction::triggered, this, [this] { askCorrection(dicom::Correction::RotateLeft); });
    connect(m_rotateRight, &QAction::triggered, this, [this] { askCorrection(dicom::Correction::RotateRight); });
    connect(m_rotate180, &QAction::triggered, this, [this] { askCorrection(dicom::Correction::Rotate180); });
    connect(m_flipLeftRight, &QAction::triggered, this, [this] { askCorrection(dicom::Correction::FlipLeftRight); });
    connect(m_flipTopBottom, &QAction::triggered, this, [this] { askCorrection(dicom::Correction::FlipTopBottom); });
    connect(m_reject, &QAction::triggered, this, &FilmView::askReject);
    connect(m_accept, &QAction::triggered, this, &FilmView::askAccept);
    connect(earlier, &QAction::triggered, this, [this] { step(-1); });
    connect(later, &QAction::triggered, this, [this] { step(1); });

    // Buttons that never take the focus, so that every key reaches the window.
    auto button = [this](QAction* a, const QString& name) {
        auto* b = new QToolButton(this);
        b->setDefaultAction(a);
        b->setObjectName(name);
        b->setFocusPolicy(Qt::NoFocus);
        b->setToolButtonStyle(Qt::ToolButtonTextOnly);
        return b;
    };
    // In rows of three, so that the window fits beside the main window on a
    // screen of 1280 pixels.
    auto* corrections = new QGridLayout;
    corrections->addWidget(button(m_rotateLeft, QStringLiteral("cmdRotateLeft")), 0, 0);
    corrections->addWidget(button(m_rotateRight, QStringLiteral("cmdRotateRight")), 0, 1);
    corrections->addWidget(button(m_rotate180, QStringLiteral("cmdRotate180")), 0, 2);
    corrections->addWidget(button(m_flipLeftRight, QStringLiteral("cmdFlipLeftRight")), 1, 0);
    corrections->addWidget(button(m_flipTopBottom, QStringLiteral("cmdFlipTopBottom")), 1, 1);
    corrections->setColumnStretch(3, 1);
    auto* decisions = new QHBoxLayout;
    decisions->addStretch(1);
    decisions->addWidget(button(m_reject, QStringLiteral("cmdReject")));
    QToolButton* accept = button(m_accept, QStringLiteral("cmdAccept"));
    QFont bold = accept->font();
    bold.setBold(true);
    accept->setFont(bold);
    decisions->addWidget(accept);

    layout->addWidget(m_heading);
    layout->addWidget(m_details);
    layout->addWidget(m_state);
    layout->addWidget(m_picture, 1);
    layout->addWidget(m_windowText);
    layout->addLayout(corrections);
    layout->addLayout(decisions);
    layout->addWidget(m_thumbnails);
}

void FilmView::showFilm(const FilmInView& film)
{
    int index = indexOf(film.instanceUid);
    if (index < 0) {
        m_films.push_back(Entry{film, 0, {}, true});
        index = int(m_films.size()) - 1;
        letGoWhileHidden(m_films.back());
        addThumbnail(index);
        // A film the operator reviews stays in front while the stack runs
        // on: a key meant for it must not land on a film not yet looked at.
        // The new one waits in the row.
        const Entry* reviewed = shown();
        if (isVisible() && reviewed && reviewed->film.held) {
            renderNextThumbnail();
            return;
        }
    } else {
        Entry& entry = m_films[std::size_t(index)];
        entry.film = film;
        ++entry.version;
        entry.thumbnailDue = true;
        letGoWhileHidden(entry);
        setThumbnail(index);
    }
    showEntry(index);
}

void FilmView::updateFilm(const FilmInView& film)
{
    const int index = indexOf(film.instanceUid);
    if (index < 0)
        return;
    Entry& entry = m_films[std::size_t(index)];
    entry.film = film;
    ++entry.version;
    entry.thumbnailDue = true;
    letGoWhileHidden(entry);
    setThumbnail(index);
    if (index == m_shown) {
        showTexts();
        enableActions();
    }
    render();
}

void FilmView::updateState(const FilmInView& film)
{
    const int index = indexOf(film.instanceUid);
    if (index < 0)
        return;
    FilmInView& known = m_films[std::size_t(index)].film;
    known.state = film.state;
    known.held = film.held;
    known.viewOnly = film.viewOnly;
    setThumbnail(index);
    if (index == m_shown) {
        showTexts();
        enableActions();
    }
}

bool FilmView::showFilmOf(const QString& instanceUid)
{
    const int index = indexOf(instanceUid);
    if (index >= 0 && index != m_shown)
        showEntry(index);
    return index >= 0;
}

void FilmView::removeFilm(const QString& instanceUid)
{
    const int index = indexOf(instanceUid);
    if (index < 0)
        return;
    m_films.erase(m_films.begin() + index);
    std::erase_if(m_kept, [&](const KeptPreview& kept) { return kept.instanceUid == instanceUid; });
    {
        const QSignalBlocker quiet(m_thumbnails);
        delete m_thumbnails->takeItem(index);
    }
    // The film after a removed one takes its place, or the one before it.
    int next = m_shown;
    if (m_shown > index)
        next = m_shown - 1;
    else if (m_shown == index)
        next = std::min(index, int(m_films.size()) - 1);
    showEntry(next);
}

void FilmView::clearFilms()
{
    m_films.clear();
    m_kept.clear();
    {
        const QSignalBlocker quiet(m_thumbnails);
        m_thumbnails->clear();
    }
    showEntry(-1);
}

QString FilmView::shownFilm() const
{
    return m_shown >= 0 ? m_films[std::size_t(m_shown)].film.instanceUid : QString();
}

void FilmView::letGoWhileHidden(Entry& entry)
{
    // A hidden view reads its films when it is shown, from their files by
    // then: it holds no film's pixels meanwhile.
    if (!isVisible() && !entry.film.imagePath.isEmpty())
        entry.film.image.reset();
}

int FilmView::indexOf(const QString& instanceUid) const
{
    for (std::size_t i = 0; i < m_films.size(); ++i)
        if (m_films[i].film.instanceUid == instanceUid)
            return int(i);
    return -1;
}

FilmView::Entry* FilmView::shown()
{
    return m_shown >= 0 ? &m_films[std::size_t(m_shown)] : nullptr;
}

void FilmView::showEntry(int index)
{
    m_shown = index;
    {
        const QSignalBlocker quiet(m_thumbnails);
        m_thumbnails->setCurrentRow(index);
    }
    if (index >= 0)
        m_thumbnails->scrollToItem(m_thumbnails->item(index));
    showTexts();
    enableActions();
    const Entry* entry = shown();
    if (!entry) {
        m_picture->clear();
        m_picture->setText(QStringLiteral("No film yet"));
    } else if (!keptPreview(*entry)) {
        m_picture->clear();
        m_picture->setText(QStringLiteral("Reading the film ..."));
    }
    render();
}

void FilmView::showTexts()
{
    const Entry* entry = m_shown >= 0 ? &m_films[std::size_t(m_shown)] : nullptr;
    if (!entry) {
        setWindowTitle(QStringLiteral("Film"));
        m_heading->clear();
        m_details->clear();
        m_state->clear();
        showWindowText();
        return;
    }
    const FilmInView& film = entry->film;
    const QString name = personName(film.patientName);
    QString title = QStringLiteral("Film %1 of %2").arg(film.filmNumber).arg(std::max(film.filmCount, film.filmNumber));
    if (!name.isEmpty())
        title += QStringLiteral(" – ") + name;
    setWindowTitle(title);
    m_heading->setText(name);

    QStringList who;
    if (!film.patientId.isEmpty())
        who << QStringLiteral("ID %1").arg(film.patientId);
    if (film.birthDate.isValid())
        who << QStringLiteral("born %1").arg(formatShortDate(film.birthDate, QLocale()));
    QStringList what;
    for (const QString& part : {film.bodyPart, film.study})
        if (!part.trimmed().isEmpty())
            what << part.trimmed();
    what << filmOf(film);
    m_details->setText(who.join(QStringLiteral(" · ")) + QLatin1Char('\n') + what.join(QStringLiteral(" · ")));

    m_state->setText(film.state);
    QFont font = m_state->font();
    font.setBold(film.held && !film.viewOnly);
    m_state->setFont(font);
    m_state->setStyleSheet(film.held && !film.viewOnly ? QStringLiteral("color: #b35900;") : QString());
    showWindowText();
}

void FilmView::enableActions()
{
    const Entry* entry = m_shown >= 0 ? &m_films[std::size_t(m_shown)] : nullptr;
    const bool held = entry && entry->film.held && !entry->film.viewOnly;
    for (QAction* action : {m_accept, m_reject, m_rotateRight, m_rotateLeft, m_rotate180, m_flipLeftRight, m_flipTopBottom})
        action->setEnabled(held);
}

void FilmView::step(int by)
{
    if (m_films.empty())
        return;
    const int next = std::clamp(m_shown + by, 0, int(m_films.size()) - 1);
    if (next != m_shown)
        showEntry(next);
}

void FilmView::askCorrection(dicom::Correction correction)
{
    const Entry* entry = shown();
    if (entry && entry->film.held && !entry->film.viewOnly)
        emit correctionRequested(entry->film.instanceUid, correction);
}

void FilmView::askAccept()
{
    const Entry* entry = shown();
    if (entry && entry->film.held && !entry->film.viewOnly)
        emit acceptRequested(entry->film.instanceUid);
}

void FilmView::askReject()
{
    const Entry* entry = shown();
    if (!entry || !entry->film.held || entry->film.viewOnly || m_question)
        return;
    // Asked without waiting for the answer: the window goes on (films arrive,
    // render) and the answer comes back to the slot below.
    auto* box = new QMessageBox(QMessageBox::Question, QStringLiteral("Skiascan"), rejectQuestion(entry->film),
                                QMessageBox::Yes | QMessageBox::No, this);
    box->setObjectName(QStringLiteral("rejectQuestion"));
    box->setDefaultButton(QMessageBox::No);
    box->setEscapeButton(QMessageBox::No);
    box->setAttribute(Qt::WA_DeleteOnClose);
    const QString uid = entry->film.instanceUid;
    connect(box, &QMessageBox::finished, this, [this, box, uid] {
        m_question = nullptr;
        if (box->clickedButton() != box->button(QMessageBox::Yes))
            return;
        // The film may have been released or taken away while the question stood.
        const int index = indexOf(uid);
        if (index >= 0 && m_films[std::size_t(index)].film.held && !m_films[std::size_t(index)].film.viewOnly)
            emit rejectRequested(uid);
    });
    m_question = box;
    box->open();
}

void FilmView::addThumbnail(int index)
{
    auto* item = new QListWidgetItem(untinted(placeholder(kThumbnailSize)), QString());
    item->setSizeHint(QSize(kThumbnailSize.width() + 12, kThumbnailSize.height() + 30));
    item->setTextAlignment(Qt::AlignHCenter | Qt::AlignTop);
    {
        const QSignalBlocker quiet(m_thumbnails);
        m_thumbnails->insertItem(index, item);
    }
    setThumbnail(index);
}

void FilmView::setThumbnail(int index)
{
    QListWidgetItem* item = m_thumbnails->item(index);
    if (!item)
        return;
    const Entry& entry = m_films[std::size_t(index)];
    if (!entry.thumbnail.isNull())
        item->setIcon(untinted(entry.thumbnail));
    item->setText(QStringLiteral("%1/%2").arg(entry.film.filmNumber).arg(std::max(entry.film.filmCount, entry.film.filmNumber)));
    item->setToolTip(QStringLiteral("%1, %2: %3").arg(personName(entry.film.patientName), filmOf(entry.film), entry.film.state));
}

} // namespace skiascan

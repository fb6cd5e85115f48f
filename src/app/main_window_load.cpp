// fSkiascan: start-up, the command line, window load with its settings file,
// the Preferences button, and the end of the program.

#include "app/main_window.h"

#include "app/study_entry.h"
#include "app/window_helpers.h"
#include "common/program_log.h"
#include "common/text.h"
#include "settings/prefs_dialog.h"
#include "skiascan_version.h"

#include <QFileInfo>
#include <QGuiApplication>
#include <QLineEdit>
#include <QPushButton>
#include <QScreen>
#include <QScrollBar>

namespace skiascan {

bool fSkiascan::startUp(const QString& argumentText)
{
    // Two Skiascans in one program folder would share its outbox and journal.
    m_lock = std::make_unique<InstanceLock>(m_programFolder);
    if (!m_lock->failure().isEmpty() && !m_lock->heldElsewhere())
        programlog::event(m_lock->failure());
    if (m_lock->heldElsewhere()) {
        programlog::event(QStringLiteral("not started: %1").arg(m_lock->failure()));
        showMessage(nullptr, QMessageBox::Warning, QStringLiteral("Skiascan"),
                    failureText(m_lock->failure(), QStringLiteral("Only one Skiascan can work in a program folder at a time.")));
        return false;
    }
    programlog::event(QStringLiteral("Skiascan %1 started in %2").arg(QStringLiteral(SKIASCAN_VERSION), m_programFolder));
    if (!Form_Load()) {
        programlog::event(QStringLiteral("the settings could not be loaded; Skiascan ends"));
        return false;
    }
    ScrollImages->setValue(99);
    applyCommandLine(argumentText);
    if (const QScreen* screen = QGuiApplication::primaryScreen())
        move(screen->availableGeometry().center() - QPoint(width() / 2, height() / 2));
    setTopMost(this, true);
    // What the outbox owes goes to the nodes in the background, and the films
    // a crash left in the scanner are imported; the window shows what is done.
    m_session->startUp();
    showOutbox();
    return true;
}

void fSkiascan::applyCommandLine(const QString& text)
{
    const CommandLineFields fields = parseCommandLine(text);
    if (fields.lastName)
        PATNachname->setText(*fields.lastName);
    if (fields.firstName)
        PATVorname->setText(*fields.firstName);
    if (fields.middleName)
        PAT2Vorname->setText(*fields.middleName);
    if (fields.patientId)
        PATID1->setText(*fields.patientId);
    if (fields.birthDate)
        PATGebDatum->setText(*fields.birthDate);
}

// Window load: the settings file into the sixteen settings, or the preferences
// dialog until a file exists. The first failure shows the preferences dialog and
// retries the step that failed, reading on from the same place; a second failure
// in the same run means the program cannot go on.
bool fSkiascan::Form_Load()
{
    SettingsReader reader;
    const std::vector<std::function<bool()>> steps = loadSteps(reader);
    int failures = 0;
    std::size_t step = 0;
    while (step < steps.size()) {
        try {
            step = steps[step]() ? step + 1 : 0;
        } catch (const std::exception&) {
            if (++failures > 1)
                return false;
            setTopMost(this, false);
            showPreferences();
            setTopMost(this, true);
        }
    }
    programlog::event(QStringLiteral("settings loaded from %1").arg(settingsFilePath(m_programFolder)));
    return true;
}

// The steps of window load, one per line of the settings file. A step returns
// false when load must start over (the file was missing and the preferences
// dialog has been shown).
std::vector<std::function<bool()>> fSkiascan::loadSteps(SettingsReader& reader)
{
    Settings& s = settings;
    const QString path = settingsFilePath(m_programFolder);
    std::vector<std::function<bool()>> steps;
    steps.emplace_back([&s] {
        s.WindowCenter = QStringLiteral("1500");
        s.WindowWidth = QStringLiteral("3000");
        return true;
    });
    steps.emplace_back([this, path] {
        if (QFileInfo::exists(path))
            return true;
        showPreferences();
        return false;
    });
    steps.emplace_back([&reader, path] {
        reader.open(path);
        return true;
    });
    for (const SettingsLineDef& line : settingsTable()) {
        if (line.text) {
            steps.emplace_back([&reader, &s, member = line.text] {
                s.*member = reader.readLine();
                return true;
            });
            continue;
        }
        // The port's line is held in WorklistAET until a step of its own converts
        // it, so that a retry after a bad number converts the same text again.
        steps.emplace_back([&reader, &s] {
            s.WorklistAET = reader.readLine();
            return true;
        });
        steps.emplace_back([&s] {
            s.WorklistPort = parseWorklistPort(s.WorklistAET);
            return true;
        });
    }
    steps.emplace_back([this] {
        // The options file never stops the start: what it cannot say keeps its default.
        QStringList problems;
        options = loadOptions(optionsFilePath(m_programFolder), &problems);
        for (const QString& problem : problems)
            programlog::event(QStringLiteral("options: %1").arg(problem));
        // The file says where the PEM files are as the operator wrote it; the
        // network is given them from the program folder.
        m_session->setConfiguration(settings, withPathsResolved(options, m_programFolder));
        m_session->setNetworkTimeouts(networkTimeouts);
        showSessionState();
        return true;
    });
    return steps;
}

void fSkiascan::showPreferences()
{
    fPrefs dialog(settings, settingsFilePath(m_programFolder), options, this);
    dialog.exec();
}

void fSkiascan::endProgram(int exitCode)
{
    m_programEnded = true;
    // The exit code is what ends the program here, not the closing window.
    setAttribute(Qt::WA_QuitOnClose, false);
    close();
    emit ended(exitCode);
}

void fSkiascan::cmdPrefs_Click()
{
    setTopMost(this, false);
    showPreferences();
    setTopMost(this, true);
    if (!Form_Load()) {
        programlog::event(QStringLiteral("the settings could not be loaded again; Skiascan ends"));
        endProgram(EXIT_FAILURE);
        return;
    }
    // The nodes may be new or mended: each one tries at once.
    m_session->delivery().sendNow();
    showOutbox();
}

} // namespace skiascan

// Chaos run: films through the simulator in stacks, Skiascan killed with SIGKILL
// (as a power cut would) at random moments during scans, imports, sends and
// rounds, and started again; one of the two nodes goes down and comes back
// meanwhile, and the other, reached through a proxy, is silent until half the
// films have been scanned (it takes connections and never answers, as a node
// that hangs does). At the end every film must be at both nodes, each with one
// SOP Instance UID and the patient of the stack it was scanned for, and the
// outbox, the journal and the image folder must be empty.
//
//   bench_chaos SIMULATOR [FILMS] [KILLS]       (default 100 films, 30 kills)
//
// Skiascan runs in a child process of this program (the same executable, in
// worker mode), which plays the operator: it types a patient for each stack,
// clicks Multiple Scan and answers every message with OK.

#include "app/main_window.h"
#include "bench_node.h"
#include "support/throttling_proxy.h"

#include <QAbstractButton>
#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QHash>
#include <QLineEdit>
#include <QMessageBox>
#include <QProcess>
#include <QPushButton>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QScrollBar>
#include <QSet>
#include <QTemporaryDir>
#include <QThread>
#include <QTimer>

#include <dcmtk/config/osconfig.h>
#include <dcmtk/dcmdata/dcdeftag.h>
#include <dcmtk/dcmdata/dcfilefo.h>

#include <cstdio>

#include <csignal>
#include <unistd.h>

namespace {

using bench::Node;

// SOP Instance UID -> Patient ID of every image a node received.
QHash<QString, QString> patientsByUid(const Node& node)
{
    QHash<QString, QString> images;
    for (const QString& path : node.files()) {
        DcmFileFormat file;
        OFString id;
        if (file.loadFile(path.toLocal8Bit().constData()).good())
            file.getDataset()->findAndGetOFString(DCM_PatientID, id);
        images.insert(Node::uidOf(path), QString::fromLatin1(id.c_str()));
    }
    return images;
}

// The films the scanner was started for, with the patient of their stack.
QStringList scannedTags(const QString& log)
{
    QFile file(log);
    QStringList tags;
    if (!file.open(QIODevice::ReadOnly))
        return tags;
    static const QRegularExpression tag(QStringLiteral("\\{([^}]*)\\}$"));
    for (const QString& line : QString::fromLocal8Bit(file.readAll()).split(QLatin1Char('\n'), Qt::SkipEmptyParts))
        tags << tag.match(line).captured(1);
    return tags;
}

int filesIn(const QString& folder, const QString& pattern)
{
    return static_cast<int>(QDir(folder).entryList({pattern}, QDir::Files).size());
}

// ------------------------------------------------------------------- worker

// Plays the operator until `films` films have been scanned; with `drain`, only
// starts and waits until the outbox and the journal are empty.
int worker(const QString& work, int films, bool drain)
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    int argc = 1;
    char name[] = "bench_chaos";
    char* argv[] = {name, nullptr};
    QApplication app(argc, argv);
    QApplication::setQuitOnLastWindowClosed(false);
    QTimer answer;
    answer.setInterval(50);
    QObject::connect(&answer, &QTimer::timeout, [] {
        if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget()))
            box->button(QMessageBox::Ok) ? box->button(QMessageBox::Ok)->click() : box->reject();
    });
    answer.start();

    const QString program = work + QStringLiteral("/program");
    const QString log = work + QStringLiteral("/scanner.log");
    skiascan::fSkiascan window(program);
    if (!window.startUp(QString()))
        return 1;
    // The session works in the background (a film a kill left behind, a
    // stack): the operator waits until it is done, at most ten minutes.
    const auto waitForSession = [&] {
        QElapsedTimer clock;
        clock.start();
        while ((window.session().scanning() || !window.session().idle()) && clock.elapsed() < 600000)
            QApplication::processEvents(QEventLoop::WaitForMoreEvents);
    };
    if (drain) {
        QElapsedTimer clock;
        clock.start();
        while ((filesIn(program + QStringLiteral("/Outbox"), QStringLiteral("*.entry")) > 0
                || filesIn(program + QStringLiteral("/Journal"), QStringLiteral("*.json")) > 0)
               && clock.elapsed() < 120000) {
            // The node that was down may be back: no need to wait for its pause.
            if (window.session().delivery().quiet())
                window.session().delivery().sendNow();
            QThread::msleep(100);
            QApplication::processEvents();
        }
        return 0;
    }
    for (waitForSession(); scannedTags(log).size() < films; waitForSession()) {
        // A stack of its own patient; the scanner logs whose film it scans.
        QFile plan(work + QStringLiteral("/stacks"));
        plan.open(QIODevice::ReadWrite | QIODevice::Append);
        const int stack = static_cast<int>(plan.size() / 2) + 1;
        plan.write("s\n");
        plan.close();
        const QString patient = QStringLiteral("S%1").arg(stack);
        qputenv("SCANFILE_TAG", patient.toLatin1());
        window.PATNachname->setText(QStringLiteral("Chaos"));
        window.PATVorname->setText(QStringLiteral("Stack%1").arg(stack));
        window.PATID1->setText(patient);
        window.PATGebDatum->setText(QStringLiteral("1960-02-01"));
        window.StudyDate->setText(QDate::currentDate().toString(Qt::ISODate));
        const int left = films - static_cast<int>(scannedTags(log).size());
        window.ScrollFilms->setValue(7 - std::clamp(left, 1, 6));
        window.cmdMultiScan->click();
    }
    return 0;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc >= 4 && QByteArray(argv[1]) == "--worker")
        return worker(QString::fromLocal8Bit(argv[2]), QByteArray(argv[3]).toInt(), argc > 4);
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s SIMULATOR [FILMS] [KILLS]\n", argv[0]);
        return 2;
    }
    QCoreApplication app(argc, argv);
    const QString simulator = QString::fromLocal8Bit(argv[1]);
    const int films = argc > 2 ? QByteArray(argv[2]).toInt() : 100;
    const int kills = argc > 3 ? QByteArray(argv[3]).toInt() : 30;

    QTemporaryDir work;
    bench::Station station(work, simulator);
    const QString& program = station.program;
    const QString& images = station.images;
    bench::Node& steady = station.steady;
    bench::Node& flaky = station.flaky;
    skiascan::test::ThrottlingProxy hang(steady.port(), qint64(1) << 30);
    station.sendTo(hang.setting(QStringLiteral("STEADY")), flaky.setting());

    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("SCANFILE_LOG"), work.filePath(QStringLiteral("scanner.log")));
    env.insert(QStringLiteral("SCANFILE_SIZE"), QStringLiteral("1024x1280"));
    env.insert(QStringLiteral("SCANFILE_DELAY_MS"), QStringLiteral("300"));
    auto run = [&](QProcess& skiascan, bool drain) {
        skiascan.setProcessEnvironment(env);
        skiascan.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        skiascan.setStandardOutputFile(QProcess::nullDevice());
        QStringList args{QStringLiteral("--worker"), work.path(), QString::number(films)};
        if (drain)
            args << QStringLiteral("--drain");
        skiascan.start(QCoreApplication::applicationFilePath(), args);
        skiascan.waitForStarted();
    };
    // What Skiascan was doing when it was killed: the last event of its log.
    QHash<QString, int> moments;
    auto momentOf = [&] {
        QFile log(program + QStringLiteral("/Logs/skiascan.log"));
        log.open(QIODevice::ReadOnly);
        const QString last = QString::fromUtf8(log.readAll()).trimmed().section(QLatin1Char('\n'), -1).mid(24);
        if (last.startsWith(QLatin1String("scanner started")))
            return QStringLiteral("while scanning");
        if (last.startsWith(QLatin1String("scanner ended")))
            return QStringLiteral("while importing");
        if (last.startsWith(QLatin1String("film imported")) || last.startsWith(QLatin1String("outbox: image"))
            || last.startsWith(QLatin1String("sen")) || last.contains(QLatin1String("confirmed image")))
            return QStringLiteral("while sending");
        if (last.contains(QLatin1String("round")))
            return QStringLiteral("in a round");
        return QStringLiteral("at start-up or between films");
    };

    QElapsedTimer clock;
    clock.start();
    auto* random = QRandomGenerator::global();
    hang.setSilent(true);
    int silentConnections = -1; // taken while the steady node was silent
    double silentSeconds = 0;
    const auto answerAgain = [&] {
        if (silentConnections >= 0)
            return;
        silentConnections = hang.connections();
        silentSeconds = clock.elapsed() / 1000.0;
        hang.setSilent(false);
    };
    for (int kill = 1; kill <= kills; ++kill) {
        if (scannedTags(work.filePath(QStringLiteral("scanner.log"))).size() >= films / 2)
            answerAgain();
        if (kill == kills / 3)
            flaky.down();
        if (kill == 2 * kills / 3)
            flaky.up();
        QProcess skiascan;
        run(skiascan, false);
        if (skiascan.waitForFinished(500 + static_cast<int>(random->bounded(5000))))
            break; // all films scanned before this kill
        ++moments[momentOf()];
        ::kill(static_cast<pid_t>(skiascan.processId()), SIGKILL);
        skiascan.waitForFinished();
    }
    flaky.up();
    answerAgain();
    QProcess rest;
    run(rest, false);
    rest.waitForFinished(-1);
    QThread::sleep(3); // a scanner left running by the last kill ends its film
    QProcess drain;
    run(drain, true);
    drain.waitForFinished(-1);

    const QStringList tags = scannedTags(work.filePath(QStringLiteral("scanner.log")));
    QHash<QString, int> expected;
    for (const QString& tag : tags)
        ++expected[tag];
    bool ok = true;
    for (const Node* node : {&steady, &flaky}) {
        const QHash<QString, QString> images = patientsByUid(*node);
        QHash<QString, int> perPatient;
        for (const QString& patient : images)
            ++perPatient[patient];
        const bool right = images.size() == tags.size() && perPatient == expected;
        std::printf("%s: %d images, one SOP Instance UID each, patients as scanned: %s\n",
                    qPrintable(node == &steady ? QStringLiteral("steady node") : QStringLiteral("flaky node")),
                    int(images.size()), right ? "yes" : "NO");
        ok = ok && right;
    }
    const int outbox = filesIn(program + QStringLiteral("/Outbox"), QStringLiteral("*.entry"));
    const int journal = filesIn(program + QStringLiteral("/Journal"), QStringLiteral("*.json"));
    const int left = filesIn(images, QStringLiteral("*"));
    int killed = 0;
    QStringList when;
    for (auto it = moments.begin(); it != moments.end(); ++it) {
        killed += it.value();
        when << QStringLiteral("%1 %2").arg(it.value()).arg(it.key());
    }
    std::printf("films scanned: %d, kills: %d (%s), time %.0f s\n", int(tags.size()), killed,
                qPrintable(when.join(QStringLiteral(", "))), clock.elapsed() / 1000.0);
    std::printf("steady node silent for the first %.0f s: %d connections taken meanwhile\n", silentSeconds,
                silentConnections);
    std::printf("left behind: outbox %d, journal %d, image folder %d\n", outbox, journal, left);
    ok = ok && tags.size() >= films && outbox == 0 && journal == 0 && left == 0 && killed >= kills;
    std::printf("%s\n", ok ? "CHAOS PASSED" : "CHAOS FAILED");
    if (!ok) {
        work.setAutoRemove(false);
        std::printf("kept for a look: %s\n", qPrintable(work.path()));
    }
    return ok ? 0 : 1;
}

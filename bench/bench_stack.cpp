// Stack benchmark: six films from the simulator (Multiple Scan, Films 6) into
// one working storescp node, timed from the click until the session is idle and
// the six films are at the node; then the same stack with a second destination
// row, a node that takes connections and never answers. With the default
// network timeouts that node holds its association request for 30 s, longer
// than the stack takes: a scan or a send that waited for it would show here.
//
//   bench_stack SIMULATOR [ROUNDS]      (default 1 round of each)

#include "app/main_window.h"
#include "bench_node.h"
#include "support/peers.h"

#include <QAbstractButton>
#include <QApplication>
#include <QElapsedTimer>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QScrollBar>
#include <QTemporaryDir>
#include <QThread>
#include <QTimer>

#include <cstdio>
#include <optional>

namespace {

// One stack; the seconds it took, or -1 when it did not end within two minutes.
double stackSeconds(const QString& simulator, bool withSilentNode)
{
    QTemporaryDir work;
    const QString program = work.filePath(QStringLiteral("program"));
    const QString images = work.filePath(QStringLiteral("images")) + QLatin1Char('/');
    QDir().mkpath(program);
    QDir().mkpath(images);
    bench::Node working(QStringLiteral("WORKING"), work.filePath(QStringLiteral("working")));
    std::optional<skiascan::test::SilentPeer> silent;
    if (withSilentNode)
        silent.emplace();
    bench::writeSettings(program, simulator, images,
                         {working.setting(), silent ? silent->setting() : QStringLiteral("||")});

    skiascan::fSkiascan window(program);
    if (!window.startUp(QStringLiteral("Stack^Patient|STACK-1|1960-02-01")))
        return -1;
    window.StudyDate->setText(QDate::currentDate().toString(Qt::ISODate));
    window.ScrollFilms->setValue(1); // Films = 6
    QElapsedTimer clock;
    clock.start();
    window.cmdMultiScan->click();
    skiascan::ScanSession& session = window.session();
    while (!(session.idle() && !session.scanning() && working.files().size() == 6) && clock.elapsed() < 120000) {
        QThread::msleep(2);
        QApplication::processEvents();
    }
    const double seconds = clock.nsecsElapsed() / 1e9;
    const bool done = working.files().size() == 6 && session.idle();
    if (silent) {
        // The silent node must have been asked, and still be waiting for its answer.
        const auto status = session.delivery().status();
        const bool connecting = status.size() == 2 && status[1].activity == skiascan::NodeStatus::Activity::Connecting;
        std::printf("silent_node_connections %d\n", silent->connections());
        std::printf("silent_node_still_connecting %d\n", connecting ? 1 : 0);
        silent.reset(); // closes its connections: the worker that waits for it ends now
    }
    if (!done) {
        work.setAutoRemove(false);
        std::fprintf(stderr, "the stack did not end: %d films at the node; program folder kept at %s\n",
                     int(working.files().size()), qPrintable(program));
        return -1;
    }
    return seconds;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s SIMULATOR [ROUNDS]\n", argv[0]);
        return 2;
    }
    qputenv("QT_QPA_PLATFORM", "offscreen");
    if (!qEnvironmentVariableIsSet("SCANFILE_DELAY_MS"))
        qputenv("SCANFILE_DELAY_MS", "300"); // the feeder's pace
    int qtArgc = 1;
    QApplication app(qtArgc, argv);
    const QString simulator = QString::fromLocal8Bit(argv[1]);
    const int rounds = argc > 2 ? std::max(1, QByteArray(argv[2]).toInt()) : 1;

    // Every message is answered with OK, as an operator would.
    QTimer answer;
    answer.setInterval(20);
    QObject::connect(&answer, &QTimer::timeout, [] {
        if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget()))
            box->button(QMessageBox::Ok) ? box->button(QMessageBox::Ok)->click() : box->reject();
    });
    answer.start();

    double alone = 0;
    double withSilent = 0;
    for (int round = 0; round < rounds; ++round) {
        const double a = stackSeconds(simulator, false);
        const double b = stackSeconds(simulator, true);
        if (a < 0 || b < 0)
            return 1;
        std::printf("round %d: alone %.3f s, with a silent node %.3f s\n", round + 1, a, b);
        alone += a;
        withSilent += b;
    }
    std::printf("stack_alone_seconds %.3f\n", alone / rounds);
    std::printf("stack_with_silent_node_seconds %.3f\n", withSilent / rounds);
    std::printf("silent_over_alone_ratio %.2f\n", withSilent / alone);
    return 0;
}

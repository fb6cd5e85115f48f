// Slow link benchmark: one film of 1024 x 1024 16-bit pixels (2 MB) scanned
// with the simulator and sent to one node behind a link of 40 KB/s (a
// throttling proxy in front of storescp). The transfer takes about 50 s, close
// to the 60 s a blocked read or write may take, but bytes move all the time, so
// it must go through in one transfer. Prints the seconds until the node has the
// file, the connections the proxy took (1) and the files the node got (1).
//
//   bench_slow_link SIMULATOR

#include "app/main_window.h"
#include "bench_node.h"
#include "delivery/outbox.h"
#include "support/throttling_proxy.h"

#include <QAbstractButton>
#include <QApplication>
#include <QElapsedTimer>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QTemporaryDir>
#include <QThread>
#include <QTimer>

#include <cstdio>

int main(int argc, char** argv)
{
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s SIMULATOR\n", argv[0]);
        return 2;
    }
    qputenv("QT_QPA_PLATFORM", "offscreen");
    qputenv("SCANFILE_SIZE", "1024x1024");
    int qtArgc = 1;
    QApplication app(qtArgc, argv);

    QTemporaryDir work;
    const QString program = work.filePath(QStringLiteral("program"));
    const QString images = work.filePath(QStringLiteral("images")) + QLatin1Char('/');
    QDir().mkpath(program);
    QDir().mkpath(images);
    bench::Node node(QStringLiteral("SLOW"), work.filePath(QStringLiteral("slow")));
    skiascan::test::ThrottlingProxy link(node.port(), 40 * 1024);
    bench::writeSettings(program, QString::fromLocal8Bit(argv[1]), images, {link.setting(QStringLiteral("SLOW"))});

    skiascan::fSkiascan window(program);
    if (!window.startUp(QStringLiteral("Slow^Link|SLOW-1|1960-02-01")))
        return 1;
    window.StudyDate->setText(QDate::currentDate().toString(Qt::ISODate));
    QTimer answer;
    answer.setInterval(20);
    QObject::connect(&answer, &QTimer::timeout, [] {
        if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget()))
            box->button(QMessageBox::Ok) ? box->button(QMessageBox::Ok)->click() : box->reject();
    });
    answer.start();

    QElapsedTimer clock;
    clock.start();
    window.cmdScan->click();
    // Until the node has the film and has confirmed it (the outbox is empty),
    // at most five minutes.
    double arrived = -1;
    const skiascan::Outbox outbox(program);
    while ((arrived < 0 || outbox.count() != 0) && clock.elapsed() < 300000) {
        if (arrived < 0 && !node.files().isEmpty())
            arrived = clock.nsecsElapsed() / 1e9;
        QThread::msleep(20);
        QApplication::processEvents();
    }
    const int files = int(node.files().size());
    const int left = outbox.count();
    std::printf("slow_link_seconds %.1f\n", arrived);
    std::printf("bytes_through_the_link %lld\n", link.bytesForwarded());
    std::printf("proxy_connections %d\n", link.connections());
    std::printf("received_files %d\n", files);
    std::printf("outbox_left %d\n", left);
    const bool ok = arrived > 0 && link.connections() == 1 && files == 1 && left == 0;
    if (!ok) {
        work.setAutoRemove(false);
        std::fprintf(stderr, "program folder kept at %s\n", qPrintable(program));
    }
    return ok ? 0 : 1;
}

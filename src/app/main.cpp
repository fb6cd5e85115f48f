// Skiascan: turns scanned X-ray films into DICOM images for the PACS.

#include "app/main_window.h"
#include "app/study_entry.h"
#include "skiascan_version.h"

#include <QApplication>
#include <QStringList>

int main(int argc, char** argv)
{
    // Everything after the program path is the operator's argument text (patient
    // name, ID, birth date). Qt sees only the program path, so that none of it is
    // taken for a Qt option.
    QStringList arguments;
    for (int i = 1; i < argc; ++i)
        arguments << QString::fromLocal8Bit(argv[i]);
    int qtArgc = 1;
    QApplication app(qtArgc, argv);
    QApplication::setApplicationName(QStringLiteral("Skiascan"));
    QApplication::setApplicationVersion(QStringLiteral(SKIASCAN_VERSION));

    skiascan::fSkiascan window(QCoreApplication::applicationDirPath());
    // Queued: an end decided during the start-up takes effect once the event
    // loop runs.
    QObject::connect(&window, &skiascan::fSkiascan::ended, &app, &QCoreApplication::exit, Qt::QueuedConnection);
    if (!window.startUp(skiascan::argumentText(arguments)))
        return EXIT_FAILURE;
    return app.exec();
}

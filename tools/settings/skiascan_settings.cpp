// skiascan-settings: writes a settings file from NAME=VALUE pairs, for the demo
// and for setting up workstations by script.
//
//   skiascan-settings FILE [NAME=VALUE]...
//
// NAME is one of the sixteen settings (ScanApp, Parameters, ImageFolder, TestApp,
// LocalAET, WindowCenter, WindowWidth, Remote0, Remote1, Remote2, WorklistIP,
// WorklistPort, WorklistAET, ScheduledModality, ScheduledAET, ScheduledStation);
// those not given keep the values a new installation has.

#include "common/failure.h"
#include "settings/settings_file.h"

#include <QCoreApplication>
#include <QStringList>

#include <cstdio>

int main(int argc, char** argv)
{
    using namespace skiascan;
    QCoreApplication app(argc, argv);
    const QStringList arguments = QCoreApplication::arguments().mid(1);
    if (arguments.isEmpty()) {
        std::fprintf(stderr, "usage: skiascan-settings FILE [NAME=VALUE]...\n");
        return 2;
    }
    Settings defaults;
    defaults.Remote0 = defaults.Remote1 = defaults.Remote2 = QStringLiteral("||");
    SettingsLines lines = linesOf(defaults);
    for (const QString& pair : arguments.mid(1)) {
        const qsizetype equals = pair.indexOf(QLatin1Char('='));
        Setting setting;
        if (equals < 0 || !settingNamed(pair.left(equals), setting)) {
            std::fprintf(stderr, "skiascan-settings: \"%s\" is not NAME=VALUE of a setting\n", qPrintable(pair));
            return 2;
        }
        lines[setting] = pair.mid(equals + 1);
    }
    try {
        saveSettingsFile(arguments.first(), lines);
    } catch (const Failure& e) {
        std::fprintf(stderr, "skiascan-settings: %s\n", e.what());
        return 1;
    }
    return 0;
}

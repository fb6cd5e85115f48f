// Fuzz target: the settings file reader, as window load reads it, and the
// writer's promise that a file it wrote reads back to the same bytes.
#include "fuzz_support.h"
#include "settings/settings_file.h"

#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    using namespace skiascan;
    const QString path = fuzz::writeInput("Skiascan.ini", data, size);
    SettingsReader reader;
    SettingsLines lines;
    bool read = false;
    fuzz::refusalsOnly([&] {
        reader.open(path);
        for (const SettingsLineDef& line : settingsTable())
            lines[line.setting] = reader.readLine();
        parseWorklistPort(lines[Setting::WorklistPort]);
        read = true;
    });
    if (!read)
        return 0;
    // Sixteen lines, each ended by CR LF and nothing after them: what the
    // writer makes of them must be the very same bytes.
    const QByteArray bytes(reinterpret_cast<const char*>(data), static_cast<qsizetype>(size));
    if (bytes.count("\r\n") == 16 && bytes.count('\r') == 16 && bytes.count('\n') == 16 && bytes.endsWith("\r\n")
        && encodeSettingsFile(lines) != bytes)
        std::abort();
    return 0;
}

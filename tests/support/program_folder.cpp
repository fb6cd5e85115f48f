#include "support/program_folder.h"

#include <QFile>

#include <gtest/gtest.h>

namespace skiascan::test {

ProgramFolder::ProgramFolder()
{
    EXPECT_TRUE(m_dir.isValid());
}

SettingsLines ProgramFolder::defaultLines()
{
    return {"", "", "", "", "SKIASCAN", "1500", "3000", "||", "||", "||", "", "0", "", "", "", ""};
}

void ProgramFolder::writeSettings(const SettingsLines& lines) const
{
    saveSettingsFile(settingsPath(), lines);
}

void ProgramFolder::writeSettingsBytes(const QByteArray& bytes) const
{
    QFile f(settingsPath());
    ASSERT_TRUE(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
    f.write(bytes);
}

QByteArray ProgramFolder::settingsBytes() const
{
    QFile f(settingsPath());
    if (!f.open(QIODevice::ReadOnly))
        return {};
    return f.readAll();
}

} // namespace skiascan::test

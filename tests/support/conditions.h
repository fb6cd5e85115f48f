// The conditions most tests of the windows run under: a German locale (dates
// typed as 07.12.2026), set for one test and put back when it ends; network
// timeouts short enough that a test with a failing peer ends quickly, and the
// query limits (which a test may lower), both handed by the test to each
// operation or window it starts. And what the test process used.
#pragma once

#include "dicom/dicom_toolkit.h"

#include <QFile>
#include <QLocale>

namespace skiascan::test {

/// Timeouts short enough that a test with a silent peer ends quickly.
inline constexpr dicom::NetworkTimeouts kShortTimeouts{.acseSeconds = 5, .dimseSeconds = 5};

class TestConditions {
public:
    explicit TestConditions(const dicom::NetworkTimeouts& shortTimeouts = kShortTimeouts)
        : timeouts(shortTimeouts)
    {
        QLocale::setDefault(QLocale(QLocale::German, QLocale::Germany));
    }
    ~TestConditions() { QLocale::setDefault(QLocale::c()); }
    TestConditions(const TestConditions&) = delete;
    TestConditions& operator=(const TestConditions&) = delete;

    dicom::NetworkTimeouts timeouts;
    dicom::QueryLimits limits;
};

/// The peak resident memory of this process so far, in kilobytes.
inline long peakResidentKilobytes()
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return 0;
    for (const QByteArray& line : status.readAll().split('\n'))
        if (line.startsWith("VmHWM:"))
            return line.mid(6).trimmed().split(' ').first().toLong();
    return 0;
}

} // namespace skiascan::test

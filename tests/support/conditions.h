// The conditions most tests of the windows run under, set for one test and put
// back when it ends: a German locale (dates typed as 07.12.2026), network
// timeouts short enough that a test with a failing peer ends quickly, and the
// query limits (which a test may lower). And what the test process used.
#pragma once

#include "dicom/dicom_toolkit.h"

#include <QFile>
#include <QLocale>

namespace skiascan::test {

class TestConditions {
public:
    explicit TestConditions(const dicom::NetworkTimeouts& timeouts = {5, 5, 5})
    {
        QLocale::setDefault(QLocale(QLocale::German, QLocale::Germany));
        dicom::setNetworkTimeouts(timeouts);
    }
    ~TestConditions()
    {
        QLocale::setDefault(QLocale::c());
        dicom::setNetworkTimeouts({});
        dicom::setQueryLimits({});
    }
    TestConditions(const TestConditions&) = delete;
    TestConditions& operator=(const TestConditions&) = delete;
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

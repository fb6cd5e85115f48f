// The conditions most tests of the windows run under, set for one test and put
// back when it ends: a German locale (dates typed as 07.12.2026) and network
// timeouts short enough that a test with a failing peer ends quickly.
#pragma once

#include "dicom/dicom_toolkit.h"

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
    }
    TestConditions(const TestConditions&) = delete;
    TestConditions& operator=(const TestConditions&) = delete;
};

} // namespace skiascan::test

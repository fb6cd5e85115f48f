// Setting up the toolkit: the data dictionary, DCMTK's own log, memory for
// image buffers, the connect timeout, UIDs and how conditions read.

#include "dicom/dcmtk_internal.h"

#include "common/private_files.h"

#include <dcmtk/dcmdata/dcdict.h>
#include <dcmtk/oflog/fileap.h>
#include <dcmtk/oflog/layout.h>
#include <dcmtk/oflog/oflog.h>
#include <dcmtk/ofstd/ofuuid.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <malloc.h>

#include <mutex>

namespace skiascan::dicom {

namespace {

void setUpOnce()
{
    static std::once_flag once;
    std::call_once(once, [] {
        // DCMTK's own messages would go to stderr; failures reach the operator
        // through our descriptions, and DCMTK's warnings go to its log file once
        // startToolkitLog() has named one.
        OFLog::configure(OFLogger::OFF_LOG_LEVEL);
        // Image-sized buffers (tens of megabytes, one per film) come straight
        // from the system and go back to it when freed. Left to itself, glibc
        // raises this threshold after the first such buffer and then keeps the
        // freed memory of every film in its heaps: a workstation scanning all
        // day would only grow.
        mallopt(M_MMAP_THRESHOLD, 1024 * 1024);
        // DCMTK reads its connect timeout from this process-wide setting at
        // every connect; it is the same for every association and never
        // changes, so threads connecting at the same time all read one value.
        dcmConnectionTimeout.set(kConnectSeconds);
    });
}

} // namespace

void ensureToolkitReady()
{
    setUpOnce();
    if (!dcmDataDict.isDictionaryLoaded())
        throw Failure(QStringLiteral("The DICOM data dictionary could not be loaded (%1). Install the "
                                     "package libdcmtk17 or set DCMDICTPATH.")
                          .arg(QString::fromLatin1(DCM_DICT_DEFAULT_PATH)));
}

void startToolkitLog(const QString& programFolder)
{
    setUpOnce();
    namespace log4cplus = dcmtk::log4cplus;
    makePrivateFolder(QDir(programFolder).filePath(QStringLiteral("Logs")));
    // A log file that cannot be written is no reason to complain on stderr.
    const QFileInfo logs(QDir(programFolder).filePath(QStringLiteral("Logs")));
    if (!logs.isDir() || !logs.isWritable())
        return;
    const QString file = QDir(programFolder).filePath(QStringLiteral("Logs/dcmtk.log"));
    // Made here with the user's rights only, so that DCMTK appends to it.
    QFile(file).open(QIODevice::Append, kPrivateFile);
    makePrivateFile(file);
    const QByteArray path = QFile::encodeName(file);
    log4cplus::SharedAppenderPtr appender(new log4cplus::RollingFileAppender(path.constData(), 1024 * 1024, 1));
    appender->setLayout(OFunique_ptr<log4cplus::Layout>(
        new log4cplus::PatternLayout("%D{%Y-%m-%d %H:%M:%S.%q} %-5p %c: %m%n")));
    log4cplus::Logger root = log4cplus::Logger::getRoot();
    root.removeAllAppenders();
    root.addAppender(appender);
    root.setLogLevel(log4cplus::WARN_LOG_LEVEL);
}

QString conditionText(const OFCondition& condition)
{
    QString text = QString::fromLocal8Bit(condition.text());
    if (!text.isEmpty())
        text[0] = text[0].toLower();
    return text;
}

QString nodeName(const QString& aeTitle, const QString& host, qint32 port)
{
    return QStringLiteral("%1 (%2:%3)").arg(aeTitle, host).arg(port);
}

QString UidGenerator::newUid() const
{
    OFUUID uuid; // a new random UUID
    OFString text;
    uuid.toString(text, OFUUID::ER_RepresentationOID);
    return QString::fromLatin1(text.c_str());
}

QString tagText(const DcmTagKey& key)
{
    return QStringLiteral("(%1,%2)")
        .arg(key.getGroup(), 4, 16, QLatin1Char('0'))
        .arg(key.getElement(), 4, 16, QLatin1Char('0'))
        .toUpper();
}

void check(const OFCondition& condition, const QString& what)
{
    if (condition.bad())
        throw Failure(QStringLiteral("%1: %2").arg(what, conditionText(condition)));
}

} // namespace skiascan::dicom

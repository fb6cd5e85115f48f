// The files of a scan: the image folder the scanner writes into, the name of
// each film's file, and the test image that stands in for a scanner.
#pragma once

#include <QDateTime>
#include <QString>

namespace skiascan {

/// Checks that the scanner can leave its file in the image folder: the folder
/// exists and is writable. Throws Failure (kind Scanner) naming the folder.
void checkImageFolder(const QString& imageFolder);

/// Copies the test image, "Test.tif" in the program folder, to `target`. Throws
/// Failure (kind File): "File not found: <path>" when there is no test image,
/// or the reason the copy failed.
void copyTestImage(const QString& programFolder, const QString& target);

/// Names the scan files of one program run: the image folder followed by the
/// local time "YYYYMMDDhhmmss" and ".tif". A name is given once, and never when
/// its file exists already.
class ScanFileNamer {
public:
    /// The file for a film starting at `now`, or an empty text when that name
    /// is taken (two films within one second): the caller asks again in the
    /// next second.
    QString next(const QString& imageFolder, const QDateTime& now);

private:
    QString m_last;
};

} // namespace skiascan

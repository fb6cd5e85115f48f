// Rules for texts that every part of the program shares.
#pragma once

#include <QString>

namespace skiascan {

/// The text without the blanks at its ends (tabs and other white space stay, as
/// they are part of what was typed).
QString trimSpaces(const QString& text);

/// A failure's description, two line breaks (CR LF each) and the sentence that
/// names the consequence, as every failure message reads.
QString failureText(const QString& description, const QString& consequence);

/// "1 image" or "3 images": a count with its noun, for messages.
QString countOf(int count, const QString& singular, const QString& plural);

/// A DICOM person name ("family^given^middle^prefix^suffix") as people read
/// it: "Nguyễn^Thị^B" becomes "Nguyễn, Thị B", "Smith^John^^Dr^Jr" becomes
/// "Smith, Dr John, Jr". Blanks around a component and empty components are
/// left out ("Smith^^Q" is "Smith, Q", "^John" is "John"); of a name in several
/// forms ("Yamada^Tarou=山田^太郎") the first form that is not empty is taken.
/// The DICOM form itself belongs in files and the log only.
QString personName(const QString& dicomName);

} // namespace skiascan

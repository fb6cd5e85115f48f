// The numbers already given in studies whose UID came from the worklist: the
// same order picked again (after an edit ended its study, or after a restart)
// goes on with the next number, so that no two images of one study share
// their series and image numbers. Kept in "Journal/studies.numbers" of the
// program folder, for 90 days after a study's last film.
#pragma once

#include <QString>

namespace skiascan {

class StudyNumbers {
public:
    explicit StudyNumbers(const QString& programFolder);

    /// The highest number given in the study so far; 0 when none is known.
    int last(const QString& studyUid) const;
    /// Records that `number` was given in the study. A file that cannot be
    /// written is logged: the numbering in memory still holds for this run.
    void note(const QString& studyUid, int number);

private:
    QString m_path;
};

} // namespace skiascan

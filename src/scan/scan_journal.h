// The scan journal: one small file per film in the scanner, written before the
// scanner starts and removed once the film is safe (delivered, or kept in the
// outbox). After a crash or a power cut, the journal tells the next start which
// films were in the scanner, for which patient, with which UIDs.
//
// Entries live in "Journal/" of the program folder, one JSON file each, named
// after the film's SOP Instance UID. Every change is one durable rename.
#pragma once

#include "scan/film_record.h"

#include <QString>

#include <vector>

namespace skiascan {

class ScanJournal {
public:
    /// The journal of a program folder.
    explicit ScanJournal(const QString& programFolder);

    QString folder() const { return m_folder; }

    /// Records a film (again, when its scanner's process id is known). Throws
    /// Failure (kind File) when the entry cannot be written: a scan must not
    /// start then, as nobody would know of its film after a crash.
    void write(const FilmRecord& film);

    /// Removes the film's entry; a failure is logged, the entry then stays.
    void remove(const FilmRecord& film);

    /// The films recorded, oldest first. An entry that cannot be read is moved
    /// to "Journal/damaged/" (and logged); an unfinished write is removed.
    std::vector<FilmRecord> films() const;

    /// The entry file of a film.
    QString entryPath(const FilmRecord& film) const;

    /// The bytes of an entry, and back. fromJson() returns false for bytes that
    /// are not an entry.
    static QByteArray toJson(const FilmRecord& film);
    static bool fromJson(const QByteArray& bytes, FilmRecord& film);

private:
    QString m_folder;
};

} // namespace skiascan

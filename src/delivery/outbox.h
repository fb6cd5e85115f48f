// The outbox keeps every image that some node has not yet confirmed, so that no
// film is ever lost.
//
// An outbox entry is one DICOM file in "Outbox/" of the program folder. Its name
// says when it was kept, which image it is and which nodes (slots 0 to 2) still
// owe a confirmation: "20261207101530123-2.25.123...-n02.dcm". An image kept
// while no node was configured at all owes "any" node configured later. Striking
// a node off renames the file; the last one deletes it. Every change is one
// rename, so a crash leaves either the old or the new state.
#pragma once

#include "dicom/image.h"

#include <QString>

#include <vector>

namespace skiascan {

class Outbox {
public:
    struct Entry {
        QString path;
        QString sopInstanceUid;
        std::vector<int> owed; // nodeSlots still owing a confirmation
        bool anyNode = false;  // kept while no node was configured
    };

    /// The outbox of a program folder ("Outbox/" in it, created when needed).
    explicit Outbox(const QString& programFolder);

    QString folder() const { return m_folder; }

    /// Keeps an image for the given nodeSlots (none: any node configured later).
    /// Written to a temporary name, flushed to disk, then renamed into place.
    /// Throws Failure when it cannot be written; nothing is left behind.
    void add(dicom::Image& image, const std::vector<int>& owed);

    /// The entries, oldest first. Files whose names are not entries are skipped.
    std::vector<Entry> entries() const;
    int count() const;

    /// Records that `slot` has confirmed the image: renames the entry, or deletes
    /// it when no node is owed any more. Updates `entry`.
    void strikeOff(Entry& entry, int slot);

    /// Turns an "any node" entry into one owing the given nodeSlots.
    void assign(Entry& entry, const std::vector<int>& nodeSlots);

    /// Moves an entry that cannot be read to "Outbox/damaged/". Never deletes it.
    void moveAside(const Entry& entry);

    /// The name of an entry file for these values, and back. parseName() returns
    /// false for a name that is not an entry's.
    static QString entryName(const QString& keptAt, const QString& sopInstanceUid, const std::vector<int>& owed, bool anyNode);
    static bool parseName(const QString& name, Entry& entry);

private:
    void renameEntry(Entry& entry, const std::vector<int>& owed, bool anyNode);

    QString m_folder;
};

} // namespace skiascan

// The bookkeeping of a feeder stack: how many films, which one is in the
// scanner, where it sits in the stack, and whether the stack goes on.
#pragma once

#include "scan/scan_commands.h"

namespace skiascan {

class FilmStack {
public:
    /// A stack of `films` films (as the Films field read when it started); in
    /// test mode (`scanner` false) every film is copied from the test image.
    FilmStack(int films, bool scanner);

    /// Moves on to the next film. False when the stack is done: all films
    /// scanned, or ended early after a film that could not be imported.
    bool next();

    /// The film in the scanner, from 1; 0 before the first next().
    int film() const { return m_film; }
    int count() const { return m_count; }

    /// Where the current film sits, told to the scanner. `filmsNow` is the Films
    /// field as it reads when the film starts: the film whose number it names is
    /// the last one, even when the stack goes on beyond it.
    FilmPlace place(int filmsNow) const;

    /// The current film could not be imported. In scanner mode the stack ends
    /// after it (the feeder is not to feed further films into a study gone
    /// wrong); in test mode it goes on.
    void filmFailed();

    /// Ends the stack after the current film, whatever its outcome.
    void stopAfterThisFilm() { m_stopped = true; }

private:
    int m_count;
    bool m_scanner;
    int m_film = 0;
    bool m_stopped = false;
};

} // namespace skiascan

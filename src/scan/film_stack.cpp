#include "scan/film_stack.h"

namespace skiascan {

FilmStack::FilmStack(int films, bool scanner)
    : m_count(films)
    , m_scanner(scanner)
{
}

bool FilmStack::next()
{
    if (m_stopped || m_film >= m_count)
        return false;
    ++m_film;
    return true;
}

FilmPlace FilmStack::place(int filmsNow) const
{
    return filmPlace(m_film, m_film == 1 ? 1 : filmsNow);
}

void FilmStack::filmFailed()
{
    if (m_scanner)
        m_stopped = true;
}

} // namespace skiascan

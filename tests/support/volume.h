// The size of volume tests. Under the sanitizers everything runs several times
// slower, so they run a tenth of the count there; the full sizes are measured
// by the benchmarks under bench/.
#pragma once

namespace skiascan::test {

constexpr int volume(int count)
{
#ifdef SKIASCAN_SANITIZED
    return count / 10 > 0 ? count / 10 : 1;
#else
    return count;
#endif
}

} // namespace skiascan::test

// Loaded with LD_PRELOAD into a program under test: notes every rename and
// every fsync (with the path of what was flushed) in the file that
// FSYNC_SPY_LOG names, one line each, in the order they happen.
#include <dlfcn.h>
#include <fcntl.h>
#include <unistd.h>

#include <climits>
#include <cstdio>
#include <cstdlib>

namespace {

void note(const char* what, const char* path)
{
    const char* log = getenv("FSYNC_SPY_LOG");
    if (!log)
        return;
    const int fd = open(log, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0600);
    if (fd < 0)
        return;
    char line[PATH_MAX + 16];
    const int n = snprintf(line, sizeof line, "%s %s\n", what, path);
    if (n > 0)
        (void)!write(fd, line, static_cast<size_t>(n));
    close(fd);
}

} // namespace

extern "C" int fsync(int fd)
{
    static auto* real = reinterpret_cast<int (*)(int)>(dlsym(RTLD_NEXT, "fsync"));
    char link[64];
    char path[PATH_MAX];
    snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
    const ssize_t n = readlink(link, path, sizeof path - 1);
    path[n > 0 ? n : 0] = '\0';
    const int result = real(fd);
    note("fsync", path);
    return result;
}

extern "C" int rename(const char* from, const char* to) noexcept
{
    static auto* real = reinterpret_cast<int (*)(const char*, const char*)>(dlsym(RTLD_NEXT, "rename"));
    const int result = real(from, to);
    if (result == 0)
        note("rename", to);
    return result;
}

#include "support/unprivileged.h"

#include <sys/wait.h>
#include <unistd.h>

namespace skiascan::test {

int runUnprivileged(const std::function<int()>& body)
{
    if (geteuid() != 0)
        return body();
    const pid_t child = fork();
    if (child < 0)
        return -1;
    if (child == 0) {
        constexpr uid_t kNobody = 65534;
        if (setgid(kNobody) != 0 || setuid(kNobody) != 0)
            _exit(250);
        _exit(body());
    }
    int status = 0;
    if (waitpid(child, &status, 0) != child || !WIFEXITED(status))
        return -1;
    return WEXITSTATUS(status);
}

} // namespace skiascan::test

// The cost of one DFU tool run through the driver, which is the hoop wait's
// cost per attempt, against the least a program can do for the same run:
// posix_spawn with both streams on one pipe, read to the end, waitpid. Both
// run /bin/true, which exits at once silently, alternately in the same process.

#include "update/dfutool.h"

#include <QCoreApplication>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

extern char **environ;

namespace {

using Clock = std::chrono::steady_clock;

bool spawnReadWait(const char *program)
{
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0)
        return false;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, fds[1], 1);
    posix_spawn_file_actions_adddup2(&actions, fds[1], 2);
    char *const argv[] = {const_cast<char *>(program), const_cast<char *>("at32uc3b1256"),
                          const_cast<char *>("get"), nullptr};
    pid_t pid = 0;
    const int failed = ::posix_spawn(&pid, program, &actions, nullptr, argv, environ);
    posix_spawn_file_actions_destroy(&actions);
    ::close(fds[1]);
    if (failed) {
        ::close(fds[0]);
        return false;
    }
    std::vector<char> output;
    char buffer[4096];
    for (ssize_t n; (n = ::read(fds[0], buffer, sizeof buffer)) != 0;) {
        if (n > 0)
            output.insert(output.end(), buffer, buffer + n);
        else if (errno != EINTR)
            break;
    }
    ::close(fds[0]);
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    return output.empty();
}

double median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

template <typename F> double timeOnce(F &&f)
{
    const auto begin = Clock::now();
    f();
    return std::chrono::duration<double, std::micro>(Clock::now() - begin).count();
}

} // namespace

// Usage: bench_tool_run [runs [program]]
int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const int runs = argc > 1 ? std::atoi(argv[1]) : 500;
    // Another program may be named to see the fixed cost against a faster start.
    const char *program = argc > 2 ? argv[2] : "/bin/true";

    DfuTool tool(QString::fromLocal8Bit(program));
    for (int i = 0; i < 20; ++i) {
        tool.detected();
        spawnReadWait(program);
    }

    std::vector<double> driver, baseline;
    for (int i = 0; i < runs; ++i) {
        driver.push_back(timeOnce([&] { tool.detected(); }));
        baseline.push_back(timeOnce([&] { spawnReadWait(program); }));
    }

    const double d = median(driver);
    const double b = median(baseline);
    std::printf("tool_run: %d runs each of %s, which exits at once\n", runs, program);
    std::printf("  driver (DfuTool::detected)         median %8.1f us\n", d);
    std::printf("  posix_spawn + read + waitpid       median %8.1f us\n", b);
    std::printf("  ratio driver / baseline            %8.2fx (goal: at most 1.30x)\n", d / b);
    return 0;
}

#include "platform/fetchapart.h"

#include "platform/devlog.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <vector>

extern char **environ;

namespace {

// Room for everything in an answer but the body.
constexpr long long kAnswerOverhead = 1024 * 1024;

struct Child
{
    pid_t pid = -1;
    int output = -1;
};

// Started with no blocked signals and the usual dispositions: the thread
// that starts it leaves the stop signals to the main one, and a process
// that ignores SIGPIPE passes that on through exec. posix_spawn rather than
// QProcess, which the DFU tool's runs use: this start happens while the
// window is being built, and posix_spawn shares the address space until
// exec instead of copying the window's page tables.
std::optional<Child> spawnHelper(const QString &program, const std::vector<std::string> &arguments)
{
    int pipeEnds[2];
    if (pipe2(pipeEnds, O_CLOEXEC) != 0)
        return std::nullopt;
    const QByteArray path = QFile::encodeName(program);
    std::vector<std::string> storage{path.toStdString()};
    storage.insert(storage.end(), arguments.begin(), arguments.end());
    std::vector<char *> argv;
    for (std::string &item : storage)
        argv.push_back(item.data());
    argv.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, pipeEnds[1], STDOUT_FILENO);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    sigset_t none, usual;
    sigemptyset(&none);
    sigemptyset(&usual);
    for (int signal : {SIGPIPE, SIGINT, SIGTERM, SIGHUP, SIGQUIT})
        sigaddset(&usual, signal);
    posix_spawnattr_setsigmask(&attributes, &none);
    posix_spawnattr_setsigdefault(&attributes, &usual);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
    Child child;
    const int error =
        posix_spawn(&child.pid, path.constData(), &actions, &attributes, argv.data(), environ);
    posix_spawnattr_destroy(&attributes);
    posix_spawn_file_actions_destroy(&actions);
    close(pipeEnds[1]);
    if (error != 0) {
        close(pipeEnds[0]);
        devLog(QStringLiteral("Could not start %1: %2")
                   .arg(program, QString::fromLocal8Bit(std::strerror(error))));
        return std::nullopt;
    }
    child.output = pipeEnds[0];
    return child;
}

enum class Reading { Done, TooLong, TooLate };

// All the child writes until it closes its output, within `limit` bytes and
// by `deadline`.
Reading readAll(int fd, std::string &into, long long limit,
                std::chrono::steady_clock::time_point deadline)
{
    char buffer[64 * 1024];
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0)
            return Reading::TooLate;
        pollfd ready{fd, POLLIN, 0};
        const int polled = poll(&ready, 1, int(std::min<long long>(left.count(), 60000)));
        if (polled < 0 && errno != EINTR)
            return Reading::Done;
        if (polled <= 0)
            continue;
        const ssize_t got = read(fd, buffer, sizeof buffer);
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0)
            return Reading::Done;
        into.append(buffer, got);
        if (static_cast<long long>(into.size()) > limit)
            return Reading::TooLong;
    }
}

int waitFor(pid_t pid)
{
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    return status;
}

} // namespace

QString installedFetchHelper()
{
    const QDir bin(QCoreApplication::applicationDirPath());
#ifdef Q_OS_MACOS
    const QString helper = bin.absoluteFilePath(QStringLiteral("hoop-updater-fetch"));
#else
    const QString helper = QDir::cleanPath(
        bin.absoluteFilePath(QStringLiteral("../lib/hoop-updater/hoop-updater-fetch")));
#endif
    const QFileInfo info(helper);
    return info.isFile() && info.isExecutable() ? helper : QString();
}

std::optional<Transfer> transferApart(const QString &program, const TransferRequest &request)
{
    const std::optional<Child> child = spawnHelper(program, transferArguments(request));
    if (!child)
        return std::nullopt;
    const TransferLimits &limits = request.limits;
    // The program keeps to the same limits; this only bounds one that hangs
    // for some other reason.
    const auto deadline =
        std::chrono::steady_clock::now() +
        std::chrono::seconds(limits.totalSeconds + limits.connectTimeoutSeconds + 10);
    std::string answer;
    const Reading reading =
        readAll(child->output, answer, limits.maxBytes + kAnswerOverhead, deadline);
    close(child->output);
    if (reading != Reading::Done)
        kill(child->pid, SIGKILL);
    const int status = waitFor(child->pid);
    if (reading == Reading::TooLate) {
        devLog(QStringLiteral("%1 gave no answer in time; stopped it").arg(program));
        Transfer late;
        late.setUp = true;
        late.code = CURLE_OPERATION_TIMEDOUT;
        late.error = "the fetching program gave no answer in time";
        return late;
    }
    std::optional<Transfer> transfer;
    if (reading == Reading::Done && WIFEXITED(status) && WEXITSTATUS(status) == 0)
        transfer = decodeTransfer(answer);
    if (!transfer)
        devLog(QStringLiteral("%1 gave no usable answer (%2, %3 bytes); fetching here instead")
                   .arg(program, WIFSIGNALED(status)
                                     ? QStringLiteral("killed by signal %1").arg(WTERMSIG(status))
                                     : QStringLiteral("exit status %1").arg(WEXITSTATUS(status)))
                   .arg(answer.size()));
    return transfer;
}

/*
 * YRNAgentRun: launcher for the background agent.
 *
 * Started with one argument, a whole shell command line, it records its own
 * process id plus 2 in /etc/yrnagent.pid (decimal, no newline), then runs the
 * command through /bin/sh on one worker thread and exits once that shell has
 * ended. Its exit status is 0 whatever the agent's was; 1 when the pid file
 * cannot be written; the error number when the worker or the agent's shell
 * cannot be started.
 * It prints nothing and reads no configuration. yrnAgentHalt, which the
 * launcher itself never calls, runs the agent's control script with "stop".
 */
#include "YRNAgentRun.h"

#include <errno.h>
#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <spawn.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

static const char pidFile[] = "/etc/yrnagent.pid";

// Creates the pid file holding value in decimal with no newline; false when it
// cannot be created, written or closed, and then no partial file is left.
static bool yrnAgentRecord(pid_t value)
{
    // Formatted on the stack and written at once: a stream would allocate,
    // and the worker's first allocation sets up a whole malloc arena.
    char text[16];
    const auto length = static_cast<size_t>(snprintf(text, sizeof text, "%d", value));

    // 0644 under the umask: never group- or world-writable. What a failed
    // removal left at the path is written only if nobody else could have
    // written it: a link is not followed, a FIFO or a terminal neither blocks
    // the open nor becomes the launcher's terminal, and the file is emptied
    // only after the check. Anything else is refused, not taken over with
    // fchown or fchmod, which cannot close a descriptor another user holds.
    const int fd = open(pidFile,
        O_WRONLY | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC, 0644);
    if (fd < 0)
        return false;
    struct stat file;
    const bool adoptable = fstat(fd, &file) == 0 && S_ISREG(file.st_mode) &&
        file.st_nlink == 1 && file.st_uid == geteuid() && (file.st_mode & 022) == 0;
    if (!adoptable || (file.st_size != 0 && ftruncate(fd, 0) != 0)) {
        (void)close(fd); // refused: nothing was written through it
        return false;
    }
    const bool written = write(fd, text, length) == static_cast<ssize_t>(length);
    const bool closed = close(fd) == 0;
    if (written && closed)
        return true;
    // Nothing more can be done if even the unlink fails.
    (void)unlink(pidFile);
    return false;
}

// Runs the command line through /bin/sh and waits for that shell, keeping what
// system() gives its callers: SIGINT and SIGQUIT ignored here meanwhile and
// reset in the shell unless ignored from the start, SIGCHLD blocked in this
// thread, and the environment, streams and signal mask passed on. Leaves the
// wait status in *status; returns 0, or the error number when the shell could
// not be started.
static int yrnAgentShell(const char *command, int *status)
{
    // None of these calls can fail with the arguments given.
    struct sigaction ignore = {};
    ignore.sa_handler = SIG_IGN;
    struct sigaction interrupt;
    struct sigaction quit;
    (void)sigaction(SIGINT, &ignore, &interrupt);
    (void)sigaction(SIGQUIT, &ignore, &quit);
    sigset_t reset;
    (void)sigemptyset(&reset);
    if (interrupt.sa_handler != SIG_IGN)
        (void)sigaddset(&reset, SIGINT);
    if (quit.sa_handler != SIG_IGN)
        (void)sigaddset(&reset, SIGQUIT);
    sigset_t child;
    (void)sigemptyset(&child);
    (void)sigaddset(&child, SIGCHLD);
    sigset_t mask;
    (void)pthread_sigmask(SIG_BLOCK, &child, &mask);

    posix_spawnattr_t attributes;
    (void)posix_spawnattr_init(&attributes);
    (void)posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK);
    (void)posix_spawnattr_setsigdefault(&attributes, &reset);
    (void)posix_spawnattr_setsigmask(&attributes, &mask);
    // "--": a command line that begins with "-" is not taken for options.
    char *const arguments[] = {const_cast<char *>("sh"), const_cast<char *>("-c"),
        const_cast<char *>("--"), const_cast<char *>(command), nullptr};
    pid_t shell = 0;
    const int failure = posix_spawn(&shell, "/bin/sh", nullptr, &attributes, arguments, environ);
    (void)posix_spawnattr_destroy(&attributes);

    *status = -1;
    if (failure == 0) {
        while (waitpid(shell, status, 0) < 0 && errno == EINTR) {
        }
    }
    (void)sigaction(SIGINT, &interrupt, nullptr);
    (void)sigaction(SIGQUIT, &quit, nullptr);
    (void)pthread_sigmask(SIG_SETMASK, &mask, nullptr);
    return failure;
}

// Records the process id plus 2 in the pid file, then runs the agent command
// through the shell and returns its status once the shell has ended.
void *yrnAgentRun(void *command)
{
    const pid_t pid = getpid();

    // The removal's status is not needed: a missing file is no error, and a
    // removal that failed shows when the file is created.
    // NOLINTNEXTLINE(cert-env33-c): the removal is a shell command line by design.
    [[maybe_unused]] const int removal = system("rm -f /etc/yrnagent.pid");

    if (!yrnAgentRecord(pid + 2))
        exit(1); // NOLINT(concurrency-mt-unsafe): the initial thread only waits.

    if (command == nullptr)
        return nullptr;
    // Not system(): it reports a shell that could not be started as one that
    // ran and found no agent, and it gives no "--" before the command line.
    int status = 0;
    const int failure = yrnAgentShell(static_cast<const char *>(command), &status);
    if (failure != 0)
        exit(failure); // NOLINT(concurrency-mt-unsafe): the initial thread only waits.
    // NOLINTNEXTLINE(performance-no-int-to-ptr): a thread's result is a pointer.
    return reinterpret_cast<void *>(static_cast<intptr_t>(status));
}

// Runs the agent's control script with "stop" and returns its status.
int yrnAgentHalt(void)
{
    // NOLINTNEXTLINE(cert-env33-c): the control script is run through the shell by design.
    return system("/opt/VTQ/Tessivane/Agent/bin/startup stop");
}

// Runs yrnAgentRun on one worker thread with the first argument and exits
// with the result of waiting for it; the agent's own status is dropped.
int main(int argc, char *argv[])
{
    // With argc 0, argv[1] would lie past the vector, in the environment.
    char *const command = argc > 1 ? argv[1] : nullptr;

    pthread_attr_t attributes;
    (void)pthread_attr_init(&attributes); // cannot fail on Linux

    pthread_t worker;
    const int failure = pthread_create(&worker, &attributes, yrnAgentRun, command);
    if (failure != 0)
        return failure;
    return pthread_join(worker, nullptr);
}

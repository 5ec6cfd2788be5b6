/*
 * YRNAgentRun: launcher for the background agent.
 *
 * Started with one argument, a whole shell command line, it records its own
 * process id plus 2 in /etc/yrnagent.pid (decimal, no newline), then runs the
 * command through /bin/sh on one worker thread and exits once that shell has
 * ended. Its exit status is 0 whatever the agent's was; 1 when the pid file
 * cannot be written; the error number when the worker cannot be started.
 * It prints nothing and reads no configuration. yrnAgentHalt, which the
 * launcher itself never calls, runs the agent's control script with "stop".
 */
#include "YRNAgentRun.h"

#include <fcntl.h>
#include <pthread.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
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

    // 0644 under the umask: never group- or world-writable. A link left behind
    // by a failed removal is refused rather than written through.
    const int fd = open(pidFile, O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0644);
    if (fd < 0)
        return false;
    const bool written = write(fd, text, length) == static_cast<ssize_t>(length);
    const bool closed = close(fd) == 0;
    if (written && closed)
        return true;
    // Nothing more can be done if even the unlink fails.
    (void)unlink(pidFile);
    return false;
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

    // NOLINTNEXTLINE(cert-env33-c): running the agent's command line is the purpose.
    const int status = system(static_cast<const char *>(command));
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

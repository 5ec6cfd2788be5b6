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

/* Records the process id plus 2 in the pid file, then runs the agent command
   through the shell and returns its status once the shell has ended. */
void *yrnAgentRun(void *command)
{
    const pid_t pid = getpid();

    /* Removal through the shell is part of the contract; its status is ignored
       because a missing file is no error and a failed removal shows below. */
    (void)system("rm -f /etc/yrnagent.pid");

    /* 0644 under the umask: never group- or world-writable. A link left behind
       by a failed removal is refused rather than written through. */
    const int fd = open(pidFile, O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0644);
    if (fd < 0)
        exit(1);
    const bool written = dprintf(fd, "%d", pid + 2) >= 0;
    const bool closed = close(fd) == 0;
    if (!written || !closed) {
        /* Leave no partial file, the same state as when the open fails;
           nothing more can be done if even this fails. */
        (void)unlink(pidFile);
        exit(1);
    }

    const int status = system(static_cast<const char *>(command));
    return reinterpret_cast<void *>(static_cast<intptr_t>(status));
}

/* Runs the agent's control script with "stop" and returns its status. */
int yrnAgentHalt(void)
{
    return system("/opt/VTQ/Tessivane/Agent/bin/startup stop");
}

/* Runs yrnAgentRun on one worker thread with the first argument and exits
   with the result of waiting for it; the agent's own status is dropped. */
int main(int argc, char *argv[])
{
    /* With argc 0, argv[1] would lie past the vector, in the environment. */
    char *const command = argc > 1 ? argv[1] : nullptr;

    pthread_attr_t attributes;
    (void)pthread_attr_init(&attributes); /* cannot fail on Linux */

    pthread_t worker;
    const int failure = pthread_create(&worker, &attributes, yrnAgentRun, command);
    if (failure != 0)
        return failure;
    return pthread_join(worker, nullptr);
}

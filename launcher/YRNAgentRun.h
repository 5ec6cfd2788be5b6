/*
 * The agent launcher's two routines. Both have C linkage: yrnAgentRun is a
 * thread start routine, and C programs may call yrnAgentHalt.
 */
#ifndef YRNAGENTRUN_H
#define YRNAGENTRUN_H

#ifdef __cplusplus
extern "C" {
#endif

/* Writes the pid file, then runs the shell command line `command` through
   /bin/sh and returns the shell's wait status (null, having run nothing, when
   `command` is null). Ends the process with status 1 when the pid file cannot
   be written, and with the error number when the shell cannot be started. */
void *yrnAgentRun(void *command);

/* Runs the agent's control script with "stop" and returns the status
   system() reports for it. */
int yrnAgentHalt(void);

#ifdef __cplusplus
}
#endif

#endif

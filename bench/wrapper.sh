#!/bin/sh
# The launcher's steps as a shell script, for comparison in bench/run only:
# remove the pid file, write the process id plus 2, run the command.
rm -f /etc/yrnagent.pid
printf %d $(($$ + 2)) > /etc/yrnagent.pid
sh -c "$1"

/* Calls yrnAgentHalt, which the launcher never calls itself, and prints the
   raw status it returned. */
#include <stdio.h>

#include "YRNAgentRun.h"

int main(void)
{
    printf("%d\n", yrnAgentHalt());
    return 0;
}

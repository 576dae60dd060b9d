// Kept in a file of its own so that the pause the service loop reads is one
// symbol, which the tests check; release builds always use 60 seconds.
#include "kestrun/Globals.h"

#ifndef KESTRUN_SERVICE_PASS_PAUSE
#define KESTRUN_SERVICE_PASS_PAUSE 60
#endif

const unsigned vqServicePassPause = KESTRUN_SERVICE_PASS_PAUSE;

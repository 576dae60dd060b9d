// Kept in a file of its own so that what the service loop reads is one symbol
// each, which the tests check: release builds rest 60 seconds after every pass
// and never stop. Test builds vary them to run many passes quickly.
#include "kestrun/Globals.h"

#ifndef KESTRUN_SERVICE_PASS_PAUSE
#define KESTRUN_SERVICE_PASS_PAUSE 60
#endif
#ifndef KESTRUN_SERVICE_PASS_LIMIT
#define KESTRUN_SERVICE_PASS_LIMIT 0
#endif

const unsigned vqServicePassPause = KESTRUN_SERVICE_PASS_PAUSE;
const unsigned long vqServicePassLimit = KESTRUN_SERVICE_PASS_LIMIT;

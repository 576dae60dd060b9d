// The numbers a build may vary, kept apart so that one set of sources links
// into the release tool and into the older and faster builds the tests run.
#include "kestrun/Globals.h"

#ifndef KESTRUN_OWN_VERSION
#define KESTRUN_OWN_VERSION 8
#endif
#ifndef KESTRUN_SERVICE_PASS_PAUSE
#define KESTRUN_SERVICE_PASS_PAUSE 60
#endif
#ifndef KESTRUN_SERVICE_PASS_LIMIT
#define KESTRUN_SERVICE_PASS_LIMIT 0
#endif

const uint32_t vqOwnVersion = KESTRUN_OWN_VERSION;
const unsigned vqServicePassPause = KESTRUN_SERVICE_PASS_PAUSE;
const unsigned long vqServicePassLimit = KESTRUN_SERVICE_PASS_LIMIT;

#define KESTRUN_STRING(x) #x
#define KESTRUN_EXPAND(x) KESTRUN_STRING(x)
// Where `kestrun status` finds the version of an installed copy without
// running it: this text, followed by the number, in the binary's data.
const char vqOwnVersionMarker[] = "@(#)kestrun own version " KESTRUN_EXPAND(KESTRUN_OWN_VERSION);

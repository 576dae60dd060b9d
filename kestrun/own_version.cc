// Kept in a file of its own so that a build can link an older version number
// into the same sources (used to exercise updates).
#include "kestrun/Globals.h"

#ifndef KESTRUN_OWN_VERSION
#define KESTRUN_OWN_VERSION 8
#endif

const uint32_t vqOwnVersion = KESTRUN_OWN_VERSION;

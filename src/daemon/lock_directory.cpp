// The lock directory as this build was configured: apart from main so that
// the rest of the daemon is built once for every set of paths.

#include "port/lock.hpp"

#ifndef PTYBRIDGE_LOCK_DIR
#error "PTYBRIDGE_LOCK_DIR must name the lock directory"
#endif

const char lock_directory[] = PTYBRIDGE_LOCK_DIR;

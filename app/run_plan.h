// The two roles of a run: the owner of the adapter, or a client of the owner.
#pragma once

#include "app/user_obj.h"

// Each runs the role to its end and returns the exit status. `frame` is the
// parsed frame to send in send mode.
int runOwner(const char* name, const _KCAN_USER_OBJ& frame);
int runClient(const char* name, const _KCAN_USER_OBJ& frame);
// --serve when another process already owns the adapter: nothing to do;
// says so and returns 0.
int serveAlreadyOwned(const char* name);

// The run-as identity of a service child.
#pragma once

// Switches the process to the account named in "./.spxrunid" (or, without
// that file, "spxhost", else "guest"). 1 on success, 0 on failure; prints
// its own messages.
int SetEffectiveRunId();

// The run-as switch as the outbound services take it: false after the
// refusal line ("couldnt set effective userid"), when the service must
// abort.
bool SwitchToRunAsAccount();

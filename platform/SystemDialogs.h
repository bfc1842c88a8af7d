// Each system's share of user interaction, inside the platform layer: what is
// answered when the host installed no dialog handler, and the system's step of
// the message pump.
#pragma once

#include "WinApi.h"

// boxType: the message box's MB_ flags (made up from the request for message
// dialogs).
int AnswerUnasked(const DialogRequest& request, UINT boxType);
// What a user who can't be asked would choose: never retry, never overwrite.
int SilentAnswer(unsigned buttons);
// Dispatches at most one pending message of the calling thread's queue.
void PumpSystemMessage();

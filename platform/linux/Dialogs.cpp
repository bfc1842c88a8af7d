// Linux has no message box a library could show: unasked questions get the
// safe answer, silently, and there is no system message queue to pump.
#include "SystemDialogs.h"

int AnswerUnasked(const DialogRequest& request, UINT) { return SilentAnswer(request.buttons); }

void PumpSystemMessage() {}

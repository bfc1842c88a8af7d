// A Windows host without a dialog handler expects the system's message box.
// But a box nobody can see would stop the scan for good: a service's window
// station is invisible, and under wine without a display MessageBoxA fails at
// once (it returns -1 with ERROR_INVALID_WINDOW_HANDLE rather than blocking).
// So the box is shown only on a visible window station, and a box that could
// not be shown gets the silent answer Linux gives.
#include "NativeSys.h"
#include "SystemDialogs.h"

int AnswerUnasked(const DialogRequest& request, UINT boxType) {
  if (native::CanShowWindows()) {
    const char* caption = request.caption.c_str();
    if (request.type != TMsgDlgType::mtCustom) {
      static const char* const kCaptions[] = {"Warning", "Error", "Information", "Confirm"};
      caption = kCaptions[static_cast<int>(request.type)];
    }
    if (const int answer = native::ShowMessageBox(request.text.c_str(), caption, boxType)) return answer;
  }
  return SilentAnswer(request.buttons);
}

void PumpSystemMessage() { native::DispatchOneMessage(); }

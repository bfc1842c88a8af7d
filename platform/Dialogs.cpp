// User interaction: message boxes and dialogs go to the host's handler; without
// one the system answers (SystemDialogs.h).
#include <mutex>

#include "SystemDialogs.h"

namespace {

struct DialogState {
  std::mutex lock;
  DialogHandler handler;
  std::function<void()> pumpHook;
  std::function<AnsiString(int)> strings;
};

DialogState& State() {
  static DialogState state;
  return state;
}

unsigned ButtonsOfMessageBox(UINT type) {
  switch (type & 0xF) {
    case MB_ABORTRETRYIGNORE: return mbAbort | mbRetry | mbIgnore;
    default: return mbOK;
  }
}

// The message box a dialog shows as when the system asks.
UINT BoxTypeOf(TMsgDlgType type, unsigned buttons) {
  UINT boxType = (buttons & mbYes) ? MB_YESNO : (buttons & mbAbort) ? MB_ABORTRETRYIGNORE : MB_OK;
  switch (type) {
    case TMsgDlgType::mtWarning: boxType |= MB_ICONEXCLAMATION; break;
    case TMsgDlgType::mtError: boxType |= MB_ICONHAND; break;
    case TMsgDlgType::mtInformation: boxType |= MB_ICONASTERISK; break;
    case TMsgDlgType::mtConfirmation: boxType |= MB_ICONQUESTION; break;
    case TMsgDlgType::mtCustom: break;
  }
  return boxType;
}

int Ask(const DialogRequest& request, UINT boxType) {
  DialogHandler handler;
  {
    auto& s = State();
    std::lock_guard guard(s.lock);
    handler = s.handler;
  }
  return handler ? handler(request) : AnswerUnasked(request, boxType);
}

}  // namespace

int SilentAnswer(unsigned buttons) {
  if (buttons & mbAbort) return IDABORT;
  if (buttons & mbNo) return IDNO;
  return IDOK;
}

int MessageBoxA(void* owner, const char* text, const char* caption, UINT type) {
  DialogRequest request;
  request.text = text ? text : "";
  request.caption = caption ? caption : "";
  request.type = TMsgDlgType::mtCustom;
  request.buttons = ButtonsOfMessageBox(type);
  return Ask(request, type);
}

int MessageDlg(const AnsiString& text, TMsgDlgType type, unsigned buttons) {
  DialogRequest request;
  request.text = text;
  request.type = type;
  request.buttons = buttons;
  return Ask(request, BoxTypeOf(type, buttons));
}

void SetDialogHandler(DialogHandler handler) {
  auto& s = State();
  std::lock_guard guard(s.lock);
  s.handler = std::move(handler);
}

namespace {
AnsiString OwnString(int id) {
  switch (id) {
    case 1711: return "Could not write to the file %s!";
    case 1712: return "Could not read source file! (device: %s, start cluster: %d, size: %d)";
    case 1713: return "Could not open source file! (device: %s, start cluster: %d, size: %d)";
    case 1715: return "The folder %s already exists.";
    case 1716: return "Do you want to save into it and overwrite the files it holds?";
    case 1717: return "Not enough free space to save %s on %s!";
    case 1718: return "The file %s already exists.";
    case 1719: return "Do you want to overwrite it?";
    case 1720: return "Could not create the folder %s!";
    case 1721: return "Could not open source file! (device: %s, MFT file ref: %d, size: %d)";
    default: return "";
  }
}
}  // namespace

AnsiString LoadStr(int id) {
  std::function<AnsiString(int)> table;
  {
    auto& s = State();
    std::lock_guard guard(s.lock);
    table = s.strings;
  }
  AnsiString text = table ? table(id) : AnsiString();
  return text.empty() ? OwnString(id) : text;
}

void SetStringTable(std::function<AnsiString(int id)> table) {
  auto& s = State();
  std::lock_guard guard(s.lock);
  s.strings = std::move(table);
}

AnsiString FormatStr(const AnsiString& format, const std::vector<AnsiString>& args) {
  AnsiString out;
  size_t next = 0;
  for (size_t i = 0; i < format.size(); ++i) {
    if (format[i] != '%' || i + 1 >= format.size()) {
      out += format[i];
      continue;
    }
    if (format[i + 1] == '%') {
      out += '%';
      ++i;
      continue;
    }
    size_t end = i + 1;
    while (end < format.size() && format[end] == 'l') ++end;
    if (end < format.size() && (format[end] == 's' || format[end] == 'd' || format[end] == 'u')) {
      if (next < args.size()) out += args[next];
      ++next;
      i = end;
    } else {
      out += '%';
    }
  }
  return out;
}

int MessageDlgStr(int id, std::vector<AnsiString> args, TMsgDlgType type, unsigned buttons, int secondId) {
  DialogRequest request;
  request.text = FormatStr(LoadStr(id), args);
  if (secondId) request.text += "\r\r" + LoadStr(secondId);
  request.type = type;
  request.buttons = buttons;
  request.stringId = id;
  request.args = std::move(args);
  request.secondId = secondId;
  return Ask(request, BoxTypeOf(type, buttons));
}

void SetMessagePumpHook(std::function<void()> hook) {
  auto& s = State();
  std::lock_guard guard(s.lock);
  s.pumpHook = std::move(hook);
}

void ProcessOneMessage() {
  std::function<void()> hook;
  {
    auto& s = State();
    std::lock_guard guard(s.lock);
    hook = s.pumpHook;
  }
  PumpSystemMessage();
  if (hook) hook();
}

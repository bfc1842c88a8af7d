// The program's host calls on Linux: POSIX paths, terminals and SIGINT.
#include "HostSystem.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <mutex>
#include <sstream>
#include <thread>

std::vector<std::string> StartHostProgram(int argc, char** argv) {
  return std::vector<std::string>(argv, argv + argc);
}

namespace {

HostPathKind KindOf(const struct stat& st) {
  if (S_ISDIR(st.st_mode)) return HostPathKind::Folder;
  if (S_ISREG(st.st_mode)) return HostPathKind::File;
  if (S_ISBLK(st.st_mode)) return HostPathKind::Device;
  return HostPathKind::Other;
}

}  // namespace

bool ResolveHostPath(const std::string& path, std::string& resolved, HostPathKind& kind, std::string& reason) {
  char buffer[PATH_MAX];
  struct stat st;
  if (!realpath(path.c_str(), buffer) || stat(buffer, &st) != 0) {
    reason = std::strerror(errno);
    return false;
  }
  resolved = buffer;
  kind = KindOf(st);
  return true;
}

HostPathKind HostPathKindOf(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 ? KindOf(st) : HostPathKind::Missing;
}

namespace {

// Mount-table fields write a space as "\040".
std::string Unescaped(std::string field) {
  for (size_t at = 0; (at = field.find('\\', at)) != std::string::npos && at + 3 < field.size(); ++at)
    field.replace(at, 4, 1, char(std::stoi(field.substr(at + 1, 3), nullptr, 8)));
  return field;
}

}  // namespace

bool HostMountAt(const std::string& dir, std::string& type, std::string& source) {
  std::ifstream in("/proc/self/mountinfo");
  bool found = false;
  for (std::string line; std::getline(in, line);) {
    std::istringstream fields(line);
    std::string skip, point, word;
    fields >> skip >> skip >> skip >> skip >> point;
    if (Unescaped(point) != dir) continue;
    while (fields >> word && word != "-") {
    }
    fields >> type >> source;
    source = Unescaped(source);
    found = true;  // the last mount there is the one seen
  }
  return found;
}

bool IsHostLink(const std::string& path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode);
}

bool MakeHostFolder(const std::string& path) { return mkdir(path.c_str(), 0777) == 0; }

bool RemoveHostFolder(const std::string& path) { return rmdir(path.c_str()) == 0; }

void ClearHostError() { errno = 0; }

std::string HostErrorText() { return errno ? std::strerror(errno) : ""; }

bool IsTerminal(HostStream stream) {
  return isatty(stream == HostStream::Out ? STDOUT_FILENO : STDERR_FILENO) == 1;
}

namespace {

std::atomic<bool> interrupted{false};
int interruptPipe[2] = {-1, -1};
std::mutex interruptLock;
std::function<void()> interruptCallback;

void OnSigint(int) {
  if (interrupted.exchange(true)) _exit(130);  // second Ctrl-C: leave at once
  const char byte = 1;
  [[maybe_unused]] ssize_t ignored = write(interruptPipe[1], &byte, 1);
}

// Runs the callback outside the signal handler, where it may lock and wait.
void InterruptWatcher() {
  char byte;
  while (read(interruptPipe[0], &byte, 1) < 0 && errno == EINTR) {
  }
  std::function<void()> callback;
  {
    std::lock_guard guard(interruptLock);
    callback = interruptCallback;
  }
  if (callback) callback();
}

}  // namespace

void InstallInterruptHandler(std::function<void()> onInterrupt) {
  {
    std::lock_guard guard(interruptLock);
    interruptCallback = std::move(onInterrupt);
    if (interruptPipe[0] >= 0) return;
    if (pipe2(interruptPipe, O_CLOEXEC) != 0) return;
  }
  std::thread(InterruptWatcher).detach();
  struct sigaction sa {};
  sa.sa_handler = OnSigint;
  sigemptyset(&sa.sa_mask);
  sa.sa_flags = SA_RESTART;
  sigaction(SIGINT, &sa, nullptr);
}

bool Interrupted() { return interrupted.load(); }

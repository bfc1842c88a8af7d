#include "ToolProcess.h"

#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

namespace {

// Moves whatever is readable from the open pipes; closes a pipe at its end.
void Pump(int& out, int& err, std::string& o, std::string& e) {
  pollfd fds[2] = {{out, POLLIN, 0}, {err, POLLIN, 0}};
  if (poll(fds, 2, -1) < 0) return;
  char buf[65536];
  for (int i = 0; i < 2; ++i) {
    int& fd = i == 0 ? out : err;
    if (fd < 0 || !(fds[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
    const ssize_t n = read(fd, buf, sizeof buf);
    if (n > 0)
      (i == 0 ? o : e).append(buf, size_t(n));
    else if (n == 0 || errno != EINTR) {
      close(fd);
      fd = -1;
    }
  }
}

}  // namespace

ToolProcess::ToolProcess(const std::vector<std::string>& argv, const std::string& input) {
  int i[2], o[2], e[2];
  if (pipe(i) != 0 || pipe(o) != 0 || pipe(e) != 0) return;
  pid_ = fork();
  if (pid_ == 0) {
    dup2(i[0], 0);
    dup2(o[1], 1);
    dup2(e[1], 2);
    for (int fd : {i[0], i[1], o[0], o[1], e[0], e[1]}) close(fd);
    signal(SIGPIPE, SIG_DFL);
    setenv("LC_ALL", "C.UTF-8", 1);
    setenv("MTOOLS_SKIP_CHECK", "1", 1);
    std::vector<char*> args;
    for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    execvp(args[0], args.data());
    _exit(127);
  }
  close(i[0]);
  close(o[1]);
  close(e[1]);
  // Answers to prompts are short: the pipe takes them without blocking, and
  // a program that never reads them must not end the test.
  signal(SIGPIPE, SIG_IGN);
  if (!input.empty() && write(i[1], input.data(), input.size()) < 0) {
  }
  close(i[1]);
  out_ = o[0];
  err_ = e[0];
}

ToolProcess::~ToolProcess() {
  if (pid_ > 0) {
    kill(pid_, SIGKILL);
    Finish();
  }
  if (out_ >= 0) close(out_);
  if (err_ >= 0) close(err_);
}

std::string ToolProcess::ReadOut(size_t n) {
  // Only stdout is waited for here; stderr is small and drained at the end.
  int none = -1;
  std::string ignored;
  while (outSoFar_.size() < n && out_ >= 0) Pump(out_, none, outSoFar_, ignored);
  return outSoFar_;
}

void ToolProcess::Signal(int sig) {
  if (pid_ > 0) kill(pid_, sig);
}

ToolResult ToolProcess::Finish() {
  ToolResult r;
  r.out = std::move(outSoFar_);
  while (out_ >= 0 || err_ >= 0) Pump(out_, err_, r.out, r.err);
  if (pid_ > 0) {
    int status = 0;
    while (waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
    }
    r.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    pid_ = -1;
  }
  return r;
}

ToolResult RunProgram(const std::vector<std::string>& argv, const std::string& input) {
  return ToolProcess(argv, input).Finish();
}

ToolResult RunTool(const std::vector<std::string>& args, const std::string& input) {
  std::vector<std::string> argv{MOX_TOOL_PATH};
  argv.insert(argv.end(), args.begin(), args.end());
  return RunProgram(argv, input);
}

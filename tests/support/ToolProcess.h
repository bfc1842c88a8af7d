// Running the moxvolscan program (or any program) from a test: run to the
// end and capture its output, or start it and talk to it while it runs.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

struct ToolResult {
  int exitCode = -1;  // -1 when it did not exit normally
  std::string out;
  std::string err;
};

// Runs argv (argv[0] is looked up in PATH) to the end, input on its stdin.
ToolResult RunProgram(const std::vector<std::string>& argv, const std::string& input = "");
// Runs the moxvolscan program built with the tests.
ToolResult RunTool(const std::vector<std::string>& args, const std::string& input = "");

// A running program with its stdout and stderr on pipes.
class ToolProcess {
 public:
  // The test's own zone (TZ) and a UTF-8 locale.
  explicit ToolProcess(const std::vector<std::string>& argv, const std::string& input = "");
  ~ToolProcess();  // kills it if still running
  ToolProcess(const ToolProcess&) = delete;
  ToolProcess& operator=(const ToolProcess&) = delete;

  // Reads stdout until at least n bytes have arrived (or it ends); returns them.
  std::string ReadOut(size_t n);
  void Signal(int sig);
  // Reads both pipes to their end and waits for the exit.
  ToolResult Finish();

 private:
  pid_t pid_ = -1;
  int out_ = -1, err_ = -1;
  std::string outSoFar_;
};

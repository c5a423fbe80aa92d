// A child process running one of the test helper programs, with pipes to its
// standard input and output.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

class ChildProcess {
 public:
  // Starts tests/engine/helpers/<helper> with the arguments and environment
  // additions given ("NAME=value").
  ChildProcess(const std::string& helper, const std::vector<std::string>& args,
               const std::vector<std::string>& env = {});
  ~ChildProcess();
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  // One line of the child's output without its line feed; "" at its end.
  std::string readLine();
  void writeLine(const std::string& line);
  void kill(int signal);
  // Waits for the child and returns its wait status.
  int wait();
  pid_t pid() const { return child; }

 private:
  pid_t child = -1;
  int toChild = -1;
  int fromChild = -1;
  std::string pending;
  bool waited = false;
  int status = 0;
};

// Absolute path of a test helper program.
std::string helperPath(const std::string& helper);

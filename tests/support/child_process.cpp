#include "tests/support/child_process.h"

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <stdexcept>

std::string helperPath(const std::string& helper) { return std::string(TORVIK_HELPERS_DIR) + "/" + helper; }

ChildProcess::ChildProcess(const std::string& helper, const std::vector<std::string>& args,
                           const std::vector<std::string>& env) {
  int in[2], out[2];
  if (pipe(in) != 0 || pipe(out) != 0) throw std::runtime_error("pipe failed");
  std::string path = helperPath(helper);
  child = fork();
  if (child < 0) throw std::runtime_error("fork failed");
  if (child == 0) {
    dup2(in[0], 0);
    dup2(out[1], 1);
    close(in[0]);
    close(in[1]);
    close(out[0]);
    close(out[1]);
    for (const std::string& e : env) putenv(strdup(e.c_str()));
    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(path.c_str()));
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    execv(path.c_str(), argv.data());
    _exit(127);
  }
  close(in[0]);
  close(out[1]);
  toChild = in[1];
  fromChild = out[0];
}

ChildProcess::~ChildProcess() {
  if (!waited && child > 0) {
    ::kill(child, SIGKILL);
    wait();
  }
  if (toChild >= 0) close(toChild);
  if (fromChild >= 0) close(fromChild);
}

std::string ChildProcess::readLine() {
  while (true) {
    size_t nl = pending.find('\n');
    if (nl != std::string::npos) {
      std::string line = pending.substr(0, nl);
      pending.erase(0, nl + 1);
      return line;
    }
    char buf[256];
    ssize_t n = read(fromChild, buf, sizeof buf);
    if (n <= 0) {
      std::string rest = pending;
      pending.clear();
      return rest;
    }
    pending.append(buf, n);
  }
}

void ChildProcess::writeLine(const std::string& line) {
  std::string text = line + "\n";
  if (write(toChild, text.data(), text.size()) != static_cast<ssize_t>(text.size())) {
    throw std::runtime_error("write to child failed");
  }
}

void ChildProcess::kill(int signal) { ::kill(child, signal); }

int ChildProcess::wait() {
  if (!waited) {
    waitpid(child, &status, 0);
    waited = true;
  }
  return status;
}

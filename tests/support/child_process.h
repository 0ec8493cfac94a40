// A program run by a test: started with fork and exec, its standard input and
// output optionally on pipes (or its output in a file), ended with the test.
#pragma once

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <functional>
#include <string>
#include <vector>

namespace kelvox::test {

class TChildProcess {
 public:
  struct TOptions {
    std::vector<std::string> argv;      // argv[0] is looked up in PATH
    std::vector<std::string> env;       // NAME=value added to the test's environment
    bool pipe_stdin = false;            // else /dev/null
    bool pipe_stdout = false;           // else output_file, or the test's own
    std::string output_file;            // standard output and error go here
  };

  explicit TChildProcess(const TOptions& options) {
    int in[2] = {-1, -1};
    int out[2] = {-1, -1};
    if (options.pipe_stdin && pipe2(in, O_CLOEXEC) != 0) return;
    if (options.pipe_stdout && pipe2(out, O_CLOEXEC) != 0) return;
    pid_ = fork();
    if (pid_ == 0) {
      const int null = open("/dev/null", O_RDONLY);
      dup2(options.pipe_stdin ? in[0] : null, STDIN_FILENO);
      if (options.pipe_stdout) {
        dup2(out[1], STDOUT_FILENO);
      } else if (!options.output_file.empty()) {
        const int file = open(options.output_file.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        dup2(file, STDOUT_FILENO);
        dup2(file, STDERR_FILENO);
      }
      for (const std::string& entry : options.env) putenv(const_cast<char*>(entry.c_str()));
      std::vector<char*> argv;
      for (const std::string& arg : options.argv) argv.push_back(const_cast<char*>(arg.c_str()));
      argv.push_back(nullptr);
      execvp(argv[0], argv.data());
      _exit(127);
    }
    if (options.pipe_stdin) {
      close(in[0]);
      stdin_ = in[1];
    }
    if (options.pipe_stdout) {
      close(out[1]);
      stdout_ = out[0];
    }
  }
  ~TChildProcess() {
    if (pid_ > 0) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
    CloseInput();
    if (stdout_ >= 0) close(stdout_);
  }
  TChildProcess(const TChildProcess&) = delete;
  TChildProcess& operator=(const TChildProcess&) = delete;

  bool Started() const { return pid_ > 0; }
  int Stdin() const { return stdin_; }
  int Stdout() const { return stdout_; }
  void CloseInput() {
    if (stdin_ >= 0) close(stdin_);
    stdin_ = -1;
  }
  void Signal(int sig) {
    if (pid_ > 0) kill(pid_, sig);
  }

  /// The exit status (128 + signal for a killed program) once the program has
  /// ended, or -1 when it has not within the timeout. `turn` runs between looks
  /// (a test's event loop, say) and should wait a little each time.
  int WaitExit(std::chrono::milliseconds timeout, const std::function<void()>& turn) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
      int status = 0;
      if (pid_ > 0 && waitpid(pid_, &status, WNOHANG) == pid_) {
        pid_ = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
      }
      if (pid_ <= 0 || std::chrono::steady_clock::now() >= deadline) return -1;
      turn();
    }
  }

 private:
  pid_t pid_ = -1;
  int stdin_ = -1;
  int stdout_ = -1;
};

}  // namespace kelvox::test

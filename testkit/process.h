// Child processes for the tests and the benchmarks: each in a process group
// (or session) of its own, dying with the process that started it, its
// standard output and error read through pipes. Every wait has a deadline
// and blocks in poll.
#ifndef NICTATE_TESTKIT_PROCESS_H
#define NICTATE_TESTKIT_PROCESS_H

#include <sys/types.h>

#include <functional>
#include <string>
#include <vector>

namespace testkit {

class Recorder;

// What to start, and how.
struct Command {
  std::vector<std::string> argv;  // argv[0] is looked up on PATH when it holds no '/'
  std::vector<std::string> env;   // NAME=VALUE to set, NAME alone to unset
  std::string cwd;                // empty: ours
  bool pipeIn = false;            // standard input a pipe (Send, CloseInput)
  int inFd = -1;                  // else this descriptor as standard input, or /dev/null
  bool controllingTty = false;    // inFd becomes the controlling terminal of a new session
  int errFd = -1;                 // standard error to this descriptor instead of a pipe
  int keepFd = -1;                // stays open in the child under the same number
};

class Process {
 public:
  explicit Process(const Command &command);
  ~Process();  // Stop()
  Process(const Process &) = delete;
  Process &operator=(const Process &) = delete;

  bool started() const { return pid_ > 0; }
  const std::string &error() const { return error_; }  // why it did not start
  pid_t pid() const { return pid_; }
  const std::string &out() const { return out_; }
  const std::string &err() const { return err_; }

  // Reads what the pipes hold now, without waiting.
  void Drain();
  // Writes to its standard input; closes it.
  void Send(const std::string &text);
  void CloseInput();
  // True while it has not exited (reaps it once it has).
  bool Running();
  // The wait status once it has exited; its exit status, or 128 + the
  // signal that ended it (-1 while it runs).
  int status() const { return status_; }
  int ExitCode() const;
  // Sends a signal to its process group.
  void Signal(int signo);
  // SIGTERM, then SIGKILL when it has not gone after graceSeconds; then
  // whatever is left of its group is killed and the pipes read.
  void Stop(double graceSeconds = 2.0);

  // For poll: its pipes (-1 once they ended), and a descriptor that becomes
  // readable when it exits (-1 once reaped, or where the kernel has none).
  int outFd() const { return outFd_; }
  int errFd() const { return errFd_; }
  int exitFd() const { return exited_ ? -1 : exitFd_; }

 private:
  pid_t pid_ = -1;
  int inFd_ = -1;
  int outFd_ = -1;
  int errFd_ = -1;
  int exitFd_ = -1;
  bool exited_ = false;
  int status_ = -1;
  std::string out_;
  std::string err_;
  std::string error_;
};

// Reads the processes' pipes (and the recorder's events) until done() holds
// or the seconds run out; returns done()'s last answer.
bool WaitUntil(const std::vector<Process *> &processes, double seconds,
               const std::function<bool()> &done, Recorder *recorder = nullptr);

// Waits for the process to exit, reading its pipes; false at the deadline.
bool WaitExit(Process *process, double seconds);

}  // namespace testkit

#endif

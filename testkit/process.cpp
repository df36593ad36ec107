#include "testkit/process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <sstream>

#include "testkit/clock.h"
#include "testkit/recorder.h"

extern char **environ;

namespace testkit {

namespace {

void CloseFd(int *fd) {
  if (*fd >= 0) {
    (void)close(*fd);
    *fd = -1;
  }
}

// Reads what a non-blocking pipe holds; closes it at its end.
void ReadPipe(int *fd, std::string *into) {
  char buffer[65536];
  while (*fd >= 0) {
    const ssize_t n = read(*fd, buffer, sizeof buffer);
    if (n > 0) {
      into->append(buffer, static_cast<size_t>(n));
    } else if (n < 0 && errno == EAGAIN) {
      return;
    } else if (n == 0 || errno != EINTR) {
      CloseFd(fd);
    }
  }
}

// The program's path, as it is from here (the child may change directory):
// found on PATH when the name holds no '/'.
std::string FindProgram(const std::string &name) {
  const char *path = std::getenv("PATH");
  std::istringstream dirs(path != nullptr ? path : "/usr/bin:/bin");
  for (std::string dir; name.find('/') == std::string::npos && std::getline(dirs, dir, ':');) {
    if (access((dir + "/" + name).c_str(), X_OK) == 0) {
      return dir + "/" + name;
    }
  }
  char *here = name[0] == '/' || name.find('/') == std::string::npos ? nullptr : getcwd(nullptr, 0);
  const std::string found = here != nullptr ? std::string(here) + "/" + name : name;
  std::free(here);
  return found;
}

// In the child, after fork: only async-signal-safe calls, then exec.
[[noreturn]] void RunChild(const Command &command, pid_t parent, const int fds[3], char **argv,
                           char **envp) {
  const int in = fds[0] >= 0 ? fds[0] : open("/dev/null", O_RDONLY | O_CLOEXEC);
  const int keep = command.keepFd >= 0 ? fcntl(command.keepFd, F_GETFD) : 0;
  sigset_t none;
  sigemptyset(&none);
  // The test process's own signal dispositions and mask are not the child's.
  if (prctl(PR_SET_PDEATHSIG, SIGKILL) != 0 || getppid() != parent || in < 0 ||
      dup2(in, STDIN_FILENO) < 0 || dup2(fds[1], STDOUT_FILENO) < 0 ||
      dup2(fds[2], STDERR_FILENO) < 0 ||
      (command.controllingTty ? setsid() < 0 || ioctl(STDIN_FILENO, TIOCSCTTY, 0) != 0
                              : setpgid(0, 0) != 0) ||
      keep < 0 || (command.keepFd >= 0 && fcntl(command.keepFd, F_SETFD, keep & ~FD_CLOEXEC)) ||
      (!command.cwd.empty() && chdir(command.cwd.c_str()) != 0) ||
      signal(SIGPIPE, SIG_DFL) == SIG_ERR || sigprocmask(SIG_SETMASK, &none, nullptr) != 0) {
    _exit(127);
  }
  execve(argv[0], argv, envp);
  _exit(127);
}

}  // namespace

Process::Process(const Command &command) {
  // Everything the child needs is made before the fork: the environment
  // with the changes, the program's path.
  std::vector<std::string> env;
  for (char **e = environ; *e != nullptr; ++e) {
    const std::string entry = *e;
    bool changed = false;
    for (const std::string &change : command.env) {
      changed = changed || change.substr(0, change.find('=')) == entry.substr(0, entry.find('='));
    }
    if (!changed) {
      env.push_back(entry);
    }
  }
  for (const std::string &change : command.env) {
    if (change.find('=') != std::string::npos) {
      env.push_back(change);
    }
  }
  std::vector<std::string> args = command.argv;
  args.resize(std::max<size_t>(args.size(), 1));
  args[0] = FindProgram(args[0]);
  if (access(args[0].c_str(), X_OK) != 0) {
    error_ = args[0] + ": " + std::strerror(errno);
    return;
  }
  std::vector<char *> argv, envp;
  for (std::string &arg : args) {
    argv.push_back(&arg[0]);
  }
  for (std::string &entry : env) {
    envp.push_back(&entry[0]);
  }
  argv.push_back(nullptr);
  envp.push_back(nullptr);

  int in[2] = {-1, -1}, out[2] = {-1, -1}, err[2] = {-1, -1};
  pid_t pid = -1;
  if ((!command.pipeIn || pipe2(in, O_CLOEXEC) == 0) && pipe2(out, O_CLOEXEC) == 0 &&
      (command.errFd >= 0 || pipe2(err, O_CLOEXEC) == 0)) {
    const int childFds[3] = {command.pipeIn ? in[0] : command.inFd, out[1],
                             command.errFd >= 0 ? command.errFd : err[1]};
    const pid_t parent = getpid();
    pid = fork();
    if (pid == 0) {
      RunChild(command, parent, childFds, argv.data(), envp.data());
    }
  }
  if (pid < 0) {
    error_ = "cannot start " + args[0] + ": " + std::strerror(errno);
    for (int *fd : {&in[1], &out[0], &err[0]}) {
      CloseFd(fd);
    }
  }
  for (int *fd : {&in[0], &out[1], &err[1]}) {
    CloseFd(fd);
  }
  if (pid < 0) {
    return;
  }
  // Also from this side, so a signal sent at once reaches the group.
  if (!command.controllingTty) {
    (void)setpgid(pid, pid);
  }
  pid_ = pid;
  inFd_ = in[1];
  outFd_ = out[0];
  errFd_ = err[0];
  for (int fd : {outFd_, errFd_}) {
    if (fd >= 0) {
      (void)fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
    }
  }
  exitFd_ = static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
  if (exitFd_ >= 0) {
    (void)fcntl(exitFd_, F_SETFD, FD_CLOEXEC);
  }
  if (command.pipeIn) {
    // A child that has gone must not end this process with SIGPIPE.
    signal(SIGPIPE, SIG_IGN);
  }
}

Process::~Process() {
  Stop();
  for (int *fd : {&inFd_, &outFd_, &errFd_, &exitFd_}) {
    CloseFd(fd);
  }
}

void Process::Drain() {
  ReadPipe(&outFd_, &out_);
  ReadPipe(&errFd_, &err_);
}

void Process::Send(const std::string &text) {
  for (size_t done = 0; inFd_ >= 0 && done < text.size();) {
    const ssize_t n = write(inFd_, text.data() + done, text.size() - done);
    if (n <= 0 && errno != EINTR) {
      break;
    }
    done += n > 0 ? static_cast<size_t>(n) : 0;
  }
}

void Process::CloseInput() { CloseFd(&inFd_); }

bool Process::Running() {
  if (pid_ <= 0 || exited_) {
    return false;
  }
  int status = 0;
  const pid_t done = waitpid(pid_, &status, WNOHANG);
  if (done == pid_) {
    exited_ = true;
    status_ = status;
  }
  return done == 0;
}

int Process::ExitCode() const {
  if (!exited_) {
    return -1;
  }
  return WIFEXITED(status_) ? WEXITSTATUS(status_) : 128 + WTERMSIG(status_);
}

void Process::Signal(int signo) {
  if (pid_ > 0 && !exited_) {
    (void)kill(-pid_, signo);
  }
}

void Process::Stop(double graceSeconds) {
  if (pid_ <= 0) {
    return;
  }
  if (Running()) {
    Signal(SIGTERM);
    if (!WaitExit(this, graceSeconds)) {
      Signal(SIGKILL);
      (void)WaitExit(this, 10);
    }
  }
  // Whatever is left of its group (a child it started).
  (void)kill(-pid_, SIGKILL);
  Drain();
}

bool WaitUntil(const std::vector<Process *> &processes, double seconds,
               const std::function<bool()> &done, Recorder *recorder) {
  const Deadline deadline(seconds);
  for (;;) {
    std::vector<struct pollfd> fds;
    for (Process *process : processes) {
      process->Drain();
      const int exitFd = process->Running() ? process->exitFd() : -1;
      for (int fd : {process->outFd(), process->errFd(), exitFd}) {
        fds.push_back({fd, POLLIN, 0});
      }
    }
    if (recorder != nullptr) {
      recorder->Drain();
      fds.push_back({recorder->fd(), POLLIN, 0});
    }
    if (done()) {
      for (Process *process : processes) {
        process->Drain();  // what an exit left in the pipes
      }
      return true;
    }
    if (deadline.Passed()) {
      return false;
    }
    // Woken by output or an exit; the short cap notices what has no
    // descriptor (a file written, a terminal set up).
    (void)poll(fds.data(), fds.size(), std::min(deadline.MillisecondsLeft(), 100));
  }
}

bool WaitExit(Process *process, double seconds) {
  return WaitUntil({process}, seconds, [&] { return !process->Running(); });
}

}  // namespace testkit

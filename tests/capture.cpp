#include "tests/capture.h"

#include <stdio_ext.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace {

std::string TempFile(const std::string &contents) {
  char path[] = "/tmp/nictate-capture-XXXXXX";
  const int fd = mkstemp(path);
  if (fd < 0) {
    throw std::runtime_error("mkstemp failed");
  }
  if (!contents.empty() &&
      write(fd, contents.data(), contents.size()) != static_cast<ssize_t>(contents.size())) {
    throw std::runtime_error("write failed");
  }
  close(fd);
  return path;
}

std::string Slurp(const std::string &path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

struct Redirect {
  int fd;
  int saved;
  Redirect(int target, const std::string &path, bool forReading) : fd(target) {
    saved = dup(target);
    std::FILE *f = std::fopen(path.c_str(), forReading ? "rb" : "wb");
    if (saved < 0 || f == nullptr || dup2(fileno(f), target) < 0) {
      throw std::runtime_error("redirect failed");
    }
    std::fclose(f);
  }
  ~Redirect() {
    dup2(saved, fd);
    close(saved);
  }
};

}  // namespace

void CaptureConsole(const std::string &input, Transcript *transcript,
                    const std::function<void()> &body) {
  const std::string in = TempFile(input);
  const std::string out = TempFile("");
  const std::string err = TempFile("");
  std::fflush(stdout);
  std::fflush(stderr);
  __fpurge(stdin);
  std::clearerr(stdin);
  std::exception_ptr failure;
  {
    Redirect rin(0, in, true);
    Redirect rout(1, out, false);
    Redirect rerr(2, err, false);
    try {
      body();
    } catch (...) {
      failure = std::current_exception();
    }
    std::fflush(stdout);
    std::fflush(stderr);
  }
  // Whatever stdin had buffered belongs to this capture only.
  __fpurge(stdin);
  std::clearerr(stdin);
  transcript->out = Slurp(out);
  transcript->err = Slurp(err);
  std::remove(in.c_str());
  std::remove(out.c_str());
  std::remove(err.c_str());
  if (failure) {
    std::rethrow_exception(failure);
  }
}

#include "tests/app/capture.h"

#include <stdio_ext.h>
#include <unistd.h>

#include <cstdio>
#include <stdexcept>

#include "testkit/files.h"

namespace {

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
  const testkit::TempDir dir("nictate-capture");
  const std::string in = dir.Write("in", input);
  const std::string out = dir.path() + "/out";
  const std::string err = dir.path() + "/err";
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
  transcript->out = testkit::ReadFile(out);
  transcript->err = testkit::ReadFile(err);
  if (failure) {
    std::rethrow_exception(failure);
  }
}

#include "tools/line_input.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace tools {

namespace {

const size_t kChunkBytes = 64 * 1024;

}  // namespace

LineInput::~LineInput() {
  if (fd_ >= 0) {
    (void)close(fd_);
  }
}

bool LineInput::open(const std::string &path, std::string *error) {
  path_ = path;
  // O_NONBLOCK: a named pipe opens without a writer, and a read of a pipe
  // or a terminal that has nothing returns at once, to wait in poll.
  do {
    fd_ = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  } while (fd_ < 0 && errno == EINTR);
  struct stat info;
  if (fd_ < 0 || fstat(fd_, &info) != 0) {
    *error = path + ": cannot be read: " + std::strerror(errno);
    return false;
  }
  pipe_ = S_ISFIFO(info.st_mode);
  buffer_.resize(kChunkBytes);
  return true;
}

long LineInput::more(std::string *error) {
  for (;;) {
    const ssize_t got = read(fd_, buffer_.data(), buffer_.size());
    if (got > 0) {
      return static_cast<long>(got);
    }
    if (got < 0 && errno == EINTR) {
      continue;
    }
    if (got < 0 && errno != EAGAIN && errno != EWOULDBLOCK) {
      *error = path_ + ": read failed: " + std::strerror(errno);
      return -1;
    }
    if (got == 0 && !pipe_) {
      return 0;
    }
    // Nothing yet. A named pipe reads as ended also before any writer has
    // come; it has ended once a writer has come and gone (POLLHUP).
    struct pollfd pfd = {fd_, POLLIN, 0};
    int ready;
    do {
      ready = poll(&pfd, 1, kQuietSeconds * 1000);
    } while (ready < 0 && errno == EINTR);
    if (ready < 0) {
      *error = path_ + ": read failed: " + std::strerror(errno);
      return -1;
    }
    if (ready == 0) {
      *error = path_ + ": nothing came for " + std::to_string(kQuietSeconds) +
               " seconds (a named pipe nobody writes to?)";
      return -1;
    }
    if (got == 0 && (pfd.revents & POLLIN) == 0) {
      return 0;
    }
  }
}

int LineInput::next(std::string *line, std::string *error) {
  line->clear();
  for (;;) {
    const char *begin = buffer_.data() + start_;
    const char *stop = static_cast<const char *>(std::memchr(begin, '\n', end_ - start_));
    const size_t take = stop != nullptr ? static_cast<size_t>(stop - begin) : end_ - start_;
    if (line->size() + take > kMaxLineBytes) {
      *error = path_ + ":" + std::to_string(number_ + 1) + ": no line end within " +
               std::to_string(kMaxLineBytes) + " bytes: not lines of text";
      return -1;
    }
    line->append(begin, take);
    start_ += take;
    if (stop != nullptr) {
      ++start_;
      ++number_;
      ended_ = true;
      return 1;
    }
    const long got = done_ ? 0 : more(error);
    if (got < 0) {
      return -1;
    }
    start_ = 0;
    end_ = static_cast<size_t>(got);
    if (got == 0) {
      done_ = true;
      if (line->empty()) {
        return 0;
      }
      ++number_;
      ended_ = false;
      return 1;
    }
  }
}

}  // namespace tools

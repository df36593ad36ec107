// Fuzz target: the nine operations of the device library called in any
// order with any ids, counts, codes and strings, NULL and 10,000-character
// names included. Every call must give its documented result; none may
// crash, hang or write outside the fuzzer's private directory.
//
// Input: a sequence of operations, one byte each (the operation, modulo 9),
// followed by its arguments:
//   integer  one byte b: b - 8 when b < 0xF0 (so -8..231: bad ids, the
//            whole id table, the rates' neighbours), else four more bytes
//            taken as the integer itself;
//   string   one byte b: 0 is NULL; 1 and 2 are 10,000 characters, after a
//            leading "/" for 2; else b - 3 bytes of the input (shorter at
//            its end), a NUL byte among them ending the string early.
//
// Keeping off real devices and files: the fuzzer works in a private
// temporary directory (its working directory while an input runs; give
// -artifact_prefix so crash files land elsewhere) and points the port map
// (NICTATE_PORTS) at an empty directory inside it, so "COMn" names resolve
// to nothing. The one way the library opens a path as given is a name that
// starts with "/"; such port names are moved inside the private directory
// ("/dev/ttyS0" becomes "<private>/_dev_ttyS0"), so the library still opens
// paths (missing ones, directories, the log files the fuzzer made, names too
// long for the system) but never a device. Log file names have every "/"
// replaced as well, so a log is created in the private directory or not at
// all; the files made are removed after each input.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "fuzz/check.h"
#include "link/thinkgear.h"

namespace {

const int kTableSize = 128;
const size_t kLongName = 10000;

std::string gPrivate;      // the private directory, the working directory during an input
bool gIssued[kTableSize];  // ids the library has handed out (for the process)
int gIssuedCount = 0;

class Input {
 public:
  Input(const uint8_t *data, size_t size) : data_(data), size_(size), at_(0) {}
  bool done() const { return at_ >= size_; }
  uint8_t byte() { return at_ < size_ ? data_[at_++] : 0; }
  int integer() {
    const uint8_t b = byte();
    if (b < 0xF0) {
      return static_cast<int>(b) - 8;
    }
    uint32_t v = 0;
    for (int i = 0; i < 4; ++i) {
      v = (v << 8) | byte();
    }
    return static_cast<int>(v);
  }
  // False for NULL.
  bool string(std::string *out) {
    const uint8_t b = byte();
    if (b == 0) {
      return false;
    }
    if (b == 1 || b == 2) {
      const char fill = static_cast<char>(byte() | 1);  // never NUL
      *out = std::string(kLongName, fill);
      if (b == 2) {
        (*out)[0] = '/';
      }
      return true;
    }
    out->clear();
    for (size_t n = b - 3; n > 0 && !done(); --n) {
      out->push_back(static_cast<char>(byte()));
    }
    const size_t nul = out->find('\0');
    if (nul != std::string::npos) {
      out->resize(nul);
    }
    return true;
  }

 private:
  const uint8_t *data_;
  size_t size_;
  size_t at_;
};

bool ValidId(int id) { return id >= 0 && id < kTableSize && gIssued[id]; }

bool ValidBaud(int baud) {
  return baud == 1200 || baud == 2400 || baud == 4800 || baud == 9600 || baud == 57600 ||
         baud == 115200;
}

// No "/" may take a name out of the private directory.
std::string Flatten(const std::string &name) {
  std::string flat = name;
  for (char &c : flat) {
    if (c == '/') {
      c = '_';
    }
  }
  return flat;
}

std::string PortName(const std::string &name) {
  if (!name.empty() && name[0] == '/') {
    return gPrivate + "/" + Flatten(name);
  }
  return Flatten(name);
}

// Removes everything in the private directory but the port map.
void ClearPrivateDirectory() {
  DIR *dir = opendir(".");
  CHECK(dir != nullptr);
  std::vector<std::string> names;
  while (struct dirent *entry = readdir(dir)) {
    const std::string name = entry->d_name;
    if (name != "." && name != ".." && name != "ports") {
      names.push_back(name);
    }
  }
  closedir(dir);
  for (const std::string &name : names) {
    CHECK(unlink(name.c_str()) == 0);
  }
}

void RemovePrivateDirectory() {
  if (chdir(gPrivate.c_str()) == 0) {
    ClearPrivateDirectory();
    (void)rmdir("ports");
    (void)chdir("/");
    (void)rmdir(gPrivate.c_str());
  }
}

// Whether every line of the file is a note of the data log: a time, then
// " # " (docs/logs.md), as the notes kept for a data log not named yet are.
bool OnlyNotes(const char *path) {
  std::FILE *file = std::fopen(path, "rb");
  if (file == nullptr) {
    return false;
  }
  std::string text;
  char chunk[4096];
  size_t got;
  while ((got = std::fread(chunk, 1, sizeof chunk, file)) > 0) {
    text.append(chunk, got);
  }
  (void)std::fclose(file);
  for (size_t start = 0; start < text.size();) {
    const size_t end = text.find('\n', start);
    const size_t time = text.find_first_not_of("0123456789.", start);
    if (end == std::string::npos || time == start || text.compare(time, 3, " # ") != 0) {
      return false;
    }
    start = end + 1;
  }
  return true;
}

void CallSetLog(Input *in, bool stream) {
  const int id = in->integer();
  std::string name;
  const bool given = in->string(&name);
  const std::string flat = Flatten(name);
  const char *arg = given ? flat.c_str() : nullptr;
  const int result = stream ? TG_SetStreamLog(id, arg) : TG_SetDataLog(id, arg);
  if (!ValidId(id) || !given || flat.empty()) {
    CHECK(result < 0);
    return;
  }
  CHECK(result <= 0);
  if (result == 0) {
    // A stream log starts empty; a data log holds the notes kept for it.
    struct stat info;
    CHECK(stat(flat.c_str(), &info) == 0 && S_ISREG(info.st_mode));
    CHECK(stream ? info.st_size == 0 : OnlyNotes(flat.c_str()));
  }
}

void CallConnect(Input *in) {
  const int id = in->integer();
  std::string name;
  const bool given = in->string(&name);
  // Mostly the usual rates, so the calls get past the rate check.
  static const int kRates[] = {1200, 2400, 4800, 9600, 57600, 115200};
  const uint8_t rate = in->byte();
  const int baud = rate < 6 ? kRates[rate] : in->integer();
  const int format = in->integer();
  const std::string port = PortName(name);
  const int result = TG_Connect(id, given ? port.c_str() : nullptr, baud, format);
  if (!ValidId(id)) {
    CHECK(result == TG_CONNECT_INVALID_ID);
  } else if (!ValidBaud(baud)) {
    CHECK(result == TG_CONNECT_INVALID_BAUD);
  } else if (format != TG_STREAM_PACKETS) {
    CHECK(result == TG_CONNECT_INVALID_FORMAT);
  } else {
    // Nothing in reach is a serial port.
    CHECK(result == TG_CONNECT_PORT_NOT_OPENED);
  }
}

void RunOne(Input *in) {
  const int op = in->byte() % 9;
  switch (op) {
    case 0:
      CHECK(TG_GetDriverVersion() == THINKGEAR_VERSION);
      break;
    case 1: {
      const int id = TG_GetNewConnectionId();
      if (gIssuedCount == kTableSize) {
        CHECK(id < 0);
      } else {
        CHECK(id >= 0 && id < kTableSize && !gIssued[id]);
        gIssued[id] = true;
        ++gIssuedCount;
      }
      break;
    }
    case 2:
    case 3:
      CallSetLog(in, op == 2);
      break;
    case 4:
      CallConnect(in);
      break;
    case 5: {
      // No connect ever succeeds, so no id is connected: -1 at once.
      const int id = in->integer();
      CHECK(TG_ReadPackets(id, in->integer()) == TG_READ_INVALID_ID);
      break;
    }
    case 6: {
      const int id = in->integer();
      const int enable = in->integer();
      const int result = TG_EnableBlinkDetection(id, enable);
      if (ValidId(id) && (enable == 0 || enable == 1)) {
        CHECK(result == 0);
      } else {
        CHECK(result < 0);
      }
      break;
    }
    case 7: {
      const int id = in->integer();
      const int result = TG_GetValueStatus(id, in->integer());
      // No read has taken a packet: nothing was ever updated.
      CHECK(ValidId(id) ? result == 0 : result < 0);
      break;
    }
    case 8: {
      const int id = in->integer();
      CHECK(TG_GetValue(id, in->integer()) == 0.0f);
      break;
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
  const char *tmp = std::getenv("TMPDIR");
  std::string pattern =
      std::string(tmp != nullptr && tmp[0] == '/' ? tmp : "/tmp") + "/nictate-api-fuzz-XXXXXX";
  std::vector<char> buffer(pattern.begin(), pattern.end());
  buffer.push_back('\0');
  CHECK(mkdtemp(buffer.data()) != nullptr);
  gPrivate = buffer.data();
  CHECK(mkdir((gPrivate + "/ports").c_str(), 0700) == 0);
  CHECK(setenv("NICTATE_PORTS", (gPrivate + "/ports").c_str(), 1) == 0);
  std::atexit(RemovePrivateDirectory);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  // In the private directory only while the library runs: corpus and
  // artifact paths given on the command line keep their meaning.
  const int home = open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  CHECK(home >= 0);
  CHECK(chdir(gPrivate.c_str()) == 0);
  Input in(data, size);
  while (!in.done()) {
    RunOne(&in);
  }
  ClearPrivateDirectory();
  CHECK(fchdir(home) == 0);
  CHECK(close(home) == 0);
  return 0;
}

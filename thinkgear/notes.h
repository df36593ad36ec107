// The notes of a connection's data log: what became of a port or a log
// (docs/logs.md), one line each. While no data log is named the last
// kKeptNotes are kept, and written into the one named next.
#ifndef NICTATE_THINKGEAR_NOTES_H
#define NICTATE_THINKGEAR_NOTES_H

#include <cstddef>
#include <string>
#include <vector>

#include "thinkgear/log.h"

namespace tg {

const size_t kKeptNotes = 64;

class Notes {
 public:
  // Notes into dataLog, a log with a file or without one yet.
  explicit Notes(LogFile *dataLog);

  // Writes a note into the data log, or keeps it until one is named.
  void add(const std::string &text);

  // The data log was just named: the notes kept go into it.
  void writeKept();

  // While the device is away, its port's notes: one that says what the
  // last one said is not noted again, so a reason that stays the same is
  // noted once and not at every read. wentAway() notes the first of them
  // in any case; back() ends them.
  void away(const std::string &text);
  void wentAway(const std::string &text);
  void back() { away_.clear(); }

 private:
  LogFile *dataLog_;
  std::vector<std::string> kept_;
  std::string away_;  // the last note while the device is away
};

// A note of what became of a port: "COM3 = /dev/rfcomm0: opened", without
// " = <path>" where the name is the device path or led to none. A COM
// port's name is given as "COMn", any other as it is.
std::string PortNote(const char *name, const std::string &path, const std::string &what);

}  // namespace tg

#endif

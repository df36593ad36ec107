#include "thinkgear/notes.h"

#include "thinkgear/port_name.h"

namespace tg {

Notes::Notes(LogFile *dataLog) : dataLog_(dataLog) {}

void Notes::add(const std::string &text) {
  const std::string line = NoteLine(text);
  if (dataLog_->file != nullptr) {
    LogLine(dataLog_, line);
    return;
  }
  if (line.empty()) {
    return;
  }
  if (kept_.size() >= kKeptNotes) {
    kept_.erase(kept_.begin());
  }
  kept_.push_back(line);
}

void Notes::writeKept() {
  for (const std::string &line : kept_) {
    LogLine(dataLog_, line);
  }
  std::vector<std::string>().swap(kept_);
}

void Notes::away(const std::string &text) {
  if (text != away_) {
    add(text);
    away_ = text;
  }
}

void Notes::wentAway(const std::string &text) {
  add(text);
  away_ = text;
}

std::string PortNote(const char *name, const std::string &path, const std::string &what) {
  const int number = ComNumber(name);
  const std::string label = number >= 0 ? "COM" + std::to_string(number) : std::string(name);
  if (path.empty() || path == name) {
    return label + ": " + what;
  }
  return label + " = " + path + ": " + what;
}

}  // namespace tg

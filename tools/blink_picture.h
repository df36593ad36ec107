// A picture of what the library's blink detector saw over a span of a raw
// wave: the band-passed wave, the threshold either way, each blink it
// reported, each swing past the threshold it refused with the reason, and
// the spans in which it could not report (learning, poor contact, the rail,
// held back after a refused swing). Plain SVG, for nictate-blinks --svg.
#ifndef NICTATE_TOOLS_BLINK_PICTURE_H
#define NICTATE_TOOLS_BLINK_PICTURE_H

#include <cstdint>
#include <string>
#include <vector>

#include "thinkgear/blink_detector.h"

namespace tools {

// The longest span a picture takes, in seconds.
const double kLongestPicture = 600;

class BlinkPicture {
 public:
  // Samples `from` to `to` (indices at 512 a second, `to` not included)
  // are drawn; at most kLongestPicture seconds of them.
  BlinkPicture(int64_t from, int64_t to);

  // Takes what the detector saw with sample n; samples come in order.
  void add(int64_t n, const tg::BlinkTrace &trace);

  // Writes the picture, titled with `title`. False, with *error, when the
  // file cannot be written.
  bool write(const std::string &path, const std::string &title, std::string *error) const;

 private:
  struct Column {
    float low, high;  // the wave's extremes in the column
    float threshold;  // the threshold's largest
  };
  struct Swing {
    int64_t peakAt, endAt;
    int sign;
    double peak;
    tg::SwingVerdict verdict;
  };
  struct Span {
    int64_t from, to;
    tg::BlinkBlock block;
  };

  int64_t from_, to_;
  std::vector<Column> columns_;
  std::vector<Swing> swings_;
  std::vector<Span> spans_;
};

}  // namespace tools

#endif

#include "tools/blink_picture.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>

namespace tools {

namespace {

const int kPixelsPerSecond = 100;
const int kLeft = 60;  // room for the microvolt scale
const int kRight = 20;
const int kTop = 52;  // the title and the key
const int kPlot = 300;
const int kBottom = 34;  // the second scale
const int kLabelRows = 3;
const int kLabelWidth = 92;  // pixels a label keeps from the next in its row

// Why a swing was refused, in the order of tg::SwingVerdict.
const char *const kReasons[] = {"blink",       "too slow",        "a step",
                                "sharp edges", "part of a blink", "the eyes opening",
                                "a rhythm",    "poor contact",    "the rail"};

struct Shade {
  const char *fill;
  const char *name;
};

Shade ShadeOf(tg::BlinkBlock block) {
  switch (block) {
    case tg::BlinkBlock::kLearning:
      return {"#e6e6e6", "learning"};
    case tg::BlinkBlock::kPoorContact:
      return {"#f7d4d4", "poor contact"};
    case tg::BlinkBlock::kRail:
      return {"#ecd4f2", "the rail"};
    case tg::BlinkBlock::kCalming:
      return {"#fbf0c8", "held back"};
    case tg::BlinkBlock::kNone:
      break;
  }
  return {"none", ""};
}

std::string Escaped(const std::string &text) {
  std::string out;
  for (const char c : text) {
    switch (c) {
      case '&':
        out += "&amp;";
        break;
      case '<':
        out += "&lt;";
        break;
      case '>':
        out += "&gt;";
        break;
      case '"':
        out += "&quot;";
        break;
      default:
        out += static_cast<unsigned char>(c) < 0x20 ? '?' : c;
    }
  }
  return out;
}

// The scale: a step of 50, 100, 200, 250 or 500 microvolts and above, so
// that the plot's half holds two to four of them.
double Step(double range) {
  static const double kSteps[] = {50, 100, 200, 250, 500, 1000, 2000, 5000};
  for (const double step : kSteps) {
    if (range / step <= 4) {
      return step;
    }
  }
  return 10000;
}

}  // namespace

BlinkPicture::BlinkPicture(int64_t from, int64_t to)
    : from_(from),
      to_(std::min(to, from + static_cast<int64_t>(kLongestPicture * tg::kRawSampleRate))),
      columns_(),
      swings_(),
      spans_() {}

void BlinkPicture::add(int64_t n, const tg::BlinkTrace &trace) {
  if (trace.swingEnded) {
    const int64_t peakAt = n - trace.peakAgo;
    if (peakAt >= from_ && peakAt < to_) {
      swings_.push_back(Swing{peakAt, n, trace.sign, trace.peak, trace.verdict});
    }
  }
  if (n < from_ || n >= to_) {
    return;
  }
  const size_t column = static_cast<size_t>((n - from_) * kPixelsPerSecond / tg::kRawSampleRate);
  const float wave = static_cast<float>(trace.wave);
  const float threshold = static_cast<float>(trace.threshold);
  if (column >= columns_.size()) {
    columns_.resize(column + 1, Column{wave, wave, threshold});
  }
  Column &c = columns_[column];
  c.low = std::min(c.low, wave);
  c.high = std::max(c.high, wave);
  c.threshold = std::max(c.threshold, threshold);
  if (trace.block != tg::BlinkBlock::kNone) {
    if (!spans_.empty() && spans_.back().block == trace.block && spans_.back().to == n) {
      spans_.back().to = n + 1;
    } else {
      spans_.push_back(Span{n, n + 1, trace.block});
    }
  }
}

bool BlinkPicture::write(const std::string &path, const std::string &title,
                         std::string *error) const {
  std::FILE *out = std::fopen(path.c_str(), "w");
  if (out == nullptr) {
    *error = path + ": cannot be written: " + std::strerror(errno);
    return false;
  }

  // The range: the threshold twice over and the blinks reported; larger
  // swings (a pop) are cut at its edge.
  double range = 150;
  for (const Column &c : columns_) {
    range = std::max(range, 2.0 * c.threshold);
  }
  for (const Swing &s : swings_) {
    if (s.verdict == tg::SwingVerdict::kBlink) {
      range = std::max(range, 1.2 * s.peak);
    }
  }
  const double step = Step(range);
  range = std::ceil(range / step) * step;
  const int width = kLeft + static_cast<int>(columns_.size()) + kRight;
  const int height = kTop + kPlot + kBottom;
  const double middle = kTop + kPlot / 2.0;
  auto y = [&](double microvolts) {
    return std::min(std::max(middle - microvolts / range * (kPlot / 2.0), 1.0 * kTop),
                    1.0 * (kTop + kPlot));
  };
  auto x = [&](int64_t n) {
    return kLeft + static_cast<double>(n - from_) * kPixelsPerSecond / tg::kRawSampleRate;
  };

  std::fprintf(out,
               "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"%d\" height=\"%d\" "
               "viewBox=\"0 0 %d %d\" font-family=\"sans-serif\" font-size=\"11\">\n"
               "<rect width=\"%d\" height=\"%d\" fill=\"white\"/>\n",
               width, height, width, height, width, height);
  std::fprintf(out, "<text x=\"%d\" y=\"16\" font-size=\"13\">%s</text>\n", kLeft,
               Escaped(title).c_str());
  // The key.
  std::fprintf(out,
               "<g transform=\"translate(%d,34)\">"
               "<line x1=\"0\" y1=\"-4\" x2=\"18\" y2=\"-4\" stroke=\"#1f5fa8\"/>"
               "<text x=\"22\" y=\"0\">band-passed wave</text>"
               "<line x1=\"130\" y1=\"-4\" x2=\"148\" y2=\"-4\" stroke=\"#e07b00\" "
               "stroke-dasharray=\"4 3\"/><text x=\"152\" y=\"0\">threshold</text>"
               "<circle cx=\"226\" cy=\"-4\" r=\"4\" fill=\"#1a8a2e\"/>"
               "<text x=\"234\" y=\"0\">blink reported (strength), line at the report</text>"
               "<path d=\"M482,-8 l8,8 m0,-8 l-8,8\" stroke=\"#c62828\" stroke-width=\"2\"/>"
               "<text x=\"494\" y=\"0\">swing refused (why)</text></g>\n",
               kLeft);

  // Spans without reports, named where there is room.
  for (const Span &s : spans_) {
    const Shade shade = ShadeOf(s.block);
    const double left = x(s.from);
    const double wide = x(s.to) - left;
    std::fprintf(out, "<rect x=\"%.1f\" y=\"%d\" width=\"%.1f\" height=\"%d\" fill=\"%s\"/>\n",
                 left, kTop, std::max(wide, 0.5), kPlot, shade.fill);
    if (wide >= 6.5 * static_cast<double>(std::strlen(shade.name))) {
      std::fprintf(out, "<text x=\"%.1f\" y=\"%d\" fill=\"#666\">%s</text>\n", left + 3,
                   kTop + kPlot - 4, shade.name);
    }
  }

  // The scales.
  for (double v = -range; v <= range + step / 2; v += step) {
    std::fprintf(out,
                 "<line x1=\"%d\" y1=\"%.1f\" x2=\"%d\" y2=\"%.1f\" stroke=\"%s\"/>"
                 "<text x=\"%d\" y=\"%.1f\" text-anchor=\"end\">%.0f</text>\n",
                 kLeft, y(v), width - kRight, y(v), v == 0 ? "#999" : "#eee", kLeft - 4, y(v) + 4,
                 v);
  }
  std::fprintf(out, "<text x=\"4\" y=\"%d\">&#181;V</text>\n", kTop - 4);
  const int64_t seconds = static_cast<int64_t>(columns_.size()) / kPixelsPerSecond;
  const int64_t every = seconds > 120 ? 10 : (seconds > 30 ? 5 : 1);
  const int64_t first = (from_ + tg::kRawSampleRate - 1) / tg::kRawSampleRate;
  for (int64_t s = first;
       s * tg::kRawSampleRate <
       from_ + static_cast<int64_t>(columns_.size()) * tg::kRawSampleRate / kPixelsPerSecond;
       ++s) {
    const double at = x(s * tg::kRawSampleRate);
    std::fprintf(out, "<line x1=\"%.1f\" y1=\"%d\" x2=\"%.1f\" y2=\"%d\" stroke=\"#999\"/>\n", at,
                 kTop + kPlot, at, kTop + kPlot + 4);
    if (s % every == 0) {
      std::fprintf(out, "<text x=\"%.1f\" y=\"%d\" text-anchor=\"middle\">%lld s</text>\n", at,
                   kTop + kPlot + 16, static_cast<long long>(s));
    }
  }

  // The threshold either way, and the wave.
  for (const int sign : {1, -1}) {
    std::fprintf(out,
                 "<polyline fill=\"none\" stroke=\"#e07b00\" stroke-dasharray=\"4 3\" points=\"");
    // To the pixel, and only where the line bends: the middle of a flat
    // run is left out.
    for (size_t c = 0; c < columns_.size(); ++c) {
      const double at = std::round(y(sign * columns_[c].threshold));
      if (c > 0 && c + 1 < columns_.size() &&
          at == std::round(y(sign * columns_[c - 1].threshold)) &&
          at == std::round(y(sign * columns_[c + 1].threshold))) {
        continue;
      }
      std::fprintf(out, "%s%.1f,%.0f", c == 0 ? "" : " ", kLeft + c + 0.5, at);
    }
    std::fprintf(out, "\"/>\n");
  }
  std::fprintf(out, "<polyline fill=\"none\" stroke=\"#1f5fa8\" stroke-width=\"1.2\" points=\"");
  for (size_t c = 0; c < columns_.size(); ++c) {
    const Column &col = columns_[c];
    const double a = c % 2 == 0 ? col.low : col.high;
    const double b = c % 2 == 0 ? col.high : col.low;
    std::fprintf(out, "%s%.1f,%.1f %.1f,%.1f", c == 0 ? "" : " ", kLeft + c + 0.5, y(a),
                 kLeft + c + 0.5, y(b));
  }
  std::fprintf(out, "\"/>\n");

  // The swings: a blink as a dot at its peak with a line at the moment it
  // was reported, a refused swing as a cross; each named beside it, above
  // for a swing up and below for one down, in the first row free there.
  double rowEnd[2][kLabelRows];
  for (auto &side : rowEnd) {
    std::fill(side, side + kLabelRows, -1e9);
  }
  for (const Swing &s : swings_) {
    const double px = x(s.peakAt);
    const double py = y(s.sign * s.peak);
    const bool blink = s.verdict == tg::SwingVerdict::kBlink;
    char label[40];
    if (blink) {
      const long strength = std::lround(std::min(255.0, std::max(1.0, s.peak / 2)));
      std::snprintf(label, sizeof label, "blink %ld", strength);
      std::fprintf(out,
                   "<line x1=\"%.1f\" y1=\"%d\" x2=\"%.1f\" y2=\"%d\" stroke=\"#1a8a2e\" "
                   "stroke-opacity=\"0.5\"/>\n<circle class=\"blink\" cx=\"%.1f\" cy=\"%.1f\" "
                   "r=\"4\" fill=\"#1a8a2e\"/>\n",
                   x(s.endAt), kTop, x(s.endAt), kTop + kPlot, px, py);
    } else {
      std::snprintf(label, sizeof label, "%s", kReasons[static_cast<int>(s.verdict)]);
      std::fprintf(out,
                   "<path class=\"refused\" d=\"M%.1f,%.1f l8,8 m0,-8 l-8,8\" stroke=\"#c62828\" "
                   "stroke-width=\"2\"/>\n",
                   px - 4, py - 4);
    }
    const int side = s.sign > 0 ? 0 : 1;
    int row = 0;
    while (row + 1 < kLabelRows && rowEnd[side][row] > px - 2) {
      ++row;
    }
    rowEnd[side][row] = px + kLabelWidth;
    const double ly = s.sign > 0 ? std::max(py - 8 - 12 * row, kTop + 10.0)
                                 : std::min(py + 16 + 12 * row, kTop + kPlot - 14.0);
    // Near the right edge, a label ends at its mark.
    const bool last = px + kLabelWidth > width - kRight;
    std::fprintf(out, "<text x=\"%.1f\" y=\"%.1f\" fill=\"%s\"%s>%s</text>\n",
                 last ? px - 5 : px + 5, ly, blink ? "#1a8a2e" : "#c62828",
                 last ? " text-anchor=\"end\"" : "", label);
  }
  std::fprintf(out, "</svg>\n");

  const bool failed = std::ferror(out) != 0;
  const int savedErrno = errno;
  if (std::fclose(out) != 0 || failed) {
    *error = path + ": cannot be written: " + std::strerror(failed ? savedErrno : errno);
    return false;
  }
  return true;
}

}  // namespace tools

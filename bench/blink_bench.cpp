// blink-bench: the library's raw-wave blink detection on synthetic EEG
// (tools/eeg.h) whose blinks it places itself: how soon after its peak each
// blink is reported, whether eyes held shut are one blink, how many false
// reports hours of blink-free EEG bring, what steady swings bring, and what
// the detection costs per sample. Every wave goes through the
// library's own stream as a connection's bytes do (tools/raw_wave.h).
// scripts/bench-blinks runs it and puts its rows into docs/benchmarks.md.
//
//   blink-bench [HOURS]         HOURS of blink-free EEG per kind (default 2)
//   blink-bench --scene FILE    writes a data log of 27 s of synthetic EEG
//                               with one of each thing the detector tells
//                               apart, for the picture in docs/blinks.md
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "thinkgear/blink_detector.h"
#include "tools/eeg.h"
#include "tools/raw_wave.h"
#include "tools/recording.h"

namespace {

const int kRate = tg::kRawSampleRate;

// Artifacts placed at random gaps around their mean spacing.
struct Artifacts {
  double muscleEvery;                    // seconds; 0 for none
  double muscleSmallest, muscleLargest;  // rms microvolts
  double popEvery;                       // seconds; 0 for none
};

struct Kind {
  const char *name;
  tools::EegSettings eeg;
  Artifacts artifacts;
};

class Scene {
 public:
  Scene(const Kind &kind, uint64_t seed)
      : kind_(kind),
        eeg_(seed, kind.eeg),
        nextMuscle_(Gap(kind.artifacts.muscleEvery)),
        nextPop_(Gap(kind.artifacts.popEvery)) {}

  // The next sample in raw units, with the artifacts due by then.
  int16_t next() {
    const double t = static_cast<double>(eeg_.index()) / kRate;
    if (t >= nextMuscle_) {
      const Artifacts &a = kind_.artifacts;
      eeg_.muscle(0.3 + 1.5 * eeg_.uniform(),
                  a.muscleSmallest + (a.muscleLargest - a.muscleSmallest) * eeg_.uniform());
      nextMuscle_ = t + Gap(a.muscleEvery);
    }
    if (t >= nextPop_) {
      const double size = (eeg_.uniform() < 0.5 ? -1 : 1) * (100 + 900 * eeg_.uniform());
      eeg_.pop(size, eeg_.uniform() < 0.5 ? 0 : 0.2 + 2 * eeg_.uniform());
      nextPop_ = t + Gap(kind_.artifacts.popEvery);
    }
    return tools::RawUnits(eeg_.next());
  }

  tools::SyntheticEeg &eeg() { return eeg_; }

 private:
  double Gap(double mean) { return mean > 0 ? mean * (0.5 + eeg_.uniform()) : 1e30; }

  Kind kind_;
  tools::SyntheticEeg eeg_;
  double nextMuscle_;
  double nextPop_;
};

double Percentile(const std::vector<double> &sorted, double p) {
  if (sorted.empty()) {
    return 0;
  }
  const size_t rank = static_cast<size_t>(std::ceil(p * static_cast<double>(sorted.size())));
  return sorted[std::min(sorted.size(), std::max<size_t>(rank, 1)) - 1];
}

// One event after another (a blink, eyes held shut) on four waves, mains at
// 50 and 60 Hz and blinks swinging either way, each through the library:
// place(eeg) starts the next event and returns its peak and the seconds
// from now until the next may start. A report within 400 ms after the
// latest peak before it is that event's; any other, and any but the first
// of an event, is an extra.
struct Placed {
  int64_t peak;
  double gap;
};

struct Outcome {
  long events = 0;
  long once = 0;  // events reported once
  long extra = 0;
  std::vector<double> delays;  // of each event's first report after its peak, ms
};

template <typename Place>
Outcome RunEvents(uint64_t seed, long count, Place place) {
  Outcome outcome;
  std::vector<int> reports;
  for (const double mains : {50.0, 60.0}) {
    for (const int sign : {1, -1}) {
      tools::EegSettings s;
      s.mainsHz = mains;
      s.blinkSign = sign;
      const Kind kind = {"events", s, {0, 0, 0, 0}};
      Scene scene(kind, seed++);
      std::unique_ptr<tools::RawWaveRun> run(new tools::RawWaveRun);
      std::vector<int64_t> peaks;
      const size_t first = reports.size();
      double next = 0.7;
      for (;;) {
        tools::SyntheticEeg &eeg = scene.eeg();
        const double t = static_cast<double>(eeg.index()) / kRate;
        if (t >= next) {
          if (static_cast<long>(peaks.size()) == count) {
            break;  // the last has had its time
          }
          const Placed placed = place(eeg);
          peaks.push_back(placed.peak);
          reports.push_back(0);
          next = t + placed.gap;
        }
        const int64_t at = eeg.index();
        int strength = 0;
        if (!run->add(scene.next(), &strength)) {
          continue;
        }
        size_t i = peaks.size();
        while (i > 0 && peaks[i - 1] > at) {
          --i;
        }
        if (i == 0 || at - peaks[i - 1] >= kRate * 4 / 10) {
          ++outcome.extra;
        } else if (++reports[first + i - 1] == 1) {
          outcome.delays.push_back((at - peaks[i - 1]) * 1000.0 / kRate);
        }
      }
    }
  }
  for (const int r : reports) {
    outcome.once += r == 1 ? 1 : 0;
    outcome.extra += r > 1 ? r - 1 : 0;
  }
  outcome.events = static_cast<long>(reports.size());
  return outcome;
}

// A blink shape of 100 to 400 microvolts, closing in 50 to 150 ms and
// opening in 80 to 250 ms.
tools::BlinkShape AnyBlink(tools::SyntheticEeg &eeg) {
  tools::BlinkShape b;
  b.microvolts = 100 + 300 * eeg.uniform();
  b.riseMs = 50 + 100 * eeg.uniform();
  b.fallMs = 80 + 170 * eeg.uniform();
  return b;
}

// Blinks 0.6 to 3.6 s apart: the report delay after their peaks.
void MeasureDelay() {
  Outcome o = RunEvents(100, 500, [](tools::SyntheticEeg &eeg) {
    const int64_t peak = eeg.blink(AnyBlink(eeg));
    return Placed{peak, 0.6 + 3 * eeg.uniform()};
  });
  std::sort(o.delays.begin(), o.delays.end());
  std::printf("delay|%ld|%zu|%ld|%.0f|%.0f|%.0f\n", o.events, o.delays.size(), o.extra,
              Percentile(o.delays, 0.5), Percentile(o.delays, 0.95), o.delays.back());
}

// Eyes held shut 0.5 to 2 s: a blink shape closing, and one of 0.6 to 1.3
// times its size opening; the next closure 0.6 to 3.6 s after the opening.
// Each should be reported once, at the closing.
void MeasureClosures() {
  const Outcome o = RunEvents(300, 250, [](tools::SyntheticEeg &eeg) {
    const tools::BlinkShape closing = AnyBlink(eeg);
    tools::BlinkShape opening = AnyBlink(eeg);
    opening.microvolts = closing.microvolts * (0.6 + 0.7 * eeg.uniform());
    const double held = 500 + 1500 * eeg.uniform();
    const int64_t peak = eeg.closure(closing, held, opening);
    return Placed{peak, (closing.riseMs + held + opening.fallMs) / 1000 + 0.6 + 3 * eeg.uniform()};
  });
  std::printf("closures|%ld|%ld|%ld\n", o.events, o.once, o.extra);
}

// Steady swings of 150 microvolts at 2 to 8 Hz, 20 s each, 10 s apart: the
// first swing of each can pass for a blink, and nothing after it should.
void MeasureSwings() {
  tools::EegSettings s;
  const Kind kind = {"swings", s, {0, 0, 0, 0}};
  Scene scene(kind, 400);
  std::unique_ptr<tools::RawWaveRun> run(new tools::RawWaveRun);
  long onsets = 0;
  long first = 0;
  long later = 0;
  for (const double hz : {2.0, 2.5, 3.0, 4.0, 5.0, 6.0, 7.0, 8.0}) {
    for (int i = 0; i < 5; ++i) {
      for (int j = 0; j < 10 * kRate; ++j) {
        int strength = 0;
        later += run->add(scene.next(), &strength) ? 1 : 0;
      }
      scene.eeg().sway(hz, 150, 20);
      ++onsets;
      for (int j = 0; j < 20 * kRate; ++j) {
        int strength = 0;
        if (run->add(scene.next(), &strength)) {
          ++(j < kRate ? first : later);
        }
      }
    }
  }
  std::printf("swings|%ld|%ld|%ld\n", onsets, first, later);
}

// Hours of blink-free EEG of each kind; prints the false reports.
void MeasureFalseReports(double hours) {
  tools::EegSettings typical;
  tools::EegSettings sixty = typical;
  sixty.mainsHz = 60;
  sixty.blinkSign = -1;
  tools::EegSettings noisy = typical;
  noisy.background = 20;
  noisy.alpha = 25;
  noisy.mainsSize = 150;
  noisy.driftSize = 200;
  const Kind kinds[] = {
      {"alpha, drift, 50 Hz mains; muscle every 30 s, a pop every 2 min",
       typical,
       {30, 20, 100, 120}},
      {"alpha, drift, 60 Hz mains; muscle every 30 s, a pop every 2 min",
       sixty,
       {30, 20, 100, 120}},
      {"noisy: background 20 uV, alpha 25 uV, 150 uV mains, drift 200 uV",
       noisy,
       {30, 20, 100, 120}},
      {"harsh: muscle every 20 s, a pop every 30 s", typical, {20, 20, 150, 30}},
  };
  int k = 0;
  for (const Kind &kind : kinds) {
    Scene scene(kind, 200 + k++);
    std::unique_ptr<tools::RawWaveRun> run(new tools::RawWaveRun);
    long reports = 0;
    const int64_t samples = static_cast<int64_t>(hours * 3600 * kRate);
    for (int64_t i = 0; i < samples; ++i) {
      int strength = 0;
      if (run->add(scene.next(), &strength)) {
        ++reports;
      }
    }
    std::printf("false|%s|%.1f|%ld\n", kind.name, hours, reports);
  }
}

// The detector alone, and the whole stream (packets framed and decoded),
// per sample of ten minutes of EEG with blinks.
void MeasureCost() {
  tools::SyntheticEeg eeg(7, tools::EegSettings());
  std::vector<int16_t> wave(static_cast<size_t>(600 * kRate));
  tools::BlinkShape blink;
  for (size_t i = 0; i < wave.size(); ++i) {
    if (i % (3 * kRate) == 0) {
      eeg.blink(blink);
    }
    wave[i] = tools::RawUnits(eeg.next());
  }
  using Clock = std::chrono::steady_clock;
  static tg::BlinkDetector detector;
  long found = 0;
  const auto start = Clock::now();
  for (int pass = 0; pass < 10; ++pass) {
    for (const int16_t raw : wave) {
      tg::Blink b;
      found += detector.sample(raw, &b) ? 1 : 0;
    }
  }
  const auto middle = Clock::now();
  std::unique_ptr<tools::RawWaveRun> run(new tools::RawWaveRun);
  for (const int16_t raw : wave) {
    int strength = 0;
    found += run->add(raw, &strength) ? 1 : 0;
  }
  const auto end = Clock::now();
  const double detectorNs =
      std::chrono::duration<double, std::nano>(middle - start).count() / (10.0 * wave.size());
  const double streamNs = std::chrono::duration<double, std::nano>(end - middle).count() /
                          static_cast<double>(wave.size());
  std::printf("cost|%.1f|%.1f|%ld\n", detectorNs, streamNs, found);
}

// The data log's lines of 27 s: blinks, two 500 ms apart, eyes held shut
// for 0.9 s, a blink in a muscle burst, a slow swing, a steady swing at 3 Hz, a pop
// that stays, poor contact with a blink in it, and a moment at the rail.
bool WriteScene(const char *path) {
  std::FILE *out = std::fopen(path, "w");
  if (out == nullptr) {
    std::perror(path);
    return false;
  }
  tools::SyntheticEeg eeg(5, tools::EegSettings());
  auto shape = [](double microvolts, double riseMs, double fallMs) {
    tools::BlinkShape b;
    b.microvolts = microvolts;
    b.riseMs = riseMs;
    b.fallMs = fallMs;
    return b;
  };
  const int64_t start = 1733702400LL * 1000000;
  for (int64_t i = 0; i < 27 * kRate; ++i) {
    const int64_t micros = start + i * 1000000 / kRate;
    const double t = static_cast<double>(i) / kRate;
    auto at = [&](double when) { return i == static_cast<int64_t>(when * kRate); };
    if (i % kRate == 0) {
      std::fprintf(out, "%lld.%06lld POOR_SIGNAL %d\n", static_cast<long long>(micros / 1000000),
                   static_cast<long long>(micros % 1000000), t >= 21 && t < 23 ? 200 : 0);
    }
    if (at(1.0) || at(15.0) || at(22.0) || at(23.8) || at(26.0)) {
      eeg.blink(shape(200, 80, 150));
    } else if (at(2.4) || at(2.9)) {
      eeg.blink(shape(170, 70, 130));
    } else if (at(4.2)) {
      eeg.closure(shape(220, 80, 150), 900, shape(200, 90, 160));
    } else if (at(7.0)) {
      eeg.muscle(0.6, 150);
    } else if (at(7.2)) {
      eeg.blink(shape(200, 80, 150));  // taken for muscle
    } else if (at(9.0)) {
      eeg.blink(shape(250, 600, 200));
    } else if (at(11.0)) {
      eeg.sway(3, 150, 2.5);
    } else if (at(16.5)) {
      eeg.pop(350, 0);
    }
    const int raw = t >= 25 && t < 25.06 ? 32767 : tools::RawUnits(eeg.next());
    std::fprintf(out, "%lld.%06lld RAW %d\n", static_cast<long long>(micros / 1000000),
                 static_cast<long long>(micros % 1000000), raw);
  }
  if (std::fclose(out) != 0) {
    std::perror(path);
    return false;
  }
  return true;
}

}  // namespace

int main(int argc, char **argv) {
  if (argc == 3 && std::string(argv[1]) == "--scene") {
    return WriteScene(argv[2]) ? 0 : 1;
  }
  const double hours = argc > 1 ? std::atof(argv[1]) : 2;
  if (!(hours > 0)) {
    std::fprintf(stderr, "usage: blink-bench [HOURS] | --scene FILE\n");
    return 2;
  }
  MeasureDelay();
  MeasureClosures();
  MeasureSwings();
  MeasureFalseReports(hours);
  MeasureCost();
  return 0;
}

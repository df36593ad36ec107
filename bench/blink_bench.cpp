// blink-bench: the library's raw-wave blink detection on synthetic EEG
// (tools/eeg.h) whose blinks it places itself: how soon after its peak each
// blink is reported, how many false reports hours of blink-free EEG bring,
// and what the detection costs per sample. Every wave goes through the
// library's own stream as a connection's bytes do (tools/raw_wave.h).
// scripts/bench-blinks runs it and puts its rows into docs/benchmarks.md.
//
//   blink-bench [HOURS]   HOURS of blink-free EEG per kind (default 2)
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <memory>
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
  sim::EegSettings eeg;
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
    return sim::RawUnits(eeg_.next());
  }

  sim::SyntheticEeg &eeg() { return eeg_; }

 private:
  double Gap(double mean) { return mean > 0 ? mean * (0.5 + eeg_.uniform()) : 1e30; }

  Kind kind_;
  sim::SyntheticEeg eeg_;
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

// Blinks of 100 to 400 microvolts, closing in 50 to 150 ms and opening in
// 80 to 250 ms, 0.6 to 3.6 s apart; each report is matched to the blink
// whose peak came within 400 ms before it.
void MeasureDelay() {
  std::vector<double> delays;
  long blinks = 0;
  long extra = 0;
  int k = 0;
  for (const double mains : {50.0, 60.0}) {
    for (const int sign : {1, -1}) {
      sim::EegSettings s;
      s.mainsHz = mains;
      s.blinkSign = sign;
      const Kind kind = {"blinks", s, {0, 0, 0, 0}};
      Scene scene(kind, 100 + k++);
      std::unique_ptr<sim::RawWaveRun> run(new sim::RawWaveRun);
      std::vector<int64_t> peaks;
      std::vector<bool> found;
      double nextBlink = 0.7;
      while (peaks.size() < 500) {
        sim::SyntheticEeg &eeg = scene.eeg();
        const double t = static_cast<double>(eeg.index()) / kRate;
        if (t >= nextBlink) {
          sim::BlinkShape b;
          b.microvolts = 100 + 300 * eeg.uniform();
          b.riseMs = 50 + 100 * eeg.uniform();
          b.fallMs = 80 + 170 * eeg.uniform();
          peaks.push_back(eeg.blink(b));
          found.push_back(false);
          nextBlink = t + 0.6 + 3 * eeg.uniform();
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
        if (i > 0 && !found[i - 1] && at - peaks[i - 1] < kRate * 4 / 10) {
          found[i - 1] = true;
          delays.push_back((at - peaks[i - 1]) * 1000.0 / kRate);
        } else {
          ++extra;
        }
      }
      blinks += static_cast<long>(peaks.size());
    }
  }
  std::sort(delays.begin(), delays.end());
  std::printf("delay|%ld|%zu|%ld|%.0f|%.0f|%.0f\n", blinks, delays.size(), extra,
              Percentile(delays, 0.5), Percentile(delays, 0.95), delays.back());
}

// Hours of blink-free EEG of each kind; prints the false reports.
void MeasureFalseReports(double hours) {
  sim::EegSettings typical;
  sim::EegSettings sixty = typical;
  sixty.mainsHz = 60;
  sixty.blinkSign = -1;
  sim::EegSettings noisy = typical;
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
    std::unique_ptr<sim::RawWaveRun> run(new sim::RawWaveRun);
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
  sim::SyntheticEeg eeg(7, sim::EegSettings());
  std::vector<int16_t> wave(static_cast<size_t>(600 * kRate));
  sim::BlinkShape blink;
  for (size_t i = 0; i < wave.size(); ++i) {
    if (i % (3 * kRate) == 0) {
      eeg.blink(blink);
    }
    wave[i] = sim::RawUnits(eeg.next());
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
  std::unique_ptr<sim::RawWaveRun> run(new sim::RawWaveRun);
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

}  // namespace

int main(int argc, char **argv) {
  const double hours = argc > 1 ? std::atof(argv[1]) : 2;
  if (!(hours > 0)) {
    std::fprintf(stderr, "usage: blink-bench [HOURS]\n");
    return 2;
  }
  MeasureDelay();
  MeasureFalseReports(hours);
  MeasureCost();
  return 0;
}

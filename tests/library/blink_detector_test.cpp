// The raw-wave blink detector on synthetic forehead EEG whose blinks, pops
// and bursts are placed by the test, so every report can be held against
// what was there.
#include "thinkgear/blink_detector.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <vector>

#include "tools/eeg.h"
#include "tools/recording.h"

namespace {

const int kRate = tg::kRawSampleRate;

struct Report {
  int64_t at;  // sample index of the report
  tg::Blink blink;
};

// Feeds a synthetic wave to a detector, with a good-contact value each
// second as the headset sends it.
class Wave {
 public:
  explicit Wave(const tools::EegSettings &settings, uint64_t seed = 1) : eeg_(seed, settings) {}

  void run(double seconds) {
    const int64_t end = eeg_.index() + static_cast<int64_t>(seconds * kRate);
    while (eeg_.index() < end) {
      if (eeg_.index() % kRate == 0) {
        detector_.contact(poorSignal_);
      }
      feed(tools::RawUnits(eeg_.next()));
    }
  }
  void feed(int raw) {
    tg::Blink blink;
    const int64_t at = fed_++;
    if (detector_.sample(raw, &blink)) {
      reports_.push_back(Report{at, blink});
    }
  }
  // A blink starting now; returns its peak's sample index.
  int64_t blink(double microvolts, double riseMs = 90, double fallMs = 160) {
    tools::BlinkShape shape;
    shape.microvolts = microvolts;
    shape.riseMs = riseMs;
    shape.fallMs = fallMs;
    return eeg_.blink(shape);
  }

  tools::SyntheticEeg eeg_;
  tg::BlinkDetector detector_;
  int poorSignal_ = 0;
  int64_t fed_ = 0;
  std::vector<Report> reports_;
};

tools::EegSettings Quiet() {
  tools::EegSettings s;
  s.mainsHz = 50;
  return s;
}

// --- Blinks are found, once each, soon after their peak ---------------------

TEST(BlinkDetector, EachBlinkIsReportedOnceWithinItsDelayAndWithItsSize) {
  for (const double mains : {50.0, 60.0}) {
    for (const int sign : {1, -1}) {
      tools::EegSettings s = Quiet();
      s.mainsHz = mains;
      s.mainsSize = 100;
      s.blinkSign = sign;
      Wave w(s, 7);
      w.run(2);
      std::vector<int64_t> peaks;
      std::vector<double> sizes;
      for (int i = 0; i < 30; ++i) {
        const double size = 120 + 10 * i;  // 120 to 410 microvolts
        peaks.push_back(w.blink(size, 60 + 3 * i, 100 + 5 * i));
        sizes.push_back(size);
        w.run(1.0 + 0.05 * i);
      }
      ASSERT_EQ(w.reports_.size(), peaks.size()) << "mains " << mains << " sign " << sign;
      for (size_t i = 0; i < peaks.size(); ++i) {
        const Report &r = w.reports_[i];
        const double delayMs = (r.at - peaks[i]) * 1000.0 / kRate;
        EXPECT_GE(delayMs, 0) << "blink " << i;
        EXPECT_LE(delayMs, 150) << "blink " << i;
        // The size in the band-passed wave: within a fifth of the blink's.
        EXPECT_NEAR(r.blink.microvolts, sizes[i], sizes[i] / 5) << "blink " << i;
        EXPECT_EQ(r.blink.strength, std::lround(r.blink.microvolts / 2)) << "blink " << i;
      }
    }
  }
}

TEST(BlinkDetector, StrengthIsHalfTheSizeHeldTo1Through255) {
  Wave w(Quiet());
  w.run(2);
  w.blink(700);  // 350 after halving: held to 255
  w.run(2);
  ASSERT_EQ(w.reports_.size(), 1u);
  EXPECT_EQ(w.reports_[0].blink.strength, 255);
}

TEST(BlinkDetector, TheFirstBlinkHalfASecondAfterTheStartCounts) {
  Wave w(Quiet());
  w.run(0.4);
  const int64_t peak = w.blink(180);
  w.run(1);
  ASSERT_EQ(w.reports_.size(), 1u);
  EXPECT_GE(w.reports_[0].at, peak);
  EXPECT_LT(peak, kRate * 6 / 10);
}

TEST(BlinkDetector, BlinksInQuickSuccessionAreEachReported) {
  Wave w(Quiet());
  w.run(2);
  for (int i = 0; i < 3; ++i) {
    w.blink(200, 70, 120);
    w.run(0.4);  // blinks 400 ms apart
  }
  w.run(1);
  EXPECT_EQ(w.reports_.size(), 3u);
}

// --- One closing of the eyes, one blink; blinks of any size ------------------

TEST(BlinkDetector, EyesHeldShutAreOneBlinkReportedAtTheClosing) {
  // Held 0.5 to 2 s, the opening 0.7 to 1.3 times the closing's size.
  for (const int sign : {1, -1}) {
    tools::EegSettings s = Quiet();
    s.blinkSign = sign;
    Wave w(s, 21);
    w.run(2);
    std::vector<int64_t> peaks;
    for (int i = 0; i < 40; ++i) {
      tools::BlinkShape closing;
      closing.microvolts = 120 + 7 * i;
      closing.riseMs = 60 + 2 * i;
      closing.fallMs = 100 + 3 * i;
      tools::BlinkShape opening = closing;
      opening.microvolts *= 0.7 + 0.6 * ((i * 7) % 40) / 39;
      const double heldMs = 500 + 1500 * ((i * 13) % 40) / 39.0;
      peaks.push_back(w.eeg_.closure(closing, heldMs, opening));
      w.run(heldMs / 1000 + 1.2);
    }
    ASSERT_EQ(w.reports_.size(), peaks.size()) << "sign " << sign;
    for (size_t i = 0; i < peaks.size(); ++i) {
      const double delayMs = (w.reports_[i].at - peaks[i]) * 1000.0 / kRate;
      EXPECT_GE(delayMs, 0) << "closure " << i;
      EXPECT_LE(delayMs, 150) << "closure " << i;
    }
  }
}

TEST(BlinkDetector, BlinksOnPurposeEveryOneToTwoSecondsAreEachReported) {
  // A steady beat of blinks, large ones with a rebound past the threshold,
  // and of the eyes held shut for half the beat, is no rhythm of swings.
  for (const double beat : {1.0, 1.5, 2.0}) {
    for (const double size : {150.0, 400.0}) {
      for (const bool held : {false, true}) {
        Wave w(Quiet(), 23);
        w.run(2);
        tools::BlinkShape shape;
        shape.microvolts = size;
        for (int i = 0; i < 20; ++i) {
          if (held) {
            w.eeg_.closure(shape, beat * 500, shape);
          } else {
            w.eeg_.blink(shape);
          }
          w.run(beat);
        }
        EXPECT_EQ(w.reports_.size(), 20u)
            << "every " << beat << " s, " << size << " uV" << (held ? ", held" : "");
      }
    }
  }
}

TEST(BlinkDetector, AFewLargeBlinksDoNotLockOutSmallerOnes) {
  struct Case {
    int large;
    double largeSize, smallSize;
  } cases[] = {{3, 400, 120}, {5, 300, 100}};
  for (const Case &c : cases) {
    Wave w(Quiet(), 13);
    w.run(2);
    for (int i = 0; i < 60; ++i) {
      w.blink(i < c.large ? c.largeSize : c.smallSize);
      w.run(1.5 + w.eeg_.uniform());
    }
    EXPECT_EQ(w.reports_.size(), 60u) << c.large << " of " << c.largeSize << " uV first";
  }
}

// --- No report where there is no blink --------------------------------------

TEST(BlinkDetector, SteadySwingsAreNoTrainOfBlinks) {
  // Only the first swing can pass for a blink; then nothing while the wave
  // keeps its rhythm, and the blinks after it count.
  for (const double hz : {2.0, 3.0, 4.0, 6.0, 8.0}) {
    Wave w(Quiet(), 19);
    w.run(2);
    w.eeg_.sway(hz, 150, 30);
    w.run(31);
    EXPECT_LE(w.reports_.size(), 1u) << hz << " Hz";
    const size_t before = w.reports_.size();
    w.blink(200);
    w.run(2);
    EXPECT_EQ(w.reports_.size(), before + 1) << hz << " Hz";
  }
}

TEST(BlinkDetector, ACableTugTeachesTheThresholdNothing) {
  // 2 s of a 1 mV swing at 2 Hz, then 58 blinks of 200 uV.
  Wave w(Quiet(), 17);
  w.run(2);
  w.eeg_.sway(2, 1000, 2);
  w.run(3.5);
  const size_t tug = w.reports_.size();
  EXPECT_LE(tug, 1u);
  for (int i = 0; i < 58; ++i) {
    w.blink(200);
    w.run(1.5 + w.eeg_.uniform());
  }
  EXPECT_EQ(w.reports_.size() - tug, 58u);
}

// --- No report where there is no blink --------------------------------------

TEST(BlinkDetector, NothingIsReportedOnBlinkFreeEeg) {
  struct Case {
    const char *name;
    double mainsHz, mainsSize, driftSize, alpha, background;
  } cases[] = {
      {"mains 50 Hz", 50, 150, 60, 12, 10},     {"mains 60 Hz", 60, 150, 60, 12, 10},
      {"strong alpha", 50, 40, 60, 30, 10},     {"drift", 60, 40, 400, 12, 10},
      {"noisy background", 50, 40, 60, 15, 25},
  };
  for (const Case &c : cases) {
    tools::EegSettings s;
    s.mainsHz = c.mainsHz;
    s.mainsSize = c.mainsSize;
    s.driftSize = c.driftSize;
    s.alpha = c.alpha;
    s.background = c.background;
    Wave w(s, 3);
    w.run(600);
    EXPECT_TRUE(w.reports_.empty())
        << c.name << ": " << w.reports_.size() << " reports, the first at "
        << w.reports_[0].at / double(kRate) << " s";
  }
}

TEST(BlinkDetector, MuscleBurstsAreNoBlinks) {
  Wave w(Quiet(), 5);
  for (int i = 0; i < 100; ++i) {
    w.run(2 + w.eeg_.uniform() * 3);
    w.eeg_.muscle(0.3 + 1.5 * w.eeg_.uniform(), 30 + 150 * w.eeg_.uniform());
  }
  w.run(3);
  EXPECT_TRUE(w.reports_.empty()) << w.reports_.size() << " reports";
}

TEST(BlinkDetector, PopsAreNoBlinks) {
  // Steps that stay, and steps that fade back within 0.2 to 2 s, of 80 to
  // 1000 microvolts either way.
  Wave w(Quiet(), 9);
  for (int i = 0; i < 600; ++i) {
    w.run(3 + w.eeg_.uniform() * 5);
    const double size = (i % 2 == 0 ? 1 : -1) * (80 + 920 * w.eeg_.uniform());
    w.eeg_.pop(size, i % 3 == 0 ? 0 : 0.2 + 1.8 * w.eeg_.uniform());
  }
  w.run(5);
  EXPECT_TRUE(w.reports_.empty()) << w.reports_.size() << " reports";
}

TEST(BlinkDetector, SlowSwingsAndHeldLooksAreNoBlinks) {
  Wave w(Quiet());
  w.run(2);
  for (int i = 0; i < 10; ++i) {
    w.blink(250, 800, 200);  // an eyelid does not take 0.8 s to close
    w.run(3);
    w.eeg_.look(i % 2 == 0 ? 200 : -200, 60);  // the eyes turn, and stay
    w.run(3);
  }
  for (const Report &r : w.reports_) {
    ADD_FAILURE() << "a report at " << r.at / double(kRate) << " s";
  }
}

TEST(BlinkDetector, OnAQuietWaveSwingsBelowFortyMicrovoltsAreNoBlinks) {
  tools::EegSettings s = Quiet();
  s.background = 2;
  s.alpha = 2;
  s.mainsSize = 10;
  Wave w(s);
  w.run(2);
  for (int i = 0; i < 10; ++i) {
    w.blink(35);
    w.run(2);
  }
  EXPECT_TRUE(w.reports_.empty()) << w.reports_.size() << " reports";
  w.blink(90);
  w.run(2);
  EXPECT_EQ(w.reports_.size(), 1u);
}

// --- Silent while the signal is not there ------------------------------------

TEST(BlinkDetector, NothingIsReportedWhileTheContactIsPoorAndItLearnsAgainAfter) {
  Wave w(Quiet());
  w.run(2);
  w.poorSignal_ = 200;
  w.run(1);
  w.blink(250);
  w.run(2);
  w.poorSignal_ = 51;
  w.blink(250);
  w.run(2);
  EXPECT_TRUE(w.reports_.empty());

  // Good contact comes with the next second's value, at once here; a
  // blink within the learning after it is not reported, one after it is.
  ASSERT_EQ(w.eeg_.index() % kRate, 0);
  w.poorSignal_ = 0;
  w.run(0.1);
  w.blink(250);
  w.run(1);
  EXPECT_TRUE(w.reports_.empty());
  w.blink(250);
  w.run(1);
  EXPECT_EQ(w.reports_.size(), 1u);
}

TEST(BlinkDetector, ASwingThatReachesTheRailIsNoBlink) {
  // The wave sits near the top of the raw range, and a blink drives it into
  // the rail, where it is held.
  tools::EegSettings s = Quiet();
  s.offset = 6500;  // 29,582 raw units
  Wave w(s);
  w.run(2);
  w.blink(900);
  w.run(2);
  EXPECT_TRUE(w.reports_.empty());
  w.blink(300);
  w.run(2);
  EXPECT_EQ(w.reports_.size(), 1u);
}

TEST(BlinkDetector, AConverterHoldingOneValueIsAtItsRail) {
  // A converter of fewer bits than the row has rails of its own, where it
  // holds its value: a blink flattened on such a rail is no blink.
  Wave w(Quiet());
  w.run(2);
  const int level = tools::RawUnits(300);
  const int rail = level + tools::RawUnits(150);
  for (int i = 0; i < 150; ++i) {
    const double shape = std::sin(M_PI * i / 150.0);  // 290 ms
    w.feed(std::min(rail, level + static_cast<int>(tools::RawUnits(250) * shape)));
  }
  w.run(2);
  EXPECT_TRUE(w.reports_.empty());
}

TEST(BlinkDetector, ARestartLearnsForAQuarterSecondBeforeReporting) {
  Wave w(Quiet());
  w.run(3);
  w.detector_.restart();
  w.blink(300, 50, 100);  // peaks at 50 ms, inside the learning
  w.run(1);
  EXPECT_TRUE(w.reports_.empty());
  w.detector_.restart();
  w.run(0.25);
  w.blink(300);
  w.run(1);
  EXPECT_EQ(w.reports_.size(), 1u);
}

}  // namespace

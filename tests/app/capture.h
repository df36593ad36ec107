// Runs code with standard input, output and error redirected to files, so a
// test reads back exactly what a user would see on each stream.
#ifndef NICTATE_TESTS_APP_CAPTURE_H
#define NICTATE_TESTS_APP_CAPTURE_H

#include <functional>
#include <string>

struct Transcript {
  std::string out;
  std::string err;
};

// Runs body with standard input reading `input` (then its end) and both
// output streams captured. Exceptions from body propagate after the streams
// are restored and captured into *transcript.
void CaptureConsole(const std::string &input, Transcript *transcript,
                    const std::function<void()> &body);

#endif

// One Xvfb for the whole test program, started before the first test with
// DISPLAY set to it, so the code under test connects there and only there
// (it keeps its display for the life of the process).
#ifndef NICTATE_TESTS_X11_XVFB_ENVIRONMENT_H
#define NICTATE_TESTS_X11_XVFB_ENVIRONMENT_H

#include <gtest/gtest.h>
#include <stdlib.h>

#include <string>
#include <utility>

#include "testkit/xvfb.h"

class XvfbEnvironment : public testing::Environment {
 public:
  explicit XvfbEnvironment(std::string size) : size_(std::move(size)) {}
  void SetUp() override {
    std::string error;
    ASSERT_TRUE(server_.Start(size_, &error)) << error;
    ASSERT_EQ(setenv("DISPLAY", server_.name().c_str(), 1), 0);
  }
  void TearDown() override { server_.Stop(); }

 private:
  std::string size_;
  testkit::Xvfb server_;
};

#endif

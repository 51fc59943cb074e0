// A fresh directory under /tmp for each test, removed afterwards.
#ifndef FERROW_TESTS_CPP_TEMP_DIR_H_
#define FERROW_TESTS_CPP_TEMP_DIR_H_

#include <stdlib.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

namespace ferrow {

class TempDirTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char templ[] = "/tmp/ferrow_test_XXXXXX";
    dir_ = mkdtemp(templ);
  }
  void TearDown() override { std::filesystem::remove_all(dir_); }

  std::string dir_;
};

}  // namespace ferrow

#endif  // FERROW_TESTS_CPP_TEMP_DIR_H_

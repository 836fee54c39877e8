// The fixture of the tests that make toolkit windows or draw: the toolkit is started once per
// test program, as the program starts it.
#pragma once

#include <gtest/gtest.h>

#include "ui.h"

namespace quorvel::test {

class ToolkitTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    uiInitOptions options = {};
    options.Size = sizeof(options);
    const char* err = uiInit(&options);
    ASSERT_EQ(err, nullptr) << err;
  }
};

}  // namespace quorvel::test

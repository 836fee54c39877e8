// A program without the "ICON_NAME" icon resource: the toolkit refuses to start and says why.
#include <gtest/gtest.h>

#include <string>

#include "ui.h"

namespace {

TEST(UiInitWithoutIcon, FailsLoadingTheDefaultIcon) {
  uiInitOptions options = {};
  options.Size = 8;
  const char* err = uiInit(&options);
  ASSERT_NE(err, nullptr);
  std::string text = err;
  uiFreeInitError(err);
  const std::string step = "loading default icon for window classes: ";
  EXPECT_EQ(text.substr(0, step.size()), step) << text;
  // The system's code follows the step.
  EXPECT_NE(text.find("GetLastError() == "), std::string::npos) << text;
  // A failed start leaves the toolkit uninitialised: a second attempt fails the same way.
  err = uiInit(&options);
  ASSERT_NE(err, nullptr);
  EXPECT_EQ(std::string(err).substr(0, step.size()), step);
  uiFreeInitError(err);
}

}  // namespace

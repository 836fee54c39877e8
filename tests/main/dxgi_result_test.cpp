#include "main/dxgi_result.h"

#include <gtest/gtest.h>

namespace quorvel {
namespace {

struct Case {
  uint32_t result;
  ErrorKind kind;
  const char* text;
};

TEST(DxgiFactoryError, MapsEveryListedResultCode) {
  const Case cases[] = {
      {0x887A0001, ErrorKind::InvalidData, "invalid data"},
      {0x887A0004, ErrorKind::ConnectionRefused, "connection refused"},
      {0x887A0022, ErrorKind::Interrupted, "operation interrupted"},
      {0x887A0026, ErrorKind::ConnectionReset, "connection reset"},
      {0x887A0027, ErrorKind::TimedOut, "timed out"},
      {0x887A0028, ErrorKind::ConnectionAborted, "connection aborted"},
      {0x80070005, ErrorKind::PermissionDenied, "permission denied"},
  };
  for (const Case& c : cases) {
    Error e = dxgi_factory_error(c.result);
    EXPECT_EQ(e.kind(), c.kind) << std::hex << c.result;
    EXPECT_EQ(error_text(e), c.text) << std::hex << c.result;
  }
}

TEST(DxgiFactoryError, AnyOtherFailureIsOtherError) {
  for (uint32_t result : {0x80004005u, 0x887A0002u, 0x887A0005u, 0x8007000Eu, 0x80070057u}) {
    Error e = dxgi_factory_error(result);
    EXPECT_EQ(e.kind(), ErrorKind::Other) << std::hex << result;
    EXPECT_EQ(error_text(e), "other error");
  }
}

}  // namespace
}  // namespace quorvel

// On Windows no socket call works before the socket library is started; the
// program's entry does that, so the tests do it too, once for the whole run.
#include <gtest/gtest.h>

#include "platform/platform.h"

namespace {

class SocketLibraryEnvironment : public ::testing::Environment {
 public:
  void SetUp() override { platform::StartProcess(); }
  void TearDown() override { platform::StopProcess(); }
};

const ::testing::Environment* const kRegistered =
    ::testing::AddGlobalTestEnvironment(new SocketLibraryEnvironment);

}  // namespace

#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "testing/network_namespace.h"

namespace velmora::testing {

// A test whose thread runs in a network namespace of its own, skipped where none can be made.
class NamespaceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const std::string unavailable = NetworkNamespace::Unavailable();
    if (!unavailable.empty()) GTEST_SKIP() << unavailable;
    namespace_ = std::make_unique<NetworkNamespace>();
    ASSERT_TRUE(namespace_->entered());
  }

  // A shell command inside the namespace; its exit status.
  int Run(const std::string& command) const { return namespace_->Run(command); }

  std::unique_ptr<NetworkNamespace> namespace_;
};

}  // namespace velmora::testing

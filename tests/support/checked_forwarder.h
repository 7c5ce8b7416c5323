// A FakeForwarder that knows which texts it handed out, so a test can tell a
// copy that was never given back from a text it never made.
#pragma once

#include <set>

#include "tests/support/fake_forwarder.h"

class CheckedForwarder : public FakeForwarder {
 public:
  explicit CheckedForwarder(ForwardSettings& settings) : FakeForwarder(settings) {}

  char* GetVariable(const char* name) override {
    char* copy = FakeForwarder::GetVariable(name);
    if (copy) live.insert(copy);
    return copy;
  }
  void FreeVariable(char* text) override {
    if (text) {
      if (live.erase(text) == 0) ++foreignFrees;
    }
    FakeForwarder::FreeVariable(text);
  }

  // Copies from GetVariable not yet handed back.
  std::set<char*> live;
  // Texts released here that GetVariable did not make.
  int foreignFrees = 0;
};

// The parts of the test support that differ between Linux and Windows.
#include <cstdlib>

#include "tests/support/test_support.h"

namespace ombrel::testing {

ScopedEnv::ScopedEnv(const char* name, const std::string& value) : name_(name) {
    if (const char* old = std::getenv(name)) old_ = old, had_ = true;
    _putenv_s(name, value.c_str());
}

ScopedEnv::~ScopedEnv() {
    // An empty value removes the variable.
    _putenv_s(name_, had_ ? old_.c_str() : "");
}

bool SetImmutable(const std::string&, bool) { return false; }

}  // namespace ombrel::testing

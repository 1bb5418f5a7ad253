#include "tests/support/scoped_env.h"

#include <cstdlib>
#include <utility>

namespace dravel::testing {

namespace {

void SetVariable(const std::string& name, const std::optional<std::string>& value) {
#ifdef _WIN32
    // An empty value removes the variable (and none of ours is ever empty).
    ::_putenv_s(name.c_str(), value ? value->c_str() : "");
#else
    if (value) {
        ::setenv(name.c_str(), value->c_str(), 1);
    } else {
        ::unsetenv(name.c_str());
    }
#endif
}

}  // namespace

ScopedEnv::ScopedEnv(std::string name, const std::optional<std::string>& value) : m_name(std::move(name)) {
    if (const char* old = std::getenv(m_name.c_str())) m_old = old;
    SetVariable(m_name, value);
}

ScopedEnv::~ScopedEnv() { SetVariable(m_name, m_old); }

}  // namespace dravel::testing

// ScopedEnv sets (or unsets, with std::nullopt) one environment variable for
// its own life and puts back what was there before. It builds for Windows
// too, where the suites that run under Wine use it.
//
// Threads: it changes the whole process's environment, so only while no
// other thread reads it.
#pragma once

#include <optional>
#include <string>

namespace dravel::testing {

class ScopedEnv {
public:
    ScopedEnv(std::string name, const std::optional<std::string>& value);
    ~ScopedEnv();
    ScopedEnv(const ScopedEnv&) = delete;
    ScopedEnv& operator=(const ScopedEnv&) = delete;

private:
    std::string m_name;
    std::optional<std::string> m_old;
};

}  // namespace dravel::testing

#include "tests/support/devsim_server.h"

#include <cstdlib>
#include <sstream>
#include <stdexcept>
#include <thread>

namespace dravel::testing {

DevsimServer::DevsimServer(const std::vector<std::string>& options) {
    std::vector<std::string> argv = {BinPath("dravel-devsim"), "--listen",    "rfc2217://127.0.0.1:0",
                                     "--port-file",            m_dir / "port", "--control-log",
                                     m_dir / "control.log",    "--image",     ImagePath(),
                                     "--log",                  m_dir / "events.log", "--timeout", "120"};
    argv.insert(argv.end(), options.begin(), options.end());
    m_child.emplace(argv, m_dir / "devsim.out", m_dir / "devsim.err");
    const auto deadline = Clock::now() + std::chrono::seconds(10);
    while ((m_port = std::atoi(ReadWholeFile(m_dir / "port").c_str())) == 0) {
        if (Clock::now() >= deadline || m_child->Wait(std::chrono::milliseconds(0))) {
            throw std::runtime_error("device simulator did not listen: " + Errors());
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

std::vector<ControlCommand> DevsimServer::Controls() const {
    std::vector<ControlCommand> commands;
    for (const std::string& line : SplitLines(ReadWholeFile(m_dir / "control.log"))) {
        std::istringstream in(line);
        ControlCommand command;
        in >> command.ms >> command.value;
        std::getline(in >> std::ws, command.name);
        commands.push_back(command);
    }
    return commands;
}

std::vector<int> DevsimServer::ControlValues() const {
    std::vector<int> values;
    for (const ControlCommand& command : Controls()) values.push_back(command.value);
    return values;
}

}  // namespace dravel::testing

#include "tests/support/postgres_server.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <pwd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <filesystem>
#include <stdexcept>
#include <vector>

#include "tests/support/process.h"

namespace dravel::testing {

namespace {

// The newest installed server, or what DRAVEL_PG_BIN names.
std::string ServerBin() {
    if (const char* bin = std::getenv("DRAVEL_PG_BIN"); bin != nullptr && *bin != '\0') return bin;
    std::string newest;
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator("/usr/lib/postgresql", error)) {
        const std::string bin = (entry.path() / "bin").string();
        if (std::filesystem::exists(bin + "/initdb") && bin > newest) newest = bin;
    }
    return newest;
}

// Bound and let go at once: the port is free unless someone takes it in
// the moment before the server does.
uint16_t FreePort() {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        if (fd >= 0) ::close(fd);
        throw std::runtime_error("no free port on 127.0.0.1");
    }
    ::close(fd);
    return ntohs(address.sin_port);
}

}  // namespace

bool PostgresServer::Available() { return !ServerBin().empty(); }

PostgresServer::PostgresServer() : m_bin(ServerBin()) {
    if (m_bin.empty()) throw std::runtime_error("no PostgreSQL server installed (Debian package postgresql)");
    if (::geteuid() == 0) {
        const passwd* user = ::getpwnam("postgres");
        if (user == nullptr) throw std::runtime_error("running as root, but there is no user postgres to run the server");
        if (::chown(m_folder.Path().c_str(), user->pw_uid, user->pw_gid) != 0) {
            throw std::runtime_error("cannot give " + m_folder.Path() + " to the user postgres");
        }
    }
    m_port = FreePort();
    RunTool({Tool("initdb"), "-D", m_folder / "data", "-U", "postgres", "-A", "trust", "-E", "UTF8", "--locale=C",
             "--no-sync", "--no-instructions"});
    Start();
}

PostgresServer::~PostgresServer() {
    if (m_running) {
        try {
            RunTool({Tool("pg_ctl"), "stop", "-D", m_folder / "data", "-m", "immediate", "-w"});
        } catch (const std::exception&) {
        }
    }
}

std::string PostgresServer::Url(const std::string& database) const {
    return "postgresql://postgres@127.0.0.1:" + std::to_string(m_port) + "/" + database;
}

std::string PostgresServer::CreateDatabase(const std::string& name) {
    RunTool({Tool("createdb"), "-h", "127.0.0.1", "-p", std::to_string(m_port), "-U", "postgres", name});
    return Url(name);
}

void PostgresServer::Start() {
    RunTool({Tool("pg_ctl"), "start", "-D", m_folder / "data", "-l", m_folder / "log", "-w", "-t", "60", "-o",
             "-p " + std::to_string(m_port) + " -k " + m_folder.Path() +
                 " -c listen_addresses=127.0.0.1 -c fsync=off -c max_connections=50"});
    m_running = true;
}

void PostgresServer::Stop() {
    RunTool({Tool("pg_ctl"), "stop", "-D", m_folder / "data", "-m", "fast", "-w", "-t", "60"});
    m_running = false;
}

std::string PostgresServer::Log() const { return ReadWholeFile(m_folder / "log"); }

std::string PostgresServer::Tool(const std::string& name) const { return m_bin + "/" + name; }

void PostgresServer::RunTool(const std::vector<std::string>& argv) const {
    std::vector<std::string> command;
    if (::geteuid() == 0) command = {"/usr/sbin/runuser", "-u", "postgres", "--"};
    command.insert(command.end(), argv.begin(), argv.end());
    const RunResult result = Run(command, {}, std::chrono::seconds(90));
    if (result.exitCode != 0) {
        throw std::runtime_error(argv[0] + " failed: " + result.out + result.err + "\nserver log:\n" + Log());
    }
}

}  // namespace dravel::testing

// Test support: a real PostgreSQL server (Debian's postgresql package) of
// the test's own, on a free port of 127.0.0.1, with trust authentication.
//
// What it owns: a scratch folder with the cluster (initdb), its socket and
// its log, and the server process; the destructor stops the server and
// removes the folder. As root the server runs as the user postgres (it
// refuses root), in a folder that user owns.
//
// Threads: one; the object belongs to the test that made it.
//
// Failures: the constructor and Start throw std::runtime_error with the
// tool's output and the server's log; Available() says beforehand whether
// the server programs are installed.
#pragma once

#include <cstdint>
#include <string>

#include "tests/support/files.h"

namespace dravel::testing {

class PostgresServer {
public:
    static bool Available();

    PostgresServer();  // made and started
    ~PostgresServer();
    PostgresServer(const PostgresServer&) = delete;
    PostgresServer& operator=(const PostgresServer&) = delete;

    // postgresql://postgres@127.0.0.1:PORT/DATABASE
    std::string Url(const std::string& database = "postgres") const;
    // A fresh, empty database on this server.
    std::string CreateDatabase(const std::string& name);
    // Fast shutdown (clients are cut off), and back on the same port.
    void Stop();
    void Start();
    std::string Log() const;

private:
    std::string Tool(const std::string& name) const;
    void RunTool(const std::vector<std::string>& argv) const;

    TempDir m_folder;
    std::string m_bin;
    uint16_t m_port = 0;
    bool m_running = false;
};

}  // namespace dravel::testing

#pragma once

#include <QString>

#include <httplib.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <thread>

// A real HTTP server on a free loopback port, serving from its own thread.
// Register handlers on http() before start(); the destructor stops it.
class TestServer
{
public:
    TestServer() : m_port(m_server.bind_to_any_port("127.0.0.1")) {}
    ~TestServer() { stop(); }
    TestServer(const TestServer &) = delete;
    TestServer &operator=(const TestServer &) = delete;

    httplib::Server &http() { return m_server; }
    bool bound() const { return m_port > 0; }
    int port() const { return m_port; }
    QString url(const QString &path) const
    {
        return QStringLiteral("http://127.0.0.1:%1%2").arg(m_port).arg(path);
    }

    void start()
    {
        m_thread = std::thread([this] { m_server.listen_after_bind(); });
        // stop() only works once the accept loop runs.
        while (!m_server.is_running())
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    void stop()
    {
        if (m_thread.joinable()) {
            m_server.stop();
            m_thread.join();
        }
    }

private:
    httplib::Server m_server;
    int m_port;
    std::thread m_thread;
};

// A loopback TCP socket that is bound but not listening (connections are
// refused) or listening but never accepting (connections complete in the
// kernel and then hear nothing). Holding the socket keeps the port ours.
class LoopbackSocket
{
public:
    enum Mode { Refusing, Silent };
    explicit LoopbackSocket(Mode mode) : m_fd(::socket(AF_INET, SOCK_STREAM, 0))
    {
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof addr;
        if (m_fd < 0 || ::bind(m_fd, reinterpret_cast<sockaddr *>(&addr), len) != 0 ||
            (mode == Silent && ::listen(m_fd, 16) != 0) ||
            ::getsockname(m_fd, reinterpret_cast<sockaddr *>(&addr), &len) != 0)
            return;
        m_port = ntohs(addr.sin_port);
    }
    ~LoopbackSocket()
    {
        if (m_fd >= 0)
            ::close(m_fd);
    }
    LoopbackSocket(const LoopbackSocket &) = delete;
    LoopbackSocket &operator=(const LoopbackSocket &) = delete;

    int port() const { return m_port; }
    QString url(const QString &path) const
    {
        return QStringLiteral("http://127.0.0.1:%1%2").arg(m_port).arg(path);
    }

private:
    int m_fd;
    int m_port = 0;
};

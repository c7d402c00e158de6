#pragma once

#include <algorithm>
#include <csignal>
#include <sys/resource.h>

// Caps the size of every file this process writes while the object lives, as
// a full disk would; root is bound too. A write past the cap fails with EFBIG
// instead of raising SIGXFSZ.
class FileSizeLimit
{
public:
    explicit FileSizeLimit(rlim_t bytes)
    {
        m_applied = ::getrlimit(RLIMIT_FSIZE, &m_saved) == 0;
        m_handler = std::signal(SIGXFSZ, SIG_IGN);
        rlimit capped = m_saved;
        capped.rlim_cur = std::min(bytes, m_saved.rlim_max);
        m_applied = m_applied && ::setrlimit(RLIMIT_FSIZE, &capped) == 0;
    }
    ~FileSizeLimit()
    {
        ::setrlimit(RLIMIT_FSIZE, &m_saved);
        std::signal(SIGXFSZ, m_handler);
    }
    FileSizeLimit(const FileSizeLimit &) = delete;
    FileSizeLimit &operator=(const FileSizeLimit &) = delete;
    bool applied() const { return m_applied; }

private:
    rlimit m_saved{};
    void (*m_handler)(int) = nullptr;
    bool m_applied = false;
};

#include "platform/curlapi.h"

#include "platform/devlog.h"

#include <QFileInfo>
#include <QLibrary>

#include <mutex>
#include <thread>

namespace {

// A name and a version each. QLibrary tries its own prefix and suffix first:
// a full file name would first be looked for with ".so" added, a failed
// search of every library directory while holding the loader's lock, which
// the window's start waits on.
struct Candidate
{
    const char *name;
    int version; // -1: the name is the file's whole name
};
#ifdef __APPLE__
constexpr Candidate kLibraries[] = {{"libcurl.4.dylib", -1}, {"/usr/lib/libcurl.4.dylib", -1}};
#else
constexpr Candidate kLibraries[] = {{"curl", 4}, {"libcurl.so", -1}};
#endif

#if defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer) ||                         \
    __has_feature(memory_sanitizer)
#define HOOP_SANITIZED 1
#endif
#endif
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define HOOP_SANITIZED 1
#endif

// libcurl's dependencies bound to each other before the rest of the process.
// Each of the thousands of symbols they take from each other (most of them
// bound at load) is otherwise first looked for in every library Qt brought
// in, which doubles the load. They bind to the same objects either way,
// unless a library was preloaded to stand in for some of them (an allocator,
// say): then the usual order, so that it still does. The sanitizers refuse
// the hint.
bool bindCurlDeeply()
{
#if defined(__linux__) && !defined(HOOP_SANITIZED)
    return qEnvironmentVariableIsEmpty("LD_PRELOAD") &&
           !QFileInfo::exists(QStringLiteral("/etc/ld.so.preload"));
#else
    return false;
#endif
}

template <typename Function> bool resolve(QLibrary &library, const char *name, Function &function)
{
    function = reinterpret_cast<Function>(library.resolve(name));
    return function != nullptr;
}

const CurlApi *load()
{
    // Never unloaded: the library stays for the life of the process. Bound
    // lazily (QLibrary's default): most functions of libcurl and of its
    // dependencies are never called here, and binding them all up front adds
    // a sixth to the load.
    // Made on the loading thread and never destroyed: a QObject belongs to
    // its thread, and the one at exit is another.
    static QLibrary &library = *new QLibrary;
    if (bindCurlDeeply())
        library.setLoadHints(QLibrary::DeepBindHint);
    for (const Candidate &candidate : kLibraries) {
        if (candidate.version < 0)
            library.setFileName(QLatin1String(candidate.name));
        else
            library.setFileNameAndVersion(QLatin1String(candidate.name), candidate.version);
        if (library.load())
            break;
    }
    if (!library.isLoaded()) {
        devLog(QStringLiteral("Cannot load libcurl: ") + library.errorString());
        return nullptr;
    }
    static CurlApi api;
    CURLcode (*globalInit)(long) = nullptr;
    const bool complete = resolve(library, "curl_global_init", globalInit) &&
                          resolve(library, "curl_easy_init", api.easy_init) &&
                          resolve(library, "curl_easy_setopt", api.easy_setopt) &&
                          resolve(library, "curl_easy_perform", api.easy_perform) &&
                          resolve(library, "curl_easy_getinfo", api.easy_getinfo) &&
                          resolve(library, "curl_easy_cleanup", api.easy_cleanup) &&
                          resolve(library, "curl_easy_strerror", api.easy_strerror);
    // curl_global_init is not thread-safe itself; every later call is.
    if (!complete || globalInit(CURL_GLOBAL_DEFAULT) != CURLE_OK) {
        devLog(QStringLiteral("Cannot initialise libcurl"));
        return nullptr;
    }
    return &api;
}

} // namespace

const CurlApi *curlApi()
{
    static std::once_flag once;
    static const CurlApi *api = nullptr;
    std::call_once(once, [] { api = load(); });
    return api;
}

std::jthread preloadCurl()
{
    return std::jthread([] { curlApi(); });
}

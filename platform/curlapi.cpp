#include "platform/curlapi.h"

#include "platform/devlog.h"

#include <dlfcn.h>

#include <mutex>
#include <thread>

namespace {

#ifdef __APPLE__
constexpr const char *kLibraries[] = {"libcurl.4.dylib", "/usr/lib/libcurl.4.dylib"};
#else
constexpr const char *kLibraries[] = {"libcurl.so.4", "libcurl.so"};
#endif

template <typename Function> bool resolve(void *library, const char *name, Function &function)
{
    function = reinterpret_cast<Function>(dlsym(library, name));
    return function != nullptr;
}

const CurlApi *load()
{
    void *library = nullptr;
    // Lazily bound: most functions of libcurl and of its dependencies are never
    // called here, and binding them all up front adds a sixth to the load.
    for (const char *name : kLibraries) {
        if ((library = dlopen(name, RTLD_LAZY | RTLD_LOCAL)))
            break;
    }
    if (!library) {
        devLog(QStringLiteral("Cannot load libcurl: ") + QString::fromLocal8Bit(dlerror()));
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
    // The library stays loaded for the life of the process.
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

void preloadCurl()
{
    std::thread([] { curlApi(); }).detach();
}

// Preloaded into the program, it stands in for getenv as a user's preloaded
// allocator or tracer stands in for its functions, and says on standard
// error when libcurl asks it for its proxy setting.

#include <dlfcn.h>

#include <cstdio>
#include <cstring>

extern "C" char *getenv(const char *name)
{
    using Getenv = char *(*)(const char *);
    static const Getenv next = reinterpret_cast<Getenv>(dlsym(RTLD_NEXT, "getenv"));
    if (std::strcmp(name, "http_proxy") == 0)
        std::fputs("getenv_probe: asked for http_proxy\n", stderr);
    return next(name);
}

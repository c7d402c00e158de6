#pragma once

#include <thread>

#include <curl/curl.h>

// libcurl, loaded on first use instead of at program start. Linked directly,
// it and the libraries it pulls in (TLS, Kerberos, LDAP, ...) run their
// initialisers before main() and add a noticeable delay to every start;
// loaded here, that work can overlap with building the window
// (preloadCurl) or happen when the first fetch needs it.
struct CurlApi
{
    CURL *(*easy_init)();
    CURLcode (*easy_setopt)(CURL *, CURLoption, ...);
    CURLcode (*easy_perform)(CURL *);
    CURLcode (*easy_getinfo)(CURL *, CURLINFO, ...);
    void (*easy_cleanup)(CURL *);
    const char *(*easy_strerror)(CURLcode);
};

// The loaded and globally initialised library, or null when it cannot be
// loaded. Thread-safe; the first call does the work, every later one waits
// for it.
const CurlApi *curlApi();

// Starts loading the library on a background thread and returns at once. The
// thread is joined when the returned object goes: keep it until the program
// ends, so that the TLS library's clean-up at exit never meets that thread
// half-way through its own set-up or its exit.
std::jthread preloadCurl();

// The easy interface of libcurl, loaded at run time on first use. Only the
// message of the day needs HTTP, and linking libcurl would make every run of
// the client load it and the thirty libraries it depends on.
#pragma once

#include <curl/curl.h>

struct CurlEasyApi {
    decltype(&curl_easy_init) easy_init;
    decltype(&curl_easy_setopt) easy_setopt;
    decltype(&curl_easy_perform) easy_perform;
    decltype(&curl_easy_getinfo) easy_getinfo;
    decltype(&curl_easy_cleanup) easy_cleanup;
};

// The functions of the runtime library, resolved once per process; nullptr
// when the library or one of its functions cannot be loaded.
const CurlEasyApi *curlEasyApi();

// Message of the day: fetch over HTTP with libcurl (loaded when needed),
// cache in the home directory from the password database.
#include "cli/motd.h"

#include "cli/libcurl.h"

#include <cstdio>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <pwd.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

// The endpoint is a build setting (CMake cache variable VORN_MOTD_URL).
#ifndef VORN_MOTD_URL
#error "VORN_MOTD_URL must name the message-of-the-day URL"
#endif

static const char *motd_url = VORN_MOTD_URL;
static const char *motd_cache_file = "/.vorn-cli-motd";

// A cached message is used while it is younger than four hours.
static const time_t MOTD_CACHE_MAX_AGE = 14399;
// Seconds for the whole transfer, name resolution included.
static const long MOTD_TIMEOUT = 2;

// The cache file: home directory of the real user from the password database
// (HOME is deliberately not consulted), or the empty string when there is no
// entry or it names no home, which makes every cache operation fail quietly.
static const std::string &motdCachePath() {
    static const std::string szMotdCachePath = [] {
        struct passwd *pw = getpwuid(getuid());
        if (pw == nullptr || pw->pw_dir == nullptr || pw->pw_dir[0] == '\0') return std::string();
        return std::string(pw->pw_dir) + motd_cache_file;
    }();
    return szMotdCachePath;
}

size_t motd_write_callback(char *data, size_t size, size_t nmemb, void *userdata) {
    hisds *msg = static_cast<hisds *>(userdata);
    if (size != 0 && nmemb > MOTD_MAX_SIZE / size) return 0;
    size_t len = size * nmemb;
    if (hi_sdslen(*msg) + len > MOTD_MAX_SIZE) return 0;
    hisds grown = hi_sdscatlen(*msg, data, len);
    if (grown == nullptr) return 0;
    *msg = grown;
    return len;
}

// The cached message when the cache file is a regular file young enough and
// can be read whole; nullptr otherwise.
static hisds readCachedMOTD(const std::string &path) {
    struct stat st;
    if (path.empty() || stat(path.c_str(), &st) != 0) return nullptr;
    if (!S_ISREG(st.st_mode) || time(nullptr) - st.st_mtime > MOTD_CACHE_MAX_AGE) return nullptr;

    FILE *fp = fopen(path.c_str(), "rb");
    if (fp == nullptr) return nullptr;
    hisds msg = nullptr;
    long size;
    if (fseek(fp, 0, SEEK_END) == 0 && (size = ftell(fp)) >= 0 && size <= MOTD_MAX_SIZE &&
        fseek(fp, 0, SEEK_SET) == 0) {
        msg = hi_sdsnewlen(nullptr, static_cast<size_t>(size));
        if (msg != nullptr && fread(msg, 1, static_cast<size_t>(size), fp) != (size_t)size) {
            hi_sdsfree(msg);
            msg = nullptr;
        }
    }
    fclose(fp);
    return msg;
}

// Replaces the cache file with the message up to its first zero byte. The
// text goes to a fresh file beside it that is then renamed over it, so a
// session starting meanwhile, a full disk or a symbolic link at the cache
// path never yields a truncated message or a write elsewhere. Failures leave
// the previous cache as it was.
static void writeCachedMOTD(const std::string &path, const hisds msg) {
    if (path.empty()) return;
    std::string tmp = path + ".XXXXXX";
    int fd = mkstemp(tmp.data());
    if (fd == -1) return;

    // mkstemp creates the file private; give it the mode a plain creation
    // would have.
    mode_t mask = umask(0);
    umask(mask);
    bool ok = fchmod(fd, 0666 & ~mask) == 0;

    // fputs stops at the first zero byte, as the cache keeps the text only.
    FILE *fp = fdopen(fd, "wb");
    if (fp == nullptr) {
        close(fd);
        ok = false;
    } else {
        if (ok && fputs(msg, fp) == EOF) ok = false;
        if (fclose(fp) != 0) ok = false;
    }
    if (!ok || rename(tmp.c_str(), path.c_str()) != 0) unlink(tmp.c_str());
}

// The message from the network, or nullptr when the transfer fails, times
// out, is refused for its size or ends with a status outside 2xx.
static hisds downloadMOTD() {
    // Without the library there is simply no message, as for any failed fetch.
    const CurlEasyApi *api = curlEasyApi();
    if (api == nullptr) return nullptr;
    CURL *curl = api->easy_init();
    if (curl == nullptr) return nullptr;

    hisds msg = hi_sdsempty();
    if (msg == nullptr) {
        api->easy_cleanup(curl);
        return nullptr;
    }
    api->easy_setopt(curl, CURLOPT_URL, motd_url);
    api->easy_setopt(curl, CURLOPT_FOLLOWLOCATION, 1L);
    api->easy_setopt(curl, CURLOPT_TIMEOUT, MOTD_TIMEOUT);
    // The time-out must not rely on SIGALRM around a blocking resolver: the
    // process owns its signal handling.
    api->easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
    api->easy_setopt(curl, CURLOPT_WRITEFUNCTION, motd_write_callback);
    api->easy_setopt(curl, CURLOPT_WRITEDATA, &msg);

    long code = 0;
    CURLcode res = api->easy_perform(curl);
    if (res != CURLE_OK || api->easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &code) != CURLE_OK ||
        code < 200 || code > 299) {
        hi_sdsfree(msg);
        msg = nullptr;
    }
    api->easy_cleanup(curl);
    return msg;
}

hisds fetchMOTD(int cache, int enable_motd) {
    if (!enable_motd) return nullptr;

    if (cache) {
        hisds cached = readCachedMOTD(motdCachePath());
        if (cached != nullptr) return cached;
    }

    hisds msg = downloadMOTD();
    if (msg != nullptr && cache) writeCachedMOTD(motdCachePath(), msg);
    return msg;
}

void freeMOTD(hisds motd) {
    hi_sdsfree(motd);
}

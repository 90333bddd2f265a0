// The -u address parser against a small model of the address rules: every
// accepted address must fill the same scheme, credentials, host, port and
// database, and every rejected one must print the expected message and exit
// with status 1.
//
// Rejection ends the process by design; exit_trap.h turns it into a return
// with the status and the message.
#include <cctype>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>

#include "cli/config.h"
#include "cli/options.h"
#include "exit_trap.h"
#include "hivorn/sds.h"

namespace {

void check(bool ok) {
    if (!ok) abort();
}

struct Expected {
    std::string error; // the message of a rejected address, empty otherwise
    int tls = 0;
    std::optional<std::string> user, auth;
    std::string host = "127.0.0.1";
    int port = 6379;
    int db = 0;
};

int hexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
    return c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
}

bool decode(std::string_view s, std::optional<std::string> &out, std::string &error) {
    std::string d;
    for (size_t i = 0; i < s.size(); i++) {
        if (s[i] != '%') {
            d += s[i];
            continue;
        }
        if (s.size() - i < 3) {
            error = "Incomplete URI encoding\n";
            return false;
        }
        if (hexValue(s[i + 1]) < 0 || hexValue(s[i + 2]) < 0) {
            error = "Illegal character in URI encoding\n";
            return false;
        }
        d += static_cast<char>(hexValue(s[i + 1]) * 16 + hexValue(s[i + 2]));
        i += 2;
    }
    out = d;
    return true;
}

// A port or database: a decimal number with an optional sign and nothing
// else, within its range; otherwise the refusal message naming the text.
bool number(std::string_view s, long long min, long long max, const char *what, int &out,
            std::string &error) {
    size_t i = s.size() > 0 && (s[0] == '+' || s[0] == '-') ? 1 : 0;
    long long v = 0;
    bool ok = i < s.size();
    for (; ok && i < s.size(); i++) {
        ok = isdigit(static_cast<unsigned char>(s[i])) && v < 100000000000LL;
        v = v * 10 + (s[i] - '0');
    }
    if (!s.empty() && s[0] == '-') v = -v;
    if (!ok || v < min || v > max) {
        error = "Invalid value for option -u: '" + std::string(s) + "' (expected " + what + ")\n";
        return false;
    }
    out = static_cast<int>(v);
    return true;
}

bool startsNoCase(std::string_view s, std::string_view prefix) {
    return s.size() >= prefix.size() && strncasecmp(s.data(), prefix.data(), prefix.size()) == 0;
}

Expected model(const std::string &uri) {
    Expected e;
    std::string_view rest(uri);
    if (startsNoCase(rest, "vorns://")) {
        e.tls = 1;
        rest.remove_prefix(8);
    } else if (startsNoCase(rest, "vorn://")) {
        rest.remove_prefix(7);
    } else {
        e.error = "Invalid URI scheme\n";
        return e;
    }
    if (rest.empty()) return e;

    if (size_t at = rest.find('@'); at != rest.npos) {
        size_t colon = rest.find(':');
        std::string_view password = rest.substr(0, at);
        if (colon < at) {
            if (!decode(rest.substr(0, colon), e.user, e.error)) return e;
            password = rest.substr(colon + 1, at - colon - 1);
        }
        if (!decode(password, e.auth, e.error)) return e;
        rest.remove_prefix(at + 1);
    }
    if (rest.empty()) return e;

    size_t slash = rest.find('/');
    if (rest[0] != '/') {
        std::string_view host = rest.substr(0, slash);
        std::optional<std::string_view> port;
        if (host[0] == '[') {
            size_t close = host.find(']');
            if (close == host.npos || (close + 1 < host.size() && host[close + 1] != ':')) {
                e.error = "Invalid IPv6 address in URI\n";
                return e;
            }
            if (close + 1 < host.size()) port = host.substr(close + 2);
            host = host.substr(1, close - 1);
        } else if (size_t colon = host.find(':'); colon != host.npos) {
            port = host.substr(colon + 1);
            host = host.substr(0, colon);
        }
        if (port && !number(*port, 1, 65535, "a port, 1-65535", e.port, e.error)) return e;
        e.host = host;
    }
    if (slash != rest.npos && slash + 1 < rest.size() &&
        !number(rest.substr(slash + 1), 0, 2147483647, "a database number, 0-2147483647", e.db,
                e.error))
        return e;
    return e;
}

std::optional<std::string> field(const char *s) {
    if (s == nullptr) return std::nullopt;
    return std::string(s, hi_sdslen(const_cast<char *>(s)));
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    // The credentials of the last address are released before the leak
    // check at exit, which would otherwise find them once the list that
    // holds them went away.
    cliConfigSetDefaults();
    atexit([] { cliConfigSetDefaults(); });
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    std::string uri(reinterpret_cast<const char *>(data), size);
    uri.resize(strlen(uri.c_str())); // an argument ends at its first NUL
    Expected want = model(uri);

    cliConfigSetDefaults();
    std::string message;
    int status = exit_trap::run([&] { parseVornUri(uri.c_str()); }, message);

    if (!want.error.empty()) {
        check(status == 1 && message == want.error);
    } else {
        check(status == -1 && message.empty());
        check(config.tls == want.tls && field(config.user) == want.user &&
              field(config.auth) == want.auth);
        check(field(config.hostip) == want.host && config.hostport == want.port &&
              config.input_dbnum == want.db);
    }
    return 0;
}

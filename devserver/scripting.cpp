// EVAL, EVALSHA and SCRIPT: Lua scripts run in the server's one interpreter
// with KEYS, ARGV and the `vorn` table (call, pcall, error_reply,
// status_reply, sha1hex, debug, breakpoint). Replies become Lua values and
// back as follows: integer <-> number (floats truncated), bulk <-> string,
// array <-> table (up to the first nil), status <-> {ok=...},
// error <-> {err=...}, nil -> false, true -> 1, false / nil -> nil.
#include "scripting.h"

#include <climits>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <unordered_map>

#include <openssl/evp.h>

namespace dev {

static std::unordered_map<std::string, std::string> g_scripts; // sha -> body

ScriptRun *&currentRun() {
    static ScriptRun *run = nullptr;
    return run;
}

std::string sha1hex(const std::string &s) {
    unsigned char md[EVP_MAX_MD_SIZE];
    unsigned int len = 0;
    EVP_Digest(s.data(), s.size(), md, &len, EVP_sha1(), nullptr);
    static const char *hex = "0123456789abcdef";
    std::string r;
    for (unsigned i = 0; i < len; i++) {
        r += hex[md[i] >> 4];
        r += hex[md[i] & 15];
    }
    return r;
}

long long scriptDeadline() {
    long long ms = 5000;
    auto it = srv.config.find("lua-time-limit");
    if (it != srv.config.end() && (!toLL(it->second, ms) || ms <= 0)) ms = 5000;
    return nowMs() + ms;
}

// ---- replies to Lua and back ----

// One reply of a VOSP2 byte string, decoded; the server's own writer made
// the bytes, so they are well formed.
struct RVal {
    char type; // + - : $ *  ('_' for a nil bulk or array)
    std::string s;
    long long n = 0;
    std::vector<RVal> items;
};

static RVal parseReply(const std::string &b, size_t &pos) {
    RVal v;
    v.type = b[pos];
    size_t eol = b.find("\r\n", pos);
    std::string line = b.substr(pos + 1, eol - pos - 1);
    pos = eol + 2;
    switch (v.type) {
    case '+':
    case '-':
        v.s = line;
        break;
    case ':':
        toLL(line, v.n);
        break;
    case '$':
        toLL(line, v.n);
        if (v.n < 0) {
            v.type = '_';
            break;
        }
        v.s = b.substr(pos, size_t(v.n));
        pos += size_t(v.n) + 2;
        break;
    default: // aggregates of any kind
        toLL(line, v.n);
        if (v.n < 0) {
            v.type = '_';
            break;
        }
        v.type = '*';
        for (long long i = 0; i < v.n; i++)
            v.items.push_back(parseReply(b, pos));
        break;
    }
    return v;
}

static void pushRVal(lua_State *L, const RVal &v) {
    if (!lua_checkstack(L, 4))
        return lua_pushboolean(L, 0); // cannot happen: our replies are shallow
    switch (v.type) {
    case '+':
        lua_newtable(L);
        lua_pushlstring(L, v.s.data(), v.s.size());
        lua_setfield(L, -2, "ok");
        break;
    case '-':
        lua_newtable(L);
        lua_pushlstring(L, v.s.data(), v.s.size());
        lua_setfield(L, -2, "err");
        break;
    case ':':
        lua_pushinteger(L, v.n);
        break;
    case '$':
        lua_pushlstring(L, v.s.data(), v.s.size());
        break;
    case '*':
        lua_createtable(L, int(v.items.size()), 0);
        for (size_t i = 0; i < v.items.size(); i++) {
            pushRVal(L, v.items[i]);
            lua_rawseti(L, -2, lua_Integer(i + 1));
        }
        break;
    default:
        lua_pushboolean(L, 0);
    }
}

static std::string rvalText(const RVal &v) {
    switch (v.type) {
    case '+':
        return "+" + v.s;
    case '-':
        return "-" + v.s;
    case ':':
        return ":" + std::to_string(v.n);
    case '$':
        return quoteArg(v.s);
    case '*': {
        std::string r = "[";
        for (size_t i = 0; i < v.items.size(); i++)
            r += (i ? "," : "") + rvalText(v.items[i]);
        return r + "]";
    }
    default:
        return "NULL";
    }
}

std::string replyText(const std::string &bytes) {
    size_t pos = 0;
    std::string r;
    while (pos < bytes.size())
        r += (r.empty() ? "" : " ") + rvalText(parseReply(bytes, pos));
    return r;
}

static const int kMaxReplyDepth = 64;

static void toReply(lua_State *L, int idx, ReplyWriter &w, int depth) {
    idx = lua_absindex(L, idx);
    switch (lua_type(L, idx)) {
    case LUA_TNUMBER: {
        if (lua_isinteger(L, idx)) return w.integer(lua_tointeger(L, idx));
        double d = lua_tonumber(L, idx);
        // Out of range (or NaN): there is no integer to give.
        if (!(d > -9.2e18 && d < 9.2e18)) return w.integer(d > 0 ? LLONG_MAX : LLONG_MIN);
        return w.integer((long long)d);
    }
    case LUA_TSTRING: {
        size_t n;
        const char *s = lua_tolstring(L, idx, &n);
        return w.bulk(std::string_view(s, n));
    }
    case LUA_TBOOLEAN:
        if (lua_toboolean(L, idx)) return w.integer(1);
        return w.null();
    case LUA_TTABLE: {
        if (depth >= kMaxReplyDepth || !lua_checkstack(L, 4))
            return w.error("ERR reached the nesting limit while converting a script reply");
        // Raw reads: a metamethod could raise an error where none may be.
        lua_pushliteral(L, "err");
        lua_rawget(L, idx);
        if (lua_type(L, -1) == LUA_TSTRING) {
            std::string e = lua_tostring(L, -1);
            lua_pop(L, 1);
            return w.error(e);
        }
        lua_pop(L, 1);
        lua_pushliteral(L, "ok");
        lua_rawget(L, idx);
        if (lua_type(L, -1) == LUA_TSTRING) {
            std::string s = lua_tostring(L, -1);
            lua_pop(L, 1);
            return w.status(s);
        }
        lua_pop(L, 1);
        size_t n = 0;
        for (;; n++) {
            int t = lua_rawgeti(L, idx, lua_Integer(n + 1));
            lua_pop(L, 1);
            if (t == LUA_TNIL) break;
        }
        w.array(n);
        for (size_t i = 0; i < n; i++) {
            lua_rawgeti(L, idx, lua_Integer(i + 1));
            toReply(L, -1, w, depth + 1);
            lua_pop(L, 1);
        }
        return;
    }
    default:
        return w.null();
    }
}

void luaToReply(lua_State *L, int idx, ReplyWriter &w) {
    toReply(L, idx, w, 0);
}

// An error text carries a code word ("ERR", "WRONGTYPE", ...); a plain
// message gets "ERR".
static std::string withCode(std::string s) {
    size_t sp = s.find(' ');
    std::string word = s.substr(0, sp);
    bool code = !word.empty() && word[0] >= 'A' && word[0] <= 'Z';
    for (char ch : word)
        code = code && ((ch >= 'A' && ch <= 'Z') || ch == '_' || (ch >= '0' && ch <= '9'));
    return code ? s : "ERR " + s;
}

std::string scriptErrorText(lua_State *L, int idx) {
    idx = lua_absindex(L, idx);
    if (lua_type(L, idx) == LUA_TTABLE) {
        lua_pushliteral(L, "err");
        lua_rawget(L, idx);
        std::string e = lua_type(L, -1) == LUA_TSTRING ? lua_tostring(L, -1) : "";
        lua_pop(L, 1);
        if (!e.empty()) return withCode(e);
    }
    if (lua_isstring(L, idx)) return withCode(lua_tostring(L, idx)); // numbers too
    return "ERR user_script: the script raised an error that is not a message";
}

// ---- vorn.* ----

static bool deniedInScripts(const Command &cmd) {
    static const char *const names[] = {"eval",     "evalsha", "script",  "multi",   "exec",
                                        "discard",  "watch",   "unwatch", "sync",    "psync",
                                        "replconf", "monitor", "quit",    "reset",   "hello",
                                        "auth",     "client",  "devhook", "shutdown"};
    for (const char *n : names)
        if (strcmp(cmd.name, n) == 0) return true;
    return (cmd.flags & F_PUBSUB) != 0;
}

bool scriptCommand(lua_State *L, ScriptRun &run, const Args &a, std::string *raw) {
    Client &f = *run.fake;
    auto fail = [&](const std::string &text) {
        lua_newtable(L);
        lua_pushlstring(L, text.data(), text.size());
        lua_setfield(L, -2, "err");
        if (raw) *raw = "-" + text + "\r\n";
        return false;
    };
    if (a.empty()) return fail("ERR Please specify at least one argument for this call");
    const Command *cmd = lookupCommand(a[0]);
    if (!cmd) return fail("ERR Unknown command called from script");
    if ((cmd->arity > 0 && int(a.size()) != cmd->arity) ||
        (cmd->arity < 0 && int(a.size()) < -cmd->arity))
        return fail("ERR Wrong number of args calling command from script");
    if (deniedInScripts(*cmd)) return fail("ERR This command is not allowed from script");
    f.out.buf.clear();
    Args args = a;
    callCommand(f, *cmd, args);
    std::string bytes = std::move(f.out.buf);
    f.out.buf.clear();
    if (raw) *raw = bytes;
    if (bytes.empty()) return fail("ERR the command sent no reply");
    size_t pos = 0;
    RVal v = parseReply(bytes, pos);
    pushRVal(L, v);
    return v.type != '-';
}

static std::string callerLine(lua_State *L) {
    lua_Debug ar;
    if (lua_getstack(L, 1, &ar) && lua_getinfo(L, "Sl", &ar) && ar.currentline > 0)
        return std::string(ar.short_src) + ":" + std::to_string(ar.currentline);
    return "?";
}

// Lua raises errors with longjmp, which would skip the destructors of C++
// objects: the functions Lua calls do their work in a function of their own
// and raise only once it has returned. Results: the number of values pushed,
// or -1 with the error object pushed.
static int vornCallWork(lua_State *L, bool raise) {
    ScriptRun *run = currentRun();
    if (!run) {
        lua_pushliteral(L, "vorn.call used outside a script");
        return -1;
    }
    Args a;
    for (int i = 1, n = lua_gettop(L); i <= n; i++) {
        int t = lua_type(L, i);
        if (t != LUA_TSTRING && t != LUA_TNUMBER) {
            luaL_where(L, 1);
            lua_pushliteral(L, "Lua vorn lib command arguments must be strings or integers");
            lua_concat(L, 2);
            return -1;
        }
        size_t len;
        const char *p = lua_tolstring(L, i, &len);
        a.emplace_back(p, len);
    }
    std::string raw;
    bool ok = scriptCommand(L, *run, a, &raw);
    if (run->ldb) {
        std::string line = "<vorn>";
        for (auto &w : a)
            line += " " + w;
        ldbLog(*run->ldb, line);
        ldbLog(*run->ldb, "<reply> " + replyText(raw));
    }
    if (ok || !raise) return 1;
    // Name the script line that made the failing call.
    lua_pushliteral(L, "err");
    lua_rawget(L, -2);
    std::string e = lua_tostring(L, -1);
    lua_pop(L, 1);
    e += " script: " + run->sha + ", on @" + callerLine(L) + ".";
    lua_pushlstring(L, e.data(), e.size());
    lua_setfield(L, -2, "err");
    return -1;
}

static int vornCallGeneric(lua_State *L, bool raise) {
    int n = vornCallWork(L, raise);
    return n < 0 ? lua_error(L) : n;
}
static int vornCall(lua_State *L) {
    return vornCallGeneric(L, true);
}
static int vornPcall(lua_State *L) {
    return vornCallGeneric(L, false);
}

static int replyTable(lua_State *L, const char *field) {
    size_t n;
    const char *s = luaL_checklstring(L, 1, &n);
    lua_newtable(L);
    lua_pushlstring(L, s, n);
    lua_setfield(L, -2, field);
    return 1;
}
static int vornErrorReply(lua_State *L) {
    return replyTable(L, "err");
}
static int vornStatusReply(lua_State *L) {
    return replyTable(L, "ok");
}
static int vornSha1hex(lua_State *L) {
    size_t n;
    const char *s = luaL_checklstring(L, 1, &n);
    std::string h = sha1hex(std::string(s, n));
    lua_pushstring(L, h.c_str());
    return 1;
}
// Shows its arguments without metamethods, which could raise errors.
static int vornDebug(lua_State *L) {
    ScriptRun *run = currentRun();
    if (!run || !run->ldb) return 0;
    std::string where = callerLine(L);
    std::string line = "<debug> line " + where.substr(where.rfind(':') + 1) + ":";
    for (int i = 1; i <= lua_gettop(L); i++) {
        std::string v;
        int t = lua_type(L, i);
        if (t == LUA_TSTRING || t == LUA_TNUMBER) {
            size_t n;
            lua_pushvalue(L, i);
            const char *p = lua_tolstring(L, -1, &n);
            v.assign(p, n);
            lua_pop(L, 1);
        } else if (t == LUA_TBOOLEAN) {
            v = lua_toboolean(L, i) ? "true" : "false";
        } else {
            v = std::string("<") + luaL_typename(L, i) + ">";
        }
        line += (i > 1 ? ", " : " ") + v;
    }
    ldbLog(*run->ldb, line);
    return 0;
}
static int vornBreakpoint(lua_State *L) {
    ScriptRun *run = currentRun();
    if (run && run->ldb) ldbBreakNext(*run->ldb);
    lua_pushboolean(L, run && run->ldb);
    return 1;
}
static int noop(lua_State *) {
    return 0;
}

void scriptHook(lua_State *L, lua_Debug *ar) {
    ScriptRun *run = currentRun();
    if (!run) return;
    if (ar->event == LUA_HOOKCOUNT) {
        if (nowMs() <= run->deadline) return;
        {
            // Level 0 in a hook is the script function itself: name its line.
            lua_Debug d;
            std::string where;
            if (lua_getstack(L, 0, &d) && lua_getinfo(L, "Sl", &d) && d.currentline > 0)
                where = std::string(d.short_src) + ":" + std::to_string(d.currentline) + ": ";
            where += "Script killed: it ran longer than lua-time-limit";
            lua_pushlstring(L, where.data(), where.size());
        }
        lua_error(L); // after the strings above are gone
        return;
    }
    if (ar->event == LUA_HOOKLINE && run->ldb) ldbLineHook(L, ar);
}

// The interpreter's memory. While a script runs (and only then: the server's
// own pushes outside a protected call must never fail) it may hold at most
// kScriptMemory bytes, so that string.rep('x', 2^40) is an error of that
// script rather than the end of the process.
static const size_t kScriptMemory = size_t(512) << 20;
static size_t g_lua_bytes = 0;
static bool g_lua_limited = false;

static void *luaAlloc(void *, void *ptr, size_t osize, size_t nsize) {
    if (!ptr) osize = 0; // then osize is a type tag, not a size
    if (nsize == 0) {
        free(ptr);
        g_lua_bytes -= osize;
        return nullptr;
    }
    if (g_lua_limited && nsize > osize &&
        (g_lua_bytes >= kScriptMemory || nsize - osize > kScriptMemory - g_lua_bytes))
        return nullptr;
    void *p = realloc(ptr, nsize);
    if (p) g_lua_bytes = g_lua_bytes - osize + nsize;
    return p;
}

static int luaPanic(lua_State *L) {
    const char *m = lua_tostring(L, -1);
    fprintf(stderr, "vorn-devserver: Lua error outside a script: %s\n", m ? m : "?");
    return 0; // Lua aborts
}

int scriptPcall(lua_State *L, int nargs, int nresults) {
    bool was = g_lua_limited;
    g_lua_limited = true;
    int rc = lua_pcall(L, nargs, nresults, 0);
    g_lua_limited = was;
    return rc;
}

int scriptResume(lua_State *co, lua_State *from, int *nres) {
    bool was = g_lua_limited;
    g_lua_limited = true;
    int rc = lua_resume(co, from, 0, nres);
    g_lua_limited = was;
    return rc;
}

// Lua code run once at start: `load` takes text only (precompiled chunks
// are not checked by the interpreter and could corrupt it), and without
// string.dump there is nothing to make them from.
static const char kSandbox[] = R"(
local load, select = load, select
_G.load = function(chunk, name, mode, ...)
  if select('#', ...) > 0 then return load(chunk, name, 't', ...) end
  return load(chunk, name, 't')
end
string.dump = nil
)";

// The interpreter lives as long as the process; scripts get the base,
// table, string, math and utf8 libraries, without file access.
lua_State *scriptState() {
    struct Holder {
        lua_State *L;
        Holder() : L(lua_newstate(luaAlloc, nullptr)) {
            if (!L) {
                fprintf(stderr, "vorn-devserver: cannot create the Lua interpreter\n");
                abort();
            }
            lua_atpanic(L, luaPanic);
            static const luaL_Reg libs[] = {{LUA_GNAME, luaopen_base},
                                            {LUA_TABLIBNAME, luaopen_table},
                                            {LUA_STRLIBNAME, luaopen_string},
                                            {LUA_MATHLIBNAME, luaopen_math},
                                            {LUA_UTF8LIBNAME, luaopen_utf8}};
            for (auto &l : libs) {
                luaL_requiref(L, l.name, l.func, 1);
                lua_pop(L, 1);
            }
            for (const char *g : {"dofile", "loadfile"}) {
                lua_pushnil(L);
                lua_setglobal(L, g);
            }
            lua_pushcfunction(L, noop); // the server has no log to print to
            lua_setglobal(L, "print");
            static const luaL_Reg vorn[] = {{"call", vornCall},
                                            {"pcall", vornPcall},
                                            {"error_reply", vornErrorReply},
                                            {"status_reply", vornStatusReply},
                                            {"sha1hex", vornSha1hex},
                                            {"debug", vornDebug},
                                            {"breakpoint", vornBreakpoint},
                                            {nullptr, nullptr}};
            luaL_newlib(L, vorn);
            lua_setglobal(L, "vorn");
            if (luaL_loadstring(L, kSandbox) != LUA_OK || lua_pcall(L, 0, 0, 0) != LUA_OK) {
                fprintf(stderr, "vorn-devserver: %s\n", lua_tostring(L, -1));
                abort();
            }
        }
        ~Holder() { lua_close(L); }
    };
    static Holder h;
    return h.L;
}

static void pushStrings(lua_State *L, const Args &v) {
    lua_createtable(L, int(v.size()), 0);
    for (size_t i = 0; i < v.size(); i++) {
        lua_pushlstring(L, v[i].data(), v[i].size());
        lua_rawseti(L, -2, lua_Integer(i + 1));
    }
}

bool loadScript(lua_State *L, const std::string &body, const Args &keys, const Args &argv,
                std::string &err) {
    // Text only: precompiled chunks could break the interpreter.
    if (luaL_loadbufferx(L, body.data(), body.size(), "@user_script", "t") != LUA_OK) {
        err = "ERR Error compiling script (new function): " + std::string(lua_tostring(L, -1));
        lua_pop(L, 1);
        return false;
    }
    lua_newtable(L); // the run's own environment
    pushStrings(L, keys);
    lua_setfield(L, -2, "KEYS");
    pushStrings(L, argv);
    lua_setfield(L, -2, "ARGV");
    lua_newtable(L);
    lua_pushglobaltable(L);
    lua_setfield(L, -2, "__index");
    lua_setmetatable(L, -2);
    lua_setupvalue(L, -2, 1); // _ENV
    return true;
}

// Splits EVAL's arguments into keys and ordinary arguments; false after an
// error reply.
static bool splitKeys(Client &c, Args &a, Args &keys, Args &argv) {
    long long n;
    if (!toLL(a[2], n)) {
        c.out.error(kNotInt);
        return false;
    }
    if (n < 0) {
        c.out.error("ERR Number of keys can't be negative");
        return false;
    }
    if (n > (long long)a.size() - 3) {
        c.out.error("ERR Number of keys can't be greater than number of args");
        return false;
    }
    keys.assign(a.begin() + 3, a.begin() + 3 + n);
    argv.assign(a.begin() + 3 + n, a.end());
    return true;
}

static void runScript(Client &c, const std::string &body, const std::string &sha, const Args &keys,
                      const Args &argv) {
    if (ldbArmed(c) && !c.in_multi && !c.in_exec) return ldbStart(c, body, sha, keys, argv);
    lua_State *L = scriptState();
    std::string err;
    if (!loadScript(L, body, keys, argv, err)) return c.out.error(err);
    Client fake;
    fake.addr = "lua";
    fake.authed = true;
    fake.db = c.db;
    ScriptRun run;
    run.fake = &fake;
    run.sha = sha;
    run.deadline = scriptDeadline();
    currentRun() = &run;
    lua_sethook(L, scriptHook, LUA_MASKCOUNT, 10000);
    int rc = scriptPcall(L, 0, 1);
    lua_sethook(L, nullptr, 0, 0);
    currentRun() = nullptr;
    if (rc != LUA_OK)
        c.out.error(scriptErrorText(L, -1));
    else
        luaToReply(L, -1, c.out);
    lua_pop(L, 1);
}

static void evalCmd(Client &c, Args &a) {
    Args keys, argv;
    if (!splitKeys(c, a, keys, argv)) return;
    std::string sha = sha1hex(a[1]);
    g_scripts.emplace(sha, a[1]);
    runScript(c, a[1], sha, keys, argv);
}

static void evalshaCmd(Client &c, Args &a) {
    Args keys, argv;
    if (!splitKeys(c, a, keys, argv)) return;
    auto it = g_scripts.find(lower(a[1]));
    if (it == g_scripts.end()) return c.out.error("NOSCRIPT No matching script. Please use EVAL.");
    std::string body = it->second, sha = it->first; // the cache may change meanwhile
    runScript(c, body, sha, keys, argv);
}

static void scriptCmd(Client &c, Args &a) {
    std::string sub = lower(a[1]);
    if (sub == "load" && a.size() == 3) {
        lua_State *L = scriptState();
        if (luaL_loadbufferx(L, a[2].data(), a[2].size(), "@user_script", "t") != LUA_OK) {
            std::string e = lua_tostring(L, -1);
            lua_pop(L, 1);
            return c.out.error("ERR Error compiling script (new function): " + e);
        }
        lua_pop(L, 1);
        std::string sha = sha1hex(a[2]);
        g_scripts.emplace(sha, a[2]);
        return c.out.bulk(sha);
    }
    if (sub == "exists" && a.size() >= 3) {
        c.out.array(a.size() - 2);
        for (size_t i = 2; i < a.size(); i++)
            c.out.integer(g_scripts.count(lower(a[i])) ? 1 : 0);
        return;
    }
    if (sub == "flush" && a.size() <= 3) {
        if (a.size() == 3 && !ieq(a[2], "async") && !ieq(a[2], "sync")) return c.out.error(kSyntax);
        g_scripts.clear();
        return c.out.ok();
    }
    if (sub == "debug" && a.size() == 3) return scriptDebugCmd(c, lower(a[2]));
    if (sub == "kill" && a.size() == 2)
        return c.out.error("NOTBUSY No scripts in execution right now.");
    if (sub == "help" && a.size() == 2)
        return c.out.bulks(
            {"SCRIPT <subcommand> [<arg> ...]. Subcommands are:", "DEBUG (YES|SYNC|NO)",
             "    Debug the next EVAL of this connection.", "EXISTS <sha1> [<sha1> ...]",
             "    1 for each cached script, else 0.", "FLUSH [ASYNC|SYNC]",
             "    Empty the script cache.", "KILL", "    Nothing runs long here: answers NOTBUSY.",
             "LOAD <script>", "    Cache a script; answers its SHA1 digest."});
    c.out.error("ERR unknown subcommand or wrong number of arguments for '" + a[1] +
                "'. Try SCRIPT HELP.");
}

void registerScriptingCommands(std::vector<Command> &t) {
    static const Command cmds[] = {
        {"eval", -3, F_DENYOOM, 0, 0, 0, evalCmd},
        {"evalsha", -3, F_DENYOOM, 0, 0, 0, evalshaCmd},
        {"script", -2, 0, 0, 0, 0, scriptCmd},
    };
    registerCommands(t, cmds, std::size(cmds));
}

} // namespace dev

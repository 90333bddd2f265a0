// The script debugger: SCRIPT DEBUG yes|sync|no arms it for the next EVAL of
// the connection, which then runs as a Lua coroutine that a line hook
// suspends wherever the user wants to stop. While a session waits for its
// next command the server goes on serving everyone else; the connection's
// commands go to the debugger (ldbIntercept) until the script ends.
//
// Every answer is one array of status lines; the last one of a session is
// "<endsession>", followed by the script's own reply. With "yes" the script
// works on a copy of the key space taken when it starts, as a forked child
// would, so its writes are rolled back at the end and never replicated; with
// "sync" it works on the key space itself and its writes stay.
#include "scripting.h"

#include <cstring>
#include <set>

namespace dev {

struct ScriptDebug {
    bool sync = false;
    bool running = false;
    lua_State *co = nullptr;
    int co_ref = LUA_NOREF;
    std::vector<std::string> lines; // the source, for listings
    std::set<int> code_lines;       // lines a stop can happen on
    std::set<int> breakpoints;
    enum Mode { STEP, NEXT, CONTINUE } mode = STEP;
    int depth = 0, next_depth = 0; // call depth at the stop / where 'next' began
    bool break_next = false;
    int current = 0;
    std::vector<std::string> log;       // lines of the next answer
    size_t dropped = 0, dropped_at = 0; // lines left out of it, and where
    int env_ref = LUA_NOREF;            // the script's environment, for eval
    // The local variables at the stop, shown as values: taken in the hook,
    // where the frame's position still covers the line just finished.
    std::vector<std::pair<std::string, std::string>> locals;
    Client fake;
    ScriptRun run;
    std::vector<Db> dbs; // "yes": the session's key space while it is not running

    ~ScriptDebug() {
        if (co_ref != LUA_NOREF) luaL_unref(scriptState(), LUA_REGISTRYINDEX, co_ref);
        if (env_ref != LUA_NOREF) luaL_unref(scriptState(), LUA_REGISTRYINDEX, env_ref);
    }
};

// An answer stays readable (and the server's memory bounded) whatever the
// script does: a line is cut at kMaxLine bytes, and of the lines a running
// script logs (vorn.call, vorn.debug) one answer keeps the first
// kMaxLogLines. The lines of a stop and of the end are always kept.
// A value shows its first kMaxValue bytes, so that its line is not cut.
static const size_t kMaxLine = 4096, kMaxLogLines = 10000, kMaxValue = 2048;

static void logAlways(ScriptDebug &s, std::string line) {
    if (line.size() > kMaxLine) {
        line.resize(kMaxLine);
        line += " ...";
    }
    s.log.push_back(std::move(line));
}

void ldbLog(ScriptDebug &s, std::string line) {
    if (s.log.size() >= kMaxLogLines) {
        if (s.dropped++ == 0) s.dropped_at = s.log.size();
        return;
    }
    logAlways(s, std::move(line));
}
void ldbBreakNext(ScriptDebug &s) {
    s.break_next = true;
}

bool ldbArmed(const Client &c) {
    return c.ldb && !c.ldb->running;
}

void scriptDebugCmd(Client &c, const std::string &mode) {
    if (mode == "no") {
        c.ldb.reset();
        return c.out.ok();
    }
    if (mode != "yes" && mode != "sync") return c.out.error("ERR Use SCRIPT DEBUG YES/SYNC/NO");
    c.ldb = std::make_shared<ScriptDebug>();
    c.ldb->sync = mode == "sync";
    c.out.ok();
}

// Swaps the session's key space in ("yes") and makes it the current run, for
// as long as the script or a debugger command works.
class SessionScope {
  public:
    explicit SessionScope(ScriptDebug &s) : s_(s) {
        if (!s_.sync) srv.dbs.swap(s_.dbs);
        s_.run.deadline = scriptDeadline();
        currentRun() = &s_.run;
    }
    ~SessionScope() {
        currentRun() = nullptr;
        if (!s_.sync) srv.dbs.swap(s_.dbs);
    }
    SessionScope(const SessionScope &) = delete;
    SessionScope &operator=(const SessionScope &) = delete;

  private:
    ScriptDebug &s_;
};

static std::vector<Db> copyKeyspace() {
    std::vector<Db> copy(srv.dbs.size());
    for (size_t i = 0; i < srv.dbs.size(); i++)
        for (auto &k : srv.dbs[i].allKeys()) {
            Entry *e = srv.dbs[i].find(k);
            if (!e) continue;
            Entry &n = copy[i].set(k, e->v);
            if (e->expire >= 0) setExpire(copy[i], k, n, e->expire);
        }
    return copy;
}

// A source line as listings show it: "-> " marks the current line, "  #" a
// breakpoint, "->#" both; the line number starts at the fourth character.
static std::string sourceLine(const ScriptDebug &s, int n) {
    bool cur = n == s.current, bp = s.breakpoints.count(n) > 0;
    const char *mark = cur && bp ? "->#" : cur ? "-> " : bp ? "  #" : "   ";
    char num[16];
    snprintf(num, sizeof num, "%-3d ", n);
    const std::string &text = n >= 1 && size_t(n) <= s.lines.size() ? s.lines[size_t(n - 1)] : "";
    return mark + std::string(num) + text;
}

static void sendLog(Client &c, ScriptDebug &s) {
    if (s.dropped)
        s.log.insert(s.log.begin() + long(s.dropped_at),
                     "<hint> " + std::to_string(s.dropped) + " more lines not shown.");
    s.dropped = 0;
    c.out.array(s.log.size());
    for (auto &l : s.log)
        c.out.status(l);
    s.log.clear();
}

static void endSession(Client &c, ScriptDebug &s, const std::string &final_reply) {
    logAlways(s, "<endsession>");
    sendLog(c, s);
    c.out.raw(final_reply);
    c.ldb.reset(); // "yes": the session's copy of the key space goes with it
}

// ---- values as the debugger shows them ----
static std::string repr(lua_State *L, int idx, int depth) {
    idx = lua_absindex(L, idx);
    switch (lua_type(L, idx)) {
    case LUA_TNIL:
        return "nil";
    case LUA_TBOOLEAN:
        return lua_toboolean(L, idx) ? "true" : "false";
    case LUA_TNUMBER: {
        if (lua_isinteger(L, idx)) return std::to_string(lua_tointeger(L, idx));
        char b[32];
        snprintf(b, sizeof b, "%.17g", lua_tonumber(L, idx));
        return b;
    }
    case LUA_TSTRING: {
        size_t n;
        const char *p = lua_tolstring(L, idx, &n);
        if (n > kMaxValue) return quoteArg(std::string_view(p, kMaxValue)) + "...";
        return quoteArg(std::string_view(p, n));
    }
    case LUA_TTABLE: {
        if (depth >= 4 || !lua_checkstack(L, 4)) return "{...}";
        std::string r = "{";
        lua_Integer n = 0;
        while (lua_rawgeti(L, idx, n + 1) != LUA_TNIL) {
            r += (n ? "; " : "") + repr(L, -1, depth + 1);
            lua_pop(L, 1);
            n++;
            // A big table shows its beginning only.
            if (r.size() > kMaxValue) return r + "; ...}";
        }
        lua_pop(L, 1);
        bool first = n == 0;
        lua_pushnil(L);
        while (lua_next(L, idx)) {
            if (r.size() > kMaxValue) {
                lua_pop(L, 2);
                return r + "; ...}";
            }
            bool seq =
                lua_isinteger(L, -2) && lua_tointeger(L, -2) >= 1 && lua_tointeger(L, -2) <= n;
            if (!seq) {
                // A copy of the key: repr converts numbers in place, which
                // would confuse lua_next.
                lua_pushvalue(L, -2);
                std::string k = lua_type(L, -1) == LUA_TSTRING ? lua_tostring(L, -1)
                                                               : "[" + repr(L, -1, depth + 1) + "]";
                lua_pop(L, 1);
                r += (first ? "" : "; ") + k + "=" + repr(L, -1, depth + 1);
                first = false;
            }
            lua_pop(L, 1);
        }
        return r + "}";
    }
    default:
        return std::string("<") + luaL_typename(L, idx) + ">";
    }
}

static int callDepth(lua_State *L) {
    lua_Debug ar;
    int d = 0;
    while (lua_getstack(L, d, &ar))
        d++;
    return d;
}

void ldbLineHook(lua_State *L, lua_Debug *ar) {
    ScriptDebug &s = *currentRun()->ldb;
    if (!lua_getinfo(L, "S", ar) || strcmp(ar->source, "@user_script") != 0) return;
    int line = ar->currentline, depth = callDepth(L);
    const char *reason = nullptr;
    if (s.break_next)
        reason = "vorn.breakpoint() called";
    else if (s.breakpoints.count(line))
        reason = "break point";
    else if (s.mode == ScriptDebug::STEP || (s.mode == ScriptDebug::NEXT && depth <= s.next_depth))
        reason = "step over";
    // Inside a Lua function called from C (a sort comparator, a gsub
    // callback) the coroutine cannot be suspended: run through.
    if (!reason || !lua_isyieldable(L)) return;
    s.break_next = false;
    s.locals.clear();
    lua_Debug frame;
    if (lua_getstack(L, 0, &frame))
        for (int i = 1;; i++) {
            const char *name = lua_getlocal(L, &frame, i);
            if (!name) break;
            if (name[0] != '(') s.locals.push_back({name, repr(L, -1, 0)});
            lua_pop(L, 1);
        }
    s.current = line;
    s.depth = depth;
    logAlways(s, "* Stopped at " + std::to_string(line) + ", stop reason = " + reason);
    logAlways(s, sourceLine(s, line));
    lua_yield(L, 0);
}

// Runs the script until its next stop or its end and answers.
static void resume(Client &c) {
    std::shared_ptr<ScriptDebug> keep = c.ldb;
    ScriptDebug &s = *keep;
    int nres = 0, rc;
    {
        SessionScope scope(s);
        rc = scriptResume(s.co, scriptState(), &nres);
    }
    if (rc == LUA_YIELD) return sendLog(c, s);
    ReplyWriter w;
    w.proto = c.out.proto;
    if (rc == LUA_OK) {
        if (nres > 0)
            luaToReply(s.co, -1, w);
        else
            w.null();
    } else {
        std::string e = scriptErrorText(s.co, -1);
        logAlways(s, "<error> " + e);
        w.error(e);
    }
    endSession(c, s, w.buf);
}

static std::vector<std::string> splitLines(const std::string &body) {
    std::vector<std::string> r;
    size_t start = 0;
    while (start <= body.size()) {
        size_t nl = body.find('\n', start);
        std::string l =
            body.substr(start, nl == std::string::npos ? std::string::npos : nl - start);
        if (!l.empty() && l.back() == '\r') l.pop_back();
        r.push_back(l);
        if (nl == std::string::npos) break;
        start = nl + 1;
    }
    return r;
}

void ldbStart(Client &c, const std::string &body, const std::string &sha, const Args &keys,
              const Args &argv) {
    std::shared_ptr<ScriptDebug> keep = c.ldb;
    ScriptDebug &s = *keep;
    lua_State *L = scriptState();
    s.co = lua_newthread(L);
    s.co_ref = luaL_ref(L, LUA_REGISTRYINDEX);
    std::string err;
    if (!loadScript(s.co, body, keys, argv, err)) {
        // Nothing to debug: the session ends at once with the reason.
        ReplyWriter w;
        w.error(err);
        return endSession(c, s, w.buf);
    }
    lua_Debug ar;
    lua_pushvalue(s.co, -1);
    lua_getinfo(s.co, ">L", &ar);
    lua_pushnil(s.co);
    while (lua_next(s.co, -2)) {
        s.code_lines.insert(int(lua_tointeger(s.co, -2)));
        lua_pop(s.co, 1);
    }
    lua_pop(s.co, 1);
    // eval works in the script's own environment: it sees KEYS and ARGV, and
    // what it assigns stays with this run.
    lua_getupvalue(s.co, -1, 1);
    s.env_ref = luaL_ref(s.co, LUA_REGISTRYINDEX);
    s.lines = splitLines(body);
    s.fake.addr = "lua";
    s.fake.authed = true;
    s.fake.db = c.db;
    s.run.fake = &s.fake;
    s.run.ldb = &s;
    s.run.sha = sha;
    if (!s.sync) {
        s.dbs = copyKeyspace();
        s.fake.no_propagate = true;
    }
    s.running = true;
    s.mode = ScriptDebug::STEP;
    lua_sethook(s.co, scriptHook, LUA_MASKLINE | LUA_MASKCOUNT, 10000);
    resume(c);
}

static void printVars(ScriptDebug &s, const std::string &only) {
    auto &vars = s.locals;
    if (!only.empty()) {
        for (auto it = vars.rbegin(); it != vars.rend(); ++it)
            if (it->first == only) return ldbLog(s, "<value> " + it->second);
        return ldbLog(s, "<hint> No local variable '" + only + "' here; 'eval " + only +
                             "' shows a global.");
    }
    if (vars.empty()) return ldbLog(s, "No local variables in the current context.");
    for (auto &[k, v] : vars)
        ldbLog(s, "<value> " + k + " = " + v);
}

static void evalCode(ScriptDebug &s, const std::string &code) {
    lua_State *L = scriptState();
    int top = lua_gettop(L);
    std::string expr = "return " + code;
    if (luaL_loadbufferx(L, expr.data(), expr.size(), "@ldb_eval", "t") != LUA_OK) {
        lua_pop(L, 1);
        if (luaL_loadbufferx(L, code.data(), code.size(), "@ldb_eval", "t") != LUA_OK) {
            ldbLog(s, std::string("<error> ") + lua_tostring(L, -1));
            lua_settop(L, top);
            return;
        }
    }
    lua_rawgeti(L, LUA_REGISTRYINDEX, s.env_ref);
    lua_setupvalue(L, -2, 1); // _ENV
    int rc;
    {
        SessionScope scope(s);
        lua_sethook(L, scriptHook, LUA_MASKCOUNT, 10000);
        rc = scriptPcall(L, 0, 1);
        lua_sethook(L, nullptr, 0, 0);
    }
    if (rc != LUA_OK)
        ldbLog(s, "<error> " + (lua_type(L, -1) == LUA_TSTRING ? std::string(lua_tostring(L, -1))
                                                               : scriptErrorText(L, -1)));
    else
        ldbLog(s, "<retval> " + repr(L, -1, 0));
    lua_settop(L, top);
}

static void runCommand(ScriptDebug &s, const Args &a) {
    lua_State *L = scriptState();
    std::string raw, line = "<vorn>";
    for (auto &w : a)
        line += " " + w;
    {
        SessionScope scope(s);
        scriptCommand(L, s.run, a, &raw);
        lua_pop(L, 1);
    }
    ldbLog(s, line);
    ldbLog(s, "<reply> " + replyText(raw));
}

static void listSource(ScriptDebug &s, int around, int ctx) {
    if (around <= 0) around = s.current;
    int last = int(s.lines.size());
    for (int n = std::max(1, around - ctx); n <= std::min(last, around + ctx); n++)
        ldbLog(s, sourceLine(s, n));
}

static void breakCmd(ScriptDebug &s, const Args &a) {
    if (a.size() == 1) {
        if (s.breakpoints.empty())
            return ldbLog(s, "No breakpoints set. Use 'b <line>' to add one.");
        ldbLog(s, std::to_string(s.breakpoints.size()) + " breakpoint" +
                      (s.breakpoints.size() == 1 ? "" : "s") + " set:");
        for (int n : s.breakpoints)
            ldbLog(s, sourceLine(s, n));
        return;
    }
    for (size_t i = 1; i < a.size(); i++) {
        long long n;
        if (!toLL(a[i], n) || n > 1000000000 || n < -1000000000) {
            ldbLog(s, "<error> Not a line number: '" + a[i] + "'");
        } else if (n == 0) {
            s.breakpoints.clear();
            ldbLog(s, "All breakpoints removed.");
        } else if (n < 0) {
            ldbLog(s, s.breakpoints.erase(int(-n))
                          ? "Breakpoint removed."
                          : "No breakpoint at line " + std::to_string(-n) + ".");
        } else if (n > (long long)s.lines.size()) {
            ldbLog(s, "<error> The script has no line " + std::to_string(n) + ".");
        } else if (!s.code_lines.count(int(n))) {
            ldbLog(s, "<hint> Line " + std::to_string(n) +
                          " holds no code, so the script never stops there.");
        } else {
            s.breakpoints.insert(int(n));
            ldbLog(s, sourceLine(s, int(n)));
        }
    }
}

static const char *const kHelp[] = {
    "Lua debugger commands (a word or its first letter):",
    "h, help              this list",
    "s, step              run the current line, stop at the next one",
    "n, next              run the current line, stepping over function calls",
    "c, continue          run to the next breakpoint or the end",
    "l, list [line [ctx]] the source around the line (default: the current one),",
    "                     ctx lines before and after it (default 5)",
    "w, whole             the whole source",
    "p, print [var]       the local variables, or one of them",
    "b, break             the breakpoints",
    "b, break <line>      set a breakpoint; -<line> removes it, 0 removes all",
    "e, eval <code>       run Lua code in a frame of its own and show its value",
    "r, vorn <cmd>        run a server command as the script would",
    "a, abort             stop the script (with 'sync' its writes stay)",
    "Lua functions for scripts: vorn.debug(...) logs its arguments here,",
    "vorn.breakpoint() stops at the next line.",
};

static long long argNum(const Args &a, size_t i, long long dflt) {
    long long v;
    return a.size() > i && toLL(a[i], v) ? v : dflt;
}

bool ldbIntercept(Client &c, Args &a) {
    if (!c.ldb || !c.ldb->running) return false;
    std::shared_ptr<ScriptDebug> keep = c.ldb;
    ScriptDebug &s = *keep;
    std::string w = lower(a[0]);
    if (w == "s" || w == "step" || w == "n" || w == "next" || w == "c" || w == "continue") {
        s.mode = w[0] == 's'   ? ScriptDebug::STEP
                 : w[0] == 'n' ? ScriptDebug::NEXT
                               : ScriptDebug::CONTINUE;
        s.next_depth = s.depth;
        resume(c);
        return true;
    }
    if (w == "a" || w == "abort") {
        logAlways(s, "<error> script aborted for user request");
        endSession(c, s, "-ERR script aborted for user request\r\n");
        return true;
    }
    if (w == "l" || w == "list") {
        listSource(s, int(std::max(0LL, std::min(argNum(a, 1, 0), 1000000000LL))),
                   int(std::max(0LL, std::min(argNum(a, 2, 5), 1000000000LL))));
    } else if (w == "w" || w == "whole") {
        listSource(s, 1, 1000000000);
    } else if (w == "p" || w == "print") {
        printVars(s, a.size() > 1 ? a[1] : "");
    } else if (w == "b" || w == "break") {
        breakCmd(s, a);
    } else if ((w == "e" || w == "eval") && a.size() > 1) {
        std::string code;
        for (size_t i = 1; i < a.size(); i++)
            code += (i > 1 ? " " : "") + a[i];
        evalCode(s, code);
    } else if ((w == "r" || w == "vorn") && a.size() > 1) {
        runCommand(s, Args(a.begin() + 1, a.end()));
    } else if (w == "h" || w == "help") {
        for (const char *l : kHelp)
            ldbLog(s, l);
    } else {
        ldbLog(s, "<error> Unknown Lua debugger command or wrong number of arguments.");
    }
    sendLog(c, s);
    return true;
}

} // namespace dev

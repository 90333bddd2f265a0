// Scripting shared by EVAL (scripting.cpp) and its debugger (debugger.cpp):
// the server's one Lua interpreter, the context a running script's commands
// execute in, and the conversions between replies and Lua values.
#pragma once

#include "server.h"

#include <lua.hpp>

namespace dev {

// What vorn.call needs while a script runs: the connection its commands run
// on (a client of its own, on the caller's database), and the debugging
// session that logs them, if any.
struct ScriptRun {
    Client *fake = nullptr;
    ScriptDebug *ldb = nullptr;
    std::string sha;
    long long deadline = 0; // ms; the run is stopped after it
};

lua_State *scriptState();
// The run in progress (none between scripts).
ScriptRun *&currentRun();

std::string sha1hex(const std::string &s);
// Compiles a script (text only) into a function whose environment holds KEYS
// and ARGV and falls back to the globals; pushes it. False with the error
// reply text in err.
bool loadScript(lua_State *L, const std::string &body, const Args &keys, const Args &argv,
                std::string &err);
// lua_pcall / lua_resume (no arguments) with the memory limit of a running
// script in force; error results as theirs.
int scriptPcall(lua_State *L, int nargs, int nresults);
int scriptResume(lua_State *co, lua_State *from, int *nres);
// The time limit of one run, from lua-time-limit.
long long scriptDeadline();
// The hook installed on a running script: the time limit and, for a
// debugging session, the line stops (which may yield).
void scriptHook(lua_State *L, lua_Debug *ar);
// The reply for the Lua value at idx, appended to w.
void luaToReply(lua_State *L, int idx, ReplyWriter &w);
// The error reply text (without '-') for the error object at idx.
std::string scriptErrorText(lua_State *L, int idx);
// Runs one command for a script on run.fake; on success pushes its reply as
// a Lua value and returns true; a reply that is an error pushes {err=...}
// and returns false. The raw reply bytes go to raw when given.
bool scriptCommand(lua_State *L, ScriptRun &run, const Args &a, std::string *raw = nullptr);
// A reply (VOSP2 bytes) as one readable line for the debugger.
std::string replyText(const std::string &bytes);

// ---- debugger (debugger.cpp) ----
// SCRIPT DEBUG yes|sync|no.
void scriptDebugCmd(Client &c, const std::string &mode);
// True when the client's next EVAL is to be debugged.
bool ldbArmed(const Client &c);
// Starts a debugging session for EVAL / EVALSHA and writes its first reply.
void ldbStart(Client &c, const std::string &body, const std::string &sha, const Args &keys,
              const Args &argv);
// Line events of a debugged run (called from scriptHook).
void ldbLineHook(lua_State *L, lua_Debug *ar);
// vorn.debug and vorn.breakpoint.
void ldbLog(ScriptDebug &s, std::string line);
void ldbBreakNext(ScriptDebug &s);

} // namespace dev

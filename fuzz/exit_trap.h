// Runs code that ends the process on bad input, for targets linked with
// -Wl,--wrap=exit: calls to exit() land in __wrap_exit, which during a
// trapped call records the status and jumps back to the caller; at any other
// time it hands over to the real exit(). The jump leaves only the frames of
// the code under test, so that code must own nothing on its stack when it
// exits (the option and address parsers free their strings first). Standard
// error goes to a memory buffer for the length of the call, which captures
// the message. Include this file in one source file of the target only: it
// defines __wrap_exit.
#pragma once

#include <csetjmp>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

extern "C" [[noreturn]] void __real_exit(int status);

namespace exit_trap {

inline jmp_buf *armed = nullptr;
inline int status = -1;

// Calls f(); returns the exit status it ended with, or -1 when it returned.
// `message` receives what it wrote on standard error (up to `cap` bytes).
template <typename F> int run(F f, std::string &message, size_t cap = 4096) {
    static std::string buffer;
    buffer.assign(cap + 1, '\0');
    FILE *capture = fmemopen(buffer.data(), cap, "w");
    if (capture == nullptr) abort();
    setvbuf(capture, nullptr, _IONBF, 0);
    FILE *saved = stderr;
    stderr = capture;

    static jmp_buf back;
    status = -1;
    if (setjmp(back) == 0) {
        armed = &back;
        f();
    }
    armed = nullptr;
    stderr = saved;
    fclose(capture);
    message.assign(buffer.c_str());
    return status;
}

} // namespace exit_trap

extern "C" [[noreturn]] void __wrap_exit(int code) {
    if (exit_trap::armed != nullptr) {
        jmp_buf *back = exit_trap::armed;
        exit_trap::armed = nullptr;
        exit_trap::status = code;
        longjmp(*back, 1);
    }
    __real_exit(code);
}

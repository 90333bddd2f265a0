// Line editor used by the interactive shell and the masked password prompt.
//
// The interface keeps the classic C-style shape (plain pointers, malloc'ed
// results released with linenoiseFree) so that callers can hand it C strings
// and callbacks without wrapping.
#pragma once

#include <cstddef>

typedef struct linenoiseCompletions {
    size_t len;
    char **cvec;
} linenoiseCompletions;

// Called on Tab with the current line; adds candidates with linenoiseAddCompletion.
typedef void(linenoiseCompletionCallback)(const char *, linenoiseCompletions *);
// Returns a hint shown after the cursor (or none). `color` is an ANSI colour
// code (-1 for the terminal default) and `bold` 0 or 1.
typedef char *(linenoiseHintsCallback)(const char *, int *color, int *bold);
// Releases a hint returned by the hints callback.
typedef void(linenoiseFreeHintsCallback)(void *);

// Reads one line with the given prompt. Returns a malloc'ed string without the
// line end, or none at end of input. On a terminal, Ctrl-C returns none with
// errno EAGAIN and Ctrl-D on an empty line returns none with errno ENOENT.
char *linenoise(const char *prompt);
void linenoiseFree(void *ptr);

void linenoiseSetMultiLine(int ml);
void linenoiseSetCompletionCallback(linenoiseCompletionCallback *fn);
void linenoiseSetHintsCallback(linenoiseHintsCallback *fn);
void linenoiseSetFreeHintsCallback(linenoiseFreeHintsCallback *fn);
void linenoiseAddCompletion(linenoiseCompletions *lc, const char *str);

// History: 100 lines by default; a line equal to the newest entry is not added.
// Add returns 1 when the line was stored, 0 otherwise. SetMaxLen returns 0 for a
// length below 1, else 1 (shrinking keeps the newest lines). Save and Load
// return 0 on success, -1 when the file cannot be written or read.
int linenoiseHistoryAdd(const char *line);
int linenoiseHistorySetMaxLen(int len);
int linenoiseHistorySave(const char *filename);
int linenoiseHistoryLoad(const char *filename);

void linenoiseClearScreen(void);

// Mask mode echoes '*' for every character typed (password prompts).
void linenoiseMaskModeEnable(void);
void linenoiseMaskModeDisable(void);

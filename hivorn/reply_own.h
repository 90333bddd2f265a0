// Internal to the library: a string node around a buffer the reader filled
// itself, so that a large payload is not copied once more.
#pragma once

#include <cstddef>

#include "hivorn/read.h"

// Builds a STRING node, or a VERB node with the given three-letter type,
// that takes over buf (len bytes, a NUL at buf[len], allocated through the
// library's table). Returns null when memory runs out; buf is then still
// the caller's.
void *createStringObjectFromBuffer(const vornReadTask *task, char *buf, size_t len,
                                   const char *vtype);

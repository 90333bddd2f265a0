// Where a snapshot transfer writes: standard output for "-", a FIFO or a
// device directly, and a regular file by way of a temporary file beside it
// that takes the file's place only once the transfer is complete, so a
// transfer that fails midway never leaves a file that looks whole. An
// existing file in a directory we may not write to is written in place and
// emptied when the transfer fails.
#pragma once

#include <string>

class vdbOutput {
  public:
    vdbOutput() = default;
    vdbOutput(const vdbOutput &) = delete;
    vdbOutput &operator=(const vdbOutput &) = delete;
    // Removes the temporary file of a transfer that did not finish.
    ~vdbOutput() { discard(); }

    // Opens the output for name; false with errno set on failure.
    bool open(const char *name);

    bool isStdout() const { return fd_ == 1 && name_ == "-"; }
    // True when the output can be cut back to the snapshot size: a regular
    // file. Elsewhere bytes written are final.
    bool seekable() const { return !tmp_.empty() || in_place_; }

    // Writes all of buf; false with errno set (0 for a write that made no
    // progress without an error).
    bool write(const char *buf, size_t n);

    // Cuts the output to size bytes (regular files only); false with errno.
    bool truncate(unsigned long long size);
    // Flushes a regular file or a device to stable storage; false with errno.
    bool sync();
    // Closes the output; a regular file then takes the place of the named
    // path. False with errno set when the rename fails.
    bool commit();
    // Drops a transfer that did not finish: the temporary file goes away and
    // whatever was at the path stays as it was.
    void discard();

  private:
    std::string name_;   // the path the user gave
    std::string target_; // where a regular file ends up (symbolic links resolved)
    std::string tmp_;    // the temporary file of a regular file, else empty
    int fd_ = -1;
    bool in_place_ = false;
};

// In-memory command history with a bounded length, stored one line per entry.
#pragma once

#include <cstddef>
#include <deque>
#include <string>
#include <string_view>

namespace lineedit {

class History {
  public:
    static constexpr size_t kDefaultMaxLen = 100;

    // Stores the line unless it repeats the newest entry; drops the oldest
    // entry when full. Returns true when the line was stored.
    bool add(std::string_view line);
    // Returns false for a length below 1. Shrinking keeps the newest lines.
    bool setMaxLen(int len);
    // 0 on success, -1 when the file cannot be written / opened.
    int save(const char *path) const;
    int load(const char *path);

    size_t size() const { return lines_.size(); }
    size_t maxLen() const { return max_len_; }
    const std::string &at(size_t i) const { return lines_[i]; }
    void clear() { lines_.clear(); }

  private:
    size_t max_len_ = kDefaultMaxLen;
    std::deque<std::string> lines_;
};

} // namespace lineedit

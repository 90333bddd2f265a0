// Snapshot files of vorn-devserver: the format written for SYNC / PSYNC and
// read back by --load.
//
// Layout (integers little-endian):
//   "VORNSNAP" version:u8
//   records, each starting with an opcode byte:
//     0xFE db:u32                      the following keys belong to database db
//     type:u8 (0..5) expire:i64 key value
//                                      one key; expire is absolute ms, -1 none
//     0xFA n:u64, then n zero bytes    padding (makes a snapshot large)
//     0xFF sum:u64                     end; sum covers every byte before it
//   str   = len:u32 bytes
//   value = string: str | list, set: n:u64 str*n | hash: n:u64 (str str)*n
//         | zset: n:u64 (str score:f64)*n
//         | stream: last_ms:u64 last_seq:u64 n:u64 (ms:u64 seq:u64 m:u64 str*m)*n
#pragma once

#include <cstdint>
#include <string>

namespace dev {

constexpr char kSnapMagic[] = "VORNSNAP";
constexpr uint8_t kSnapVersion = 1;
constexpr uint8_t kSnapSelect = 0xFE, kSnapPad = 0xFA, kSnapEnd = 0xFF;
constexpr size_t kSnapPadHeader = 9, kSnapEndSize = 9;

// The snapshot checksum: 64 bits, fed in pieces of any size, one multiply
// per 8-byte word so that gigabytes of padding cost little.
class SnapshotSum {
  public:
    void update(const void *data, size_t len);
    uint64_t value() const;

  private:
    void word(uint64_t w);
    uint64_t h_ = 0x243F6A8885A308D3ULL;
    uint64_t total_ = 0;
    unsigned char tail_[8] = {};
    size_t tail_len_ = 0;
};

// The header and every key of every database, without padding or end record.
std::string snapshotBody();
// The header of a padding record of n bytes.
std::string snapshotPadHeader(uint64_t n);
// The end record, after sum has taken every earlier byte; feeds its opcode.
std::string snapshotEnd(SnapshotSum &sum);
// Fills the databases from a snapshot file; false with the reason in err.
bool loadSnapshot(const std::string &path, std::string &err);

} // namespace dev

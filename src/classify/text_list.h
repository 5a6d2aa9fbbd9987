// A set of byte-string keys, each with a signed 32-bit number, whose look-up also matches a
// stored key that is a prefix of the key asked for. It holds the friend and bad sender lists
// (where "john@" covers every address that begins with it) and the look-up caches of the
// classifier; the two sender lists live in text files of the format below.
//
// The set is prefix-free: a key that extends a stored key is already covered and is not stored,
// and a key that is a prefix of stored keys replaces all of them.
//
// Every walk over the tree is a loop, never a recursion, so a key of any length (a hostile
// header can carry one of megabytes) cannot exhaust the stack.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace qm {

class TextList {
 public:
  // The matched stored key's length (a stored key equal to `key` or a prefix of it), 0 when none;
  // the stored number goes to *value when given.
  int Find(std::string_view key, std::int32_t* value = nullptr) const;
  // The empty key is never stored.
  void Insert(std::string_view key, std::int32_t value);
  // 1 when exactly this key was stored and is gone.
  int Remove(std::string_view key);
  void Clear();
  // Visits keys in ascending byte order (bytes compared unsigned); 1 when the callback accepted
  // every key, 0 at the first refusal or when the list has no keys. The callback must not change
  // the list.
  int ForEach(const std::function<int(std::string_view key, std::int32_t value)>& callback) const;
  // Replaces the list by the entries of a list file: 1, or 0 when the file cannot be read (the
  // list is then unchanged).
  int Load(const std::string& path);
  // Replaces the file by a new one through a scratch file, so a crash leaves the old or the new
  // list: 1, or 0 when the list is empty (the file keeps its old content) or the write fails.
  int Save(const std::string& path) const;
  bool Empty() const;

 private:
  struct Edge {
    std::uint32_t node;
    unsigned char ch;
  };
  // A leaf ends a key and has no children; every other node below the root leads to a leaf.
  struct Node {
    std::vector<Edge> children;  // ascending by unsigned `ch`
    std::int32_t value = 0;
    bool leaf = false;
  };

  std::uint32_t NewNode();
  // Frees every node below `node`, not `node` itself.
  void FreeSubtree(std::uint32_t node);
  const Edge* FindEdge(const Node& node, unsigned char ch) const;

  // Nodes live in one array and refer to each other by index: no per-node allocation and no
  // recursive destruction. Index 0 is the root; freed slots are reused.
  std::vector<Node> nodes_ = std::vector<Node>(1);
  std::vector<std::uint32_t> freeNodes_;
};

// List file format, one entry per line: the number in decimal, one space, the key bytes, a NUL
// byte, then CR CR LF. That line end is what the writer of the established format produced (a
// CR LF written through a stream that turns LF into CR LF); readers that turn CR LF into LF and
// strip white space accept it, so files stay exchangeable in both directions.

// True when an entry saved to a list file loads back as the same key and number. A key cannot
// hold NUL, LF or Ctrl-Z (end of file for text-mode readers), cannot end in white space (the
// loader strips it) and must leave its line within the loader's 1023-byte pieces.
bool TextListEntryFits(std::string_view key, std::int32_t value);

// The bytes of a list file for `list`, keys in ascending order. Entries that would not load back
// as themselves (see TextListEntryFits) are left out rather than written as other keys.
std::string WriteTextListFile(const TextList& list);

// Replaces the content of `list` by the entries in the bytes of a list file. Never fails: lines
// ending LF, CR LF or CR CR LF are read alike, a line longer than 1023 bytes reads as several
// entries (as the established loader did), and a line without a number gets 0.
void ReadTextListFile(std::string_view bytes, TextList& list);

}  // namespace qm

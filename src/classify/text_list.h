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
  // A path-compressed tree. A node stands for the bytes of its label, held in `labels_`; the key
  // of a node is the labels from the root down to it. A leaf ends a stored key and has no
  // children; every other node below the root has at least two, so a run of bytes without a
  // branch costs one node and a slice of the label bytes.
  struct Node {
    std::uint32_t labelStart = 0;
    std::uint32_t labelSize = 0;  // 0 only at the root
    std::uint32_t children = 0;   // index in nodes_ of the first child; siblings are consecutive
    std::int32_t value = 0;
    std::uint16_t childCount = 0;  // up to 256
    unsigned char first = 0;       // the label's first byte, kept here so a search stays in nodes_
    bool leaf = false;
  };

  // A run of `size` consecutive free nodes for a node's children.
  std::uint32_t AllocateBlock(std::uint32_t size);
  void FreeBlock(std::uint32_t start, std::uint32_t size);
  // Frees every node below `node`, not `node` itself.
  void FreeSubtree(std::uint32_t node);
  // The child of `node` whose label begins with `ch`, or 0 when there is none.
  std::uint32_t FindChild(const Node& node, unsigned char ch) const;
  // Gives `node` a new leaf child labelled `label`, which begins with a byte no child begins with.
  void AddLeaf(std::uint32_t node, std::string_view label, std::int32_t value);
  std::uint32_t AppendLabel(std::string_view label);
  void DropLabel(std::uint32_t size);
  // Rebuilds both arrays without free nodes or dropped label bytes once those outweigh the rest.
  void CompactIfWasteful();

  // Index 0 is the root. Children live in blocks of consecutive nodes: adding or removing a child
  // moves its siblings to a block of the new size, and freed blocks are reused by size.
  std::vector<Node> nodes_ = std::vector<Node>(1);
  std::vector<std::vector<std::uint32_t>> freeBlocks_;  // block starts by size
  std::size_t freeNodes_ = 0;
  std::string labels_;
  std::size_t droppedLabelBytes_ = 0;
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

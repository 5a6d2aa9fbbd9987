#include "classify/text_list.h"

#include <algorithm>
#include <charconv>
#include <cstddef>
#include <cstring>
#include <limits>
#include <utility>

#include "platform/file_io.h"

namespace qm {

namespace {

// The established loader read lines into a 1024-byte buffer, so a longer line arrived in pieces
// of at most 1023 bytes, each read as an entry of its own; files rely on nothing else.
constexpr std::size_t kMaxPiece = 1023;

constexpr std::string_view kStripped = " \t\n\r";

bool IsCSpace(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

// The C library's decimal conversion as the established loader saw it: leading white space and
// a sign are accepted, no digits give 0, and an out-of-range value saturates at the limits of its
// 32-bit long instead of wrapping.
std::int32_t LeadingNumber(std::string_view text) {
  std::size_t i = 0;
  while (i < text.size() && IsCSpace(text[i])) ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
  std::int64_t magnitude = 0;
  constexpr std::int64_t kLimit = std::int64_t{std::numeric_limits<std::int32_t>::max()} + 1;
  for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
    magnitude = std::min(kLimit, magnitude * 10 + (text[i] - '0'));
  }
  if (negative) return static_cast<std::int32_t>(-magnitude);
  return static_cast<std::int32_t>(std::min(magnitude, kLimit - 1));
}

void ReadPiece(std::string_view piece, TextList& list) {
  piece = piece.substr(0, piece.find('\0'));
  const std::size_t first = piece.find_first_not_of(kStripped);
  if (first == std::string_view::npos) return;
  piece = piece.substr(first, piece.find_last_not_of(kStripped) - first + 1);
  const std::size_t space = piece.find(' ');
  const std::string_view key = space == std::string_view::npos ? piece : piece.substr(space + 1);
  list.Insert(key, LeadingNumber(piece));
}

std::string FormatNumber(std::int32_t value) {
  char digits[16];
  const auto result = std::to_chars(digits, digits + sizeof digits, value);
  return std::string(digits, result.ptr);
}

}  // namespace

std::uint32_t TextList::AllocateBlock(std::uint32_t size) {
  if (size < freeBlocks_.size() && !freeBlocks_[size].empty()) {
    const std::uint32_t start = freeBlocks_[size].back();
    freeBlocks_[size].pop_back();
    freeNodes_ -= size;
    return start;
  }
  const auto start = static_cast<std::uint32_t>(nodes_.size());
  nodes_.resize(nodes_.size() + size);
  return start;
}

void TextList::FreeBlock(std::uint32_t start, std::uint32_t size) {
  if (size == 0) return;
  if (freeBlocks_.size() <= size) freeBlocks_.resize(size + 1);
  freeBlocks_[size].push_back(start);
  freeNodes_ += size;
}

void TextList::FreeSubtree(std::uint32_t node) {
  struct Block {
    std::uint32_t start;
    std::uint32_t size;
  };
  std::vector<Block> pending;
  if (nodes_[node].childCount != 0)
    pending.push_back({nodes_[node].children, nodes_[node].childCount});
  nodes_[node].children = 0;
  nodes_[node].childCount = 0;
  while (!pending.empty()) {
    const Block block = pending.back();
    pending.pop_back();
    for (std::uint32_t i = block.start; i < block.start + block.size; ++i) {
      const Node& child = nodes_[i];
      DropLabel(child.labelSize);
      if (child.childCount != 0) pending.push_back({child.children, child.childCount});
    }
    FreeBlock(block.start, block.size);
  }
}

std::uint32_t TextList::FindChild(const Node& node, unsigned char ch) const {
  const Node* const begin = nodes_.data() + node.children;
  const Node* const end = begin + node.childCount;
  const Node* found = begin;
  if (node.childCount <= 8) {
    // Few siblings, and they share a cache line or two: a scan beats halving.
    while (found != end && found->first < ch) ++found;
  } else {
    found = std::lower_bound(begin, end, ch,
                             [](const Node& child, unsigned char c) { return child.first < c; });
  }
  if (found == end || found->first != ch) return 0;
  return static_cast<std::uint32_t>(found - nodes_.data());
}

std::uint32_t TextList::AppendLabel(std::string_view label) {
  const auto start = static_cast<std::uint32_t>(labels_.size());
  labels_.append(label);
  return start;
}

void TextList::DropLabel(std::uint32_t size) { droppedLabelBytes_ += size; }

void TextList::AddLeaf(std::uint32_t node, std::string_view label, std::int32_t value) {
  Node leaf;
  leaf.labelStart = AppendLabel(label);
  leaf.labelSize = static_cast<std::uint32_t>(label.size());
  leaf.first = static_cast<unsigned char>(label.front());
  leaf.leaf = true;
  leaf.value = value;
  const std::uint32_t oldStart = nodes_[node].children;
  const std::uint32_t count = nodes_[node].childCount;
  const std::uint32_t start = AllocateBlock(count + 1);  // may move nodes_
  std::uint32_t position = 0;
  while (position < count && nodes_[oldStart + position].first < leaf.first) ++position;
  std::copy_n(nodes_.begin() + oldStart, position, nodes_.begin() + start);
  nodes_[start + position] = leaf;
  std::copy_n(nodes_.begin() + oldStart + position, count - position,
              nodes_.begin() + start + position + 1);
  FreeBlock(oldStart, count);
  nodes_[node].children = start;
  nodes_[node].childCount = static_cast<std::uint16_t>(count + 1);
}

void TextList::CompactIfWasteful() {
  // The slack keeps small lists, whose waste costs little, from being rebuilt over and over.
  constexpr std::size_t kSlack = 64;
  const bool wastefulNodes = freeNodes_ > nodes_.size() - freeNodes_ + kSlack;
  const bool wastefulLabels = droppedLabelBytes_ > labels_.size() - droppedLabelBytes_ + kSlack;
  if (!wastefulNodes && !wastefulLabels) return;
  std::vector<Node> nodes;
  nodes.reserve(nodes_.size() - freeNodes_);
  std::string labels;
  labels.reserve(labels_.size() - droppedLabelBytes_);
  nodes.push_back(nodes_[0]);
  // Breadth first: the copies keep their old child index until their own turn comes.
  for (std::size_t i = 0; i < nodes.size(); ++i) {
    const std::uint32_t oldStart = nodes[i].children;
    const std::uint32_t count = nodes[i].childCount;
    nodes[i].children = count == 0 ? 0 : static_cast<std::uint32_t>(nodes.size());
    for (std::uint32_t k = 0; k < count; ++k) {
      Node child = nodes_[oldStart + k];
      const auto labelStart = static_cast<std::uint32_t>(labels.size());
      labels.append(labels_, child.labelStart, child.labelSize);
      child.labelStart = labelStart;
      nodes.push_back(child);
    }
  }
  nodes_.swap(nodes);
  labels_.swap(labels);
  freeBlocks_ = {};
  freeNodes_ = 0;
  droppedLabelBytes_ = 0;
}

int TextList::Find(std::string_view key, std::int32_t* value) const {
  const Node* node = nodes_.data();
  std::size_t depth = 0;
  for (;;) {
    if (node->leaf) {
      if (value) *value = node->value;
      return static_cast<int>(depth);
    }
    if (depth == key.size()) return 0;
    const std::uint32_t child = FindChild(*node, static_cast<unsigned char>(key[depth]));
    if (child == 0) return 0;
    node = &nodes_[child];
    // The first byte matched in FindChild.
    if (key.size() - depth < node->labelSize ||
        std::memcmp(labels_.data() + node->labelStart + 1, key.data() + depth + 1,
                    node->labelSize - 1) != 0) {
      return 0;
    }
    depth += node->labelSize;
  }
}

void TextList::Insert(std::string_view key, std::int32_t value) {
  if (key.empty()) return;
  std::uint32_t node = 0;
  std::size_t depth = 0;
  for (;;) {
    if (nodes_[node].leaf) {
      // A stored key equal to `key` takes the new number; a shorter one already covers it.
      if (depth == key.size()) nodes_[node].value = value;
      return;
    }
    if (depth == key.size()) {
      // `key` is a prefix of every key below: it replaces them.
      FreeSubtree(node);
      nodes_[node].leaf = true;
      nodes_[node].value = value;
      break;
    }
    const std::string_view rest = key.substr(depth);
    const std::uint32_t child = FindChild(nodes_[node], static_cast<unsigned char>(rest.front()));
    if (child == 0) {
      AddLeaf(node, rest, value);
      break;
    }
    const Node& next = nodes_[child];
    const std::string_view label(labels_.data() + next.labelStart, next.labelSize);
    const std::size_t common =
        std::mismatch(label.begin(), label.end(), rest.begin(), rest.end()).first - label.begin();
    if (common == label.size()) {
      node = child;
      depth += common;
      continue;
    }
    if (common == rest.size()) {
      // `key` ends inside the label: the child becomes a leaf with the label cut short.
      FreeSubtree(child);
      Node& cut = nodes_[child];
      DropLabel(cut.labelSize - static_cast<std::uint32_t>(common));
      cut.labelSize = static_cast<std::uint32_t>(common);
      cut.leaf = true;
      cut.value = value;
      break;
    }
    // The key leaves the label part-way: the child keeps the shared bytes and gets two children,
    // its old self with the rest of the label and a leaf with the rest of the key.
    Node tail = next;
    tail.labelStart += static_cast<std::uint32_t>(common);
    tail.labelSize -= static_cast<std::uint32_t>(common);
    tail.first = static_cast<unsigned char>(labels_[tail.labelStart]);
    Node leaf;
    leaf.labelStart = AppendLabel(rest.substr(common));
    leaf.labelSize = static_cast<std::uint32_t>(rest.size() - common);
    leaf.first = static_cast<unsigned char>(rest[common]);
    leaf.leaf = true;
    leaf.value = value;
    const std::uint32_t start = AllocateBlock(2);
    const bool tailFirst = tail.first < leaf.first;
    nodes_[start] = tailFirst ? tail : leaf;
    nodes_[start + 1] = tailFirst ? leaf : tail;
    Node& shared = nodes_[child];
    shared.labelSize = static_cast<std::uint32_t>(common);
    shared.leaf = false;
    shared.value = 0;
    shared.children = start;
    shared.childCount = 2;
    break;
  }
  CompactIfWasteful();
}

int TextList::Remove(std::string_view key) {
  if (key.empty()) return 0;
  std::uint32_t parent = 0;
  std::uint32_t node = 0;
  std::size_t depth = 0;
  while (!nodes_[node].leaf) {
    if (depth == key.size()) return 0;
    const std::uint32_t child = FindChild(nodes_[node], static_cast<unsigned char>(key[depth]));
    if (child == 0) return 0;
    const Node& next = nodes_[child];
    if (key.size() - depth < next.labelSize ||
        key.compare(depth, next.labelSize, labels_.data() + next.labelStart, next.labelSize) != 0) {
      return 0;
    }
    parent = node;
    node = child;
    depth += next.labelSize;
  }
  if (depth != key.size()) return 0;

  DropLabel(nodes_[node].labelSize);
  const Node above = nodes_[parent];
  const std::uint32_t index = node - above.children;
  if (parent != 0 && above.childCount == 2) {
    // A node below the root needs two children: it takes over the only one left, label and all.
    const Node only = nodes_[above.children + 1 - index];
    FreeBlock(above.children, 2);
    Node& merged = nodes_[parent];
    if (above.labelStart + above.labelSize != only.labelStart) {
      std::string joined = labels_.substr(above.labelStart, above.labelSize);
      joined.append(labels_, only.labelStart, only.labelSize);
      DropLabel(above.labelSize + only.labelSize);
      merged.labelStart = AppendLabel(joined);
    }
    merged.labelSize = above.labelSize + only.labelSize;
    merged.leaf = only.leaf;
    merged.value = only.value;
    merged.children = only.children;
    merged.childCount = only.childCount;
  } else {
    const std::uint32_t count = above.childCount - 1u;
    const std::uint32_t start = count == 0 ? 0 : AllocateBlock(count);  // may move nodes_
    std::copy_n(nodes_.begin() + above.children, index, nodes_.begin() + start);
    std::copy_n(nodes_.begin() + above.children + index + 1, count - index,
                nodes_.begin() + start + index);
    FreeBlock(above.children, above.childCount);
    nodes_[parent].children = start;
    nodes_[parent].childCount = static_cast<std::uint16_t>(count);
  }
  CompactIfWasteful();
  return 1;
}

void TextList::Clear() {
  nodes_ = std::vector<Node>(1);
  freeBlocks_ = {};
  freeNodes_ = 0;
  labels_ = {};
  droppedLabelBytes_ = 0;
}

int TextList::ForEach(
    const std::function<int(std::string_view key, std::int32_t value)>& callback) const {
  if (Empty()) return 0;
  struct Frame {
    std::uint32_t node;
    std::uint32_t next;  // the child to visit next
  };
  std::vector<Frame> stack{{0, 0}};
  std::string key;
  while (!stack.empty()) {
    Frame& frame = stack.back();
    const Node& node = nodes_[frame.node];
    if (node.leaf) {
      if (!callback(key, node.value)) return 0;
    } else if (frame.next < node.childCount) {
      const std::uint32_t child = node.children + frame.next++;
      key.append(labels_, nodes_[child].labelStart, nodes_[child].labelSize);
      stack.push_back({child, 0});
      continue;
    }
    key.resize(key.size() - node.labelSize);
    stack.pop_back();
  }
  return 1;
}

int TextList::Load(const std::string& path) {
  std::string bytes;
  if (!ReadFileContent(path, bytes)) return 0;
  ReadTextListFile(bytes, *this);
  return 1;
}

int TextList::Save(const std::string& path) const {
  if (Empty()) return 0;
  return ReplaceFileContent(path, WriteTextListFile(*this)) ? 1 : 0;
}

bool TextList::Empty() const { return nodes_[0].childCount == 0; }

bool TextListEntryFits(std::string_view key, std::int32_t value) {
  if (key.empty() || key.find_first_of(std::string_view("\0\n\x1a", 3)) != std::string_view::npos) {
    return false;
  }
  if (kStripped.find(key.back()) != std::string_view::npos) return false;
  // The number, the space, the key and the NUL must arrive in one piece; the line end may spill
  // into the next piece, which then holds nothing but white space.
  return FormatNumber(value).size() + 1 + key.size() + 1 <= kMaxPiece;
}

std::string WriteTextListFile(const TextList& list) {
  std::string bytes;
  list.ForEach([&bytes](std::string_view key, std::int32_t value) {
    if (TextListEntryFits(key, value)) {
      bytes += FormatNumber(value);
      bytes += ' ';
      bytes += key;
      bytes.append("\0\r\r\n", 4);
    }
    return 1;
  });
  return bytes;
}

void ReadTextListFile(std::string_view bytes, TextList& list) {
  list.Clear();
  std::string piece;
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    // A text-mode reader hands over CR LF as LF; a lone CR stays.
    if (bytes[i] == '\r' && i + 1 < bytes.size() && bytes[i + 1] == '\n') continue;
    piece.push_back(bytes[i]);
    if (bytes[i] == '\n' || piece.size() == kMaxPiece) {
      ReadPiece(piece, list);
      piece.clear();
    }
  }
  ReadPiece(piece, list);
}

}  // namespace qm

#include "classify/text_list.h"

#include <algorithm>
#include <charconv>
#include <cstddef>
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

std::uint32_t TextList::NewNode() {
  if (!freeNodes_.empty()) {
    const std::uint32_t node = freeNodes_.back();
    freeNodes_.pop_back();
    return node;
  }
  nodes_.emplace_back();
  return static_cast<std::uint32_t>(nodes_.size() - 1);
}

void TextList::FreeSubtree(std::uint32_t node) {
  std::vector<std::uint32_t> pending;
  for (const Edge& edge : nodes_[node].children) pending.push_back(edge.node);
  nodes_[node].children = {};
  while (!pending.empty()) {
    const std::uint32_t current = pending.back();
    pending.pop_back();
    for (const Edge& edge : nodes_[current].children) pending.push_back(edge.node);
    nodes_[current] = Node{};
    freeNodes_.push_back(current);
  }
}

const TextList::Edge* TextList::FindEdge(const Node& node, unsigned char ch) const {
  const auto it = std::lower_bound(node.children.begin(), node.children.end(), ch,
                                   [](const Edge& edge, unsigned char c) { return edge.ch < c; });
  if (it == node.children.end() || it->ch != ch) return nullptr;
  return &*it;
}

int TextList::Find(std::string_view key, std::int32_t* value) const {
  std::uint32_t node = 0;
  for (std::size_t depth = 0;; ++depth) {
    const Node& current = nodes_[node];
    if (current.leaf) {
      if (value) *value = current.value;
      return static_cast<int>(depth);
    }
    if (depth == key.size()) return 0;
    const Edge* edge = FindEdge(current, static_cast<unsigned char>(key[depth]));
    if (!edge) return 0;
    node = edge->node;
  }
}

void TextList::Insert(std::string_view key, std::int32_t value) {
  if (key.empty()) return;
  std::uint32_t node = 0;
  for (const char c : key) {
    if (nodes_[node].leaf) return;
    const auto ch = static_cast<unsigned char>(c);
    std::vector<Edge>& children = nodes_[node].children;
    auto it = std::lower_bound(children.begin(), children.end(), ch,
                               [](const Edge& edge, unsigned char b) { return edge.ch < b; });
    if (it != children.end() && it->ch == ch) {
      node = it->node;
      continue;
    }
    const auto position = it - children.begin();
    // NewNode may grow nodes_, which invalidates `children`.
    const std::uint32_t child = NewNode();
    std::vector<Edge>& grown = nodes_[node].children;
    grown.insert(grown.begin() + position, Edge{child, ch});
    node = child;
  }
  Node& last = nodes_[node];
  if (!last.leaf) {
    FreeSubtree(node);
    last.leaf = true;
  }
  last.value = value;
}

int TextList::Remove(std::string_view key) {
  if (key.empty()) return 0;
  std::vector<std::uint32_t> path;  // the nodes above the leaf, root first
  path.reserve(key.size());
  std::uint32_t node = 0;
  for (const char c : key) {
    if (nodes_[node].leaf) return 0;
    const Edge* edge = FindEdge(nodes_[node], static_cast<unsigned char>(c));
    if (!edge) return 0;
    path.push_back(node);
    node = edge->node;
  }
  if (!nodes_[node].leaf) return 0;

  // Cut the leaf and every node it leaves without children, up to the first node still needed.
  for (std::size_t depth = key.size(); depth-- > 0;) {
    nodes_[node] = Node{};
    freeNodes_.push_back(node);
    std::vector<Edge>& children = nodes_[path[depth]].children;
    const auto ch = static_cast<unsigned char>(key[depth]);
    children.erase(std::lower_bound(children.begin(), children.end(), ch,
                                    [](const Edge& edge, unsigned char b) { return edge.ch < b; }));
    if (!children.empty() || depth == 0) {
      if (children.empty()) children = {};  // the root gives up its child array
      break;
    }
    node = path[depth];
  }
  return 1;
}

void TextList::Clear() {
  nodes_.assign(1, Node{});
  freeNodes_ = {};
}

int TextList::ForEach(
    const std::function<int(std::string_view key, std::int32_t value)>& callback) const {
  if (nodes_[0].children.empty()) return 0;
  struct Frame {
    std::uint32_t node;
    std::size_t next;  // the child to visit next
  };
  std::vector<Frame> stack{{0, 0}};
  std::string key;
  while (!stack.empty()) {
    Frame& frame = stack.back();
    const Node& node = nodes_[frame.node];
    if (node.leaf) {
      if (!callback(key, node.value)) return 0;
    } else if (frame.next < node.children.size()) {
      const Edge& edge = node.children[frame.next++];
      key.push_back(static_cast<char>(edge.ch));
      stack.push_back({edge.node, 0});
      continue;
    }
    stack.pop_back();
    if (!key.empty()) key.pop_back();
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

bool TextList::Empty() const { return nodes_[0].children.empty(); }

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

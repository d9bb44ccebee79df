#include "image/OctreeQuantizer.h"

#include <algorithm>

namespace orbiscope {

namespace {
constexpr std::size_t kSlabNodes = 512;
}  // namespace

struct OctreeQuantizer::Node {
  bool leaf;
  std::uint32_t pixelCount;
  // 64-bit sums: a picture as large as Create allows can exceed 32 bits in one leaf.
  std::uint64_t redSum, greenSum, blueSum, alphaSum;
  Node* children[8];
  Node* nextReducible;  // also links the free nodes
};

OctreeQuantizer::OctreeQuantizer(std::uint32_t maxColors, std::uint32_t colorBits)
    : maxColors_(maxColors), colorBits_(std::min<std::uint32_t>(colorBits, 8)),
      shortcuts_(std::size_t{1} << (3 * kShortcutLevels), Shortcut{nullptr, 0}) {}

OctreeQuantizer::~OctreeQuantizer() = default;

OctreeQuantizer::Node* OctreeQuantizer::NewNode(std::uint32_t level) {
  Node* node;
  if (freeNodes_ != nullptr) {
    node = freeNodes_;
    freeNodes_ = node->nextReducible;
  } else {
    if (slabs_.empty() || slabUsed_ == kSlabNodes) {
      slabs_.push_back(std::make_unique<Node[]>(kSlabNodes));
      slabUsed_ = 0;
    }
    node = &slabs_.back()[slabUsed_++];
  }
  *node = Node{};
  if (level == colorBits_) {
    node->leaf = true;
    ++leafCount_;
  } else {
    node->nextReducible = reducible_[level];
    reducible_[level] = node;
  }
  return node;
}

void OctreeQuantizer::FreeNode(Node* node) {
  node->nextReducible = freeNodes_;
  freeNodes_ = node;
}

void OctreeQuantizer::Clear() {
  root_ = nullptr;
  leafCount_ = 0;
  std::fill(std::begin(reducible_), std::end(reducible_), nullptr);
  slabs_.clear();
  freeNodes_ = nullptr;
  slabUsed_ = 0;
  ++generation_;
}

namespace {

// Spreads the 8 bits of a component three apart, so that red, green and blue spread and
// or-ed together hold the child index of level L in bits 21 - 3L to 23 - 3L.
struct SpreadTable {
  std::uint32_t bits[256];
  constexpr explicit SpreadTable(int shift) : bits() {
    for (std::uint32_t v = 0; v < 256; ++v) {
      std::uint32_t out = 0;
      for (int b = 0; b < 8; ++b) out |= ((v >> b) & 1u) << (3 * b + shift);
      bits[v] = out;
    }
  }
};
constexpr SpreadTable kRed(2), kGreen(1), kBlue(0);

}  // namespace

void OctreeQuantizer::AddColor(std::uint8_t red, std::uint8_t green, std::uint8_t blue,
                               std::uint8_t alpha) {
  const std::uint32_t path = kRed.bits[red] | kGreen.bits[green] | kBlue.bits[blue];
  Node** link = &root_;
  std::uint32_t level = 0;
  Shortcut* shortcut = nullptr;
  if (colorBits_ > kShortcutLevels) {
    shortcut = &shortcuts_[path >> (24 - 3 * kShortcutLevels)];
    if (shortcut->generation == generation_) {
      Node* node = shortcut->node;
      if (node->leaf) {
        link = nullptr;
        AddToLeaf(node, red, green, blue, alpha);
        return;
      }
      level = kShortcutLevels;
      link = &node->children[(path >> (3 * (7 - level))) & 7u];
      ++level;
      shortcut = nullptr;
    }
  }
  for (;; ++level) {
    if (*link == nullptr) *link = NewNode(level);
    Node* node = *link;
    if (shortcut != nullptr && (level == kShortcutLevels || node->leaf)) {
      *shortcut = Shortcut{node, generation_};
      shortcut = nullptr;
    }
    if (node->leaf) {
      AddToLeaf(node, red, green, blue, alpha);
      return;
    }
    // Level L looks at bit 7 - L of each component: 4 x red + 2 x green + blue.
    link = &node->children[(path >> (3 * (7 - level))) & 7u];
  }
}

void OctreeQuantizer::AddToLeaf(Node* leaf, std::uint8_t red, std::uint8_t green,
                                std::uint8_t blue, std::uint8_t alpha) {
  ++leaf->pixelCount;
  leaf->redSum += red;
  leaf->greenSum += green;
  leaf->blueSum += blue;
  leaf->alphaSum += alpha;
}

bool OctreeQuantizer::ReduceTree() {
  std::uint32_t level = colorBits_ ? colorBits_ - 1 : 0;
  while (level > 0 && reducible_[level] == nullptr) --level;
  Node* node = reducible_[level];
  if (node == nullptr) return false;
  reducible_[level] = node->nextReducible;
  std::uint32_t children = 0;
  for (Node*& child : node->children) {
    if (child == nullptr) continue;
    node->pixelCount += child->pixelCount;
    node->redSum += child->redSum;
    node->greenSum += child->greenSum;
    node->blueSum += child->blueSum;
    node->alphaSum += child->alphaSum;
    FreeNode(child);
    child = nullptr;
    ++children;
  }
  node->leaf = true;
  leafCount_ -= children - 1;
  if (level < kShortcutLevels) ++generation_;
  return true;
}

bool OctreeQuantizer::ProcessImage(const BitmapInfoHeader& header, const std::uint8_t* pixels,
                                   const RGBQuad* palette) {
  const std::uint32_t bits = header.biBitCount;
  if (bits != 1 && bits != 4 && bits != 8 && bits != 24) return false;
  if (pixels == nullptr || (bits <= 8 && palette == nullptr)) return false;
  const std::uint32_t w = static_cast<std::uint32_t>(std::max(header.biWidth, 0));
  const std::uint32_t h = static_cast<std::uint32_t>(std::abs(header.biHeight));
  const std::size_t rowBytes = (static_cast<std::size_t>(w) * bits + 31) / 32 * 4;
  for (std::uint32_t y = 0; y < h; ++y) {
    const std::uint8_t* row = pixels + y * rowBytes;
    for (std::uint32_t x = 0; x < w; ++x) {
      if (bits == 24) {
        AddColor(row[3 * x + 2], row[3 * x + 1], row[3 * x], 0);
      } else {
        std::uint32_t index;
        if (bits == 8) {
          index = row[x];
        } else if (bits == 4) {
          index = (row[x >> 1] >> ((x & 1) ? 0 : 4)) & 0x0F;
        } else {
          index = (row[x >> 3] >> (7 - (x & 7))) & 1;
        }
        const RGBQuad c = palette[index];
        AddColor(c.red, c.green, c.blue, c.alpha);
      }
      // Merging a node with one child leaves the count as it was; only a tree without
      // inner nodes (possible when fewer colours than one are wanted) stops the loop.
      while (leafCount_ > maxColors_ && ReduceTree()) {
      }
    }
  }
  return true;
}

bool OctreeQuantizer::ProcessImage(const CPicture& picture) {
  if (!picture.HasPixels()) return false;
  return ProcessImage(picture.Header(), picture.Bits(), picture.Palette());
}

std::uint32_t OctreeQuantizer::GetColorTable(RGBQuad* table) const {
  std::uint32_t filled = 0;
  struct Walker {
    RGBQuad* table;
    std::uint32_t& filled;
    void Visit(const Node* node) {
      if (node == nullptr) return;
      if (node->leaf) {
        if (filled < 256 && node->pixelCount != 0) {
          const std::uint64_t n = node->pixelCount;
          table[filled] = RGBQuad{static_cast<std::uint8_t>(node->blueSum / n),
                                  static_cast<std::uint8_t>(node->greenSum / n),
                                  static_cast<std::uint8_t>(node->redSum / n),
                                  static_cast<std::uint8_t>(node->alphaSum / n)};
        }
        if (filled < 256) ++filled;
        return;
      }
      for (const Node* child : node->children) Visit(child);
    }
  };
  Walker{table, filled}.Visit(root_);
  return filled;
}

}  // namespace orbiscope

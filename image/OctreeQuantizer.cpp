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
    : maxColors_(maxColors), colorBits_(std::min<std::uint32_t>(colorBits, 8)) {}

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
}

void OctreeQuantizer::AddColor(std::uint8_t red, std::uint8_t green, std::uint8_t blue,
                               std::uint8_t alpha) {
  Node** link = &root_;
  for (std::uint32_t level = 0;; ++level) {
    if (*link == nullptr) *link = NewNode(level);
    Node* node = *link;
    if (node->leaf) {
      ++node->pixelCount;
      node->redSum += red;
      node->greenSum += green;
      node->blueSum += blue;
      node->alphaSum += alpha;
      return;
    }
    const unsigned mask = 0x80u >> level;
    const unsigned child = ((red & mask) ? 4u : 0u) | ((green & mask) ? 2u : 0u) | ((blue & mask) ? 1u : 0u);
    link = &node->children[child];
  }
}

void OctreeQuantizer::ReduceTree() {
  std::uint32_t level = colorBits_ ? colorBits_ - 1 : 0;
  while (level > 0 && reducible_[level] == nullptr) --level;
  Node* node = reducible_[level];
  if (node == nullptr) return;
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
      // A reduction that frees nothing (no inner node left) would loop for ever.
      while (leafCount_ > maxColors_) {
        const std::uint32_t before = leafCount_;
        ReduceTree();
        if (leafCount_ == before) break;
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

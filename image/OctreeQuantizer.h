#pragma once
// Octree colour quantizer: picks the palette of the GIF route from a whole picture.
//
// The tree is reduced while the colours are counted, so it never holds more than
// `maxColors` + 1 leaves whatever the picture size, and no memory is taken per pixel:
// nodes come from a pool that grows by whole slabs and recycles the nodes reductions free.

#include <cstdint>
#include <memory>
#include <vector>

#include "image/Picture.h"

namespace orbiscope {

class OctreeQuantizer {
public:
  // `colorBits` (the tree depth) is capped at 8.
  OctreeQuantizer(std::uint32_t maxColors, std::uint32_t colorBits);
  ~OctreeQuantizer();
  OctreeQuantizer(const OctreeQuantizer&) = delete;
  OctreeQuantizer& operator=(const OctreeQuantizer&) = delete;

  // Counts the colours of a picture given by its header and first stored row; false (tree
  // empty) for a bit count other than 1, 4, 8 and 24, or without pixels.
  bool ProcessImage(const BitmapInfoHeader& header, const std::uint8_t* pixels,
                    const RGBQuad* palette);
  // The same for a picture.
  bool ProcessImage(const CPicture& picture);
  // Fills entries 0, 1, ... depth first in child order with each leaf's mean colour; the
  // caller zero-fills the 256-entry table first. Answers the entries filled.
  std::uint32_t GetColorTable(RGBQuad* table) const;
  std::uint32_t LeafCount() const { return leafCount_; }

private:
  struct Node;
  Node* NewNode(std::uint32_t level);
  void FreeNode(Node* node);
  void AddColor(std::uint8_t red, std::uint8_t green, std::uint8_t blue, std::uint8_t alpha);
  static void AddToLeaf(Node* leaf, std::uint8_t red, std::uint8_t green, std::uint8_t blue,
                        std::uint8_t alpha);
  // Merges the newest inner node of the deepest level that has one; false when none is left.
  bool ReduceTree();
  void Clear();

  std::uint32_t maxColors_;
  std::uint32_t colorBits_;
  Node* root_ = nullptr;
  std::uint32_t leafCount_ = 0;
  Node* reducible_[9] = {};
  std::vector<std::unique_ptr<Node[]>> slabs_;
  // Shortcut past the first kShortcutLevels levels: the node each 12-bit path prefix
  // leads to (a level-4 node, or a leaf above it). Only a reduction above that level
  // frees such nodes, so it empties the table (by starting a new generation).
  static constexpr std::uint32_t kShortcutLevels = 4;
  struct Shortcut {
    Node* node;
    std::uint32_t generation;
  };
  std::vector<Shortcut> shortcuts_;
  std::uint32_t generation_ = 1;
  Node* freeNodes_ = nullptr;
  std::size_t slabUsed_ = 0;
};

}  // namespace orbiscope

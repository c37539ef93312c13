// An ordered list of pieces (ranges of SampleStores) as a persistent balanced tree: an AVL tree of
// immutable nodes, each holding one piece and its subtree's sample and piece counts. A copy shares
// the root; cutting, joining and splicing build new nodes only along the paths they change (O(log n)
// of them) and share the rest with the tree they came from. So an undo history that keeps thousands
// of neighbouring lists pays for what each step changed, not for each list's length.
//
// A piece that continues the one before it in the same store (same store and gain, its start where the
// other ends) is joined to it wherever two lists meet (Concat, Splice): the lists never hold such a pair,
// as long as every list comes from single pieces through these operations.
//
// Threads: a tree never changes once made; its nodes' reference counts are atomic, so any number of
// threads may read, copy and drop trees that share nodes. Assigning to one PieceTree object is the
// only write, and belongs to whoever owns that object.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <type_traits>
#include <utility>

#include "storage/sample_gain.h"
#include "storage/sample_store.h"

namespace brindle {

struct Piece {
    std::shared_ptr<const SampleStore> store;
    uint32_t start = 0;   // in the store
    uint32_t length = 0;  // never 0
    GainRef gain;         // applied to the store's samples as they are read; null for none

    // The piece's samples [offset, offset + length) (of its own), with its gain.
    Piece Part(uint32_t offset, uint32_t partLength) const { return {store, start + offset, partLength, gain}; }
};

class PieceTree {
public:
    PieceTree() = default;
    // One piece (of non-zero length).
    explicit PieceTree(const Piece& piece);

    bool IsEmpty() const { return !root_; }
    // Samples and pieces in the list.
    uint32_t Length() const { return root_ ? root_->frames : 0; }
    uint32_t Count() const { return root_ ? root_->count : 0; }
    // Levels of nodes: at most about 1.44 log2(Count() + 2), so no walk, copy or release runs deep.
    int Height() const { return root_ ? root_->height : 0; }

    // The piece holding sample position (< Length()) and the list's position where it starts; the
    // reference stays valid as long as this tree does.
    const Piece& At(uint32_t position, uint32_t& pieceStart) const;
    // visit(piece, start) for each piece in order, start being the list's position where it begins.
    // visit may return void, or bool with false to stop (then this returns false).
    template <class Visit>
    bool ForEach(Visit&& visit) const
    {
        return VisitIn(root_.get(), 0, 0, Length(), visit);
    }
    // The same for the pieces that overlap samples [start, end) only, whole.
    template <class Visit>
    bool ForEachIn(uint32_t start, uint32_t end, Visit&& visit) const
    {
        return start < end ? VisitIn(root_.get(), 0, start, end, visit) : true;
    }

    // The first n samples (n clamped to Length()), and all but them.
    PieceTree Take(uint32_t n) const;
    PieceTree Drop(uint32_t n) const;
    // a followed by b.
    static PieceTree Concat(const PieceTree& a, const PieceTree& b);
    // This list with samples [start, end) (start <= end <= Length()) replaced by replacement.
    PieceTree Splice(uint32_t start, uint32_t end, const PieceTree& replacement) const;

    // For tests: every node balanced and its counts right.
    bool IsSound() const;

private:
    struct Node;
    // An owning pointer to a node: copying it adds a reference, the last one to go deletes the node.
    class Ref {
    public:
        Ref() = default;
        explicit Ref(const Node* adopted) : node_(adopted) {}
        Ref(const Ref& other) : node_(other.node_) { Retain(node_); }
        Ref(Ref&& other) noexcept : node_(std::exchange(other.node_, nullptr)) {}
        Ref& operator=(Ref other) noexcept
        {
            std::swap(node_, other.node_);
            return *this;
        }
        ~Ref() { Release(node_); }
        const Node* get() const { return node_; }
        const Node* operator->() const { return node_; }
        explicit operator bool() const { return node_ != nullptr; }

    private:
        static void Retain(const Node* node);
        static void Release(const Node* node);
        const Node* node_ = nullptr;
    };
    struct Node {
        mutable std::atomic<uint32_t> refs{1};
        uint32_t frames = 0;  // of the subtree
        uint32_t count = 0;   // pieces in the subtree
        uint8_t height = 0;   // 1 for a node without children
        Piece piece;
        // Releasing them releases the subtree recursively, at most Height() calls deep.
        Ref left;
        Ref right;
    };
    struct Ops;

    explicit PieceTree(Ref root) : root_(std::move(root)) {}

    template <class Visit>
    static bool Call(Visit& visit, const Piece& piece, uint32_t start)
    {
        if constexpr (std::is_void_v<std::invoke_result_t<Visit&, const Piece&, uint32_t>>) {
            visit(piece, start);
            return true;
        } else {
            return bool(visit(piece, start));
        }
    }
    // The pieces of node's subtree, whose first sample is the list's position base, that overlap
    // [start, end). Recurses to the left only: at most Height() deep.
    template <class Visit>
    static bool VisitIn(const Node* node, uint32_t base, uint32_t start, uint32_t end, Visit& visit)
    {
        while (node) {
            const uint32_t pieceStart = base + (node->left ? node->left->frames : 0);
            const uint32_t pieceEnd = pieceStart + node->piece.length;
            if (start < pieceStart && end > base && !VisitIn(node->left.get(), base, start, end, visit))
                return false;
            if (start < pieceEnd && end > pieceStart && !Call(visit, node->piece, pieceStart))
                return false;
            if (end <= pieceEnd)
                return true;
            base = pieceEnd;
            node = node->right.get();
        }
        return true;
    }

    Ref root_;
};

inline void PieceTree::Ref::Retain(const Node* node)
{
    if (node)
        node->refs.fetch_add(1, std::memory_order_relaxed);
}

inline void PieceTree::Ref::Release(const Node* node)
{
    if (node && node->refs.fetch_sub(1, std::memory_order_acq_rel) == 1)
        delete node;
}

}  // namespace brindle

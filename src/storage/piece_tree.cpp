#include "storage/piece_tree.h"

#include <algorithm>
#include <cassert>
#include <cstdlib>

namespace brindle {

// The AVL join of Blelloch, Ferizovic and Sun ("Just Join for Parallel Ordered Sets", 2016): every
// operation is a few joins of trees whose heights are known, so each builds O(log n) nodes.
struct PieceTree::Ops {
    static int H(const Ref& t) { return t ? t->height : 0; }
    static uint32_t Frames(const Ref& t) { return t ? t->frames : 0; }
    static uint32_t Count(const Ref& t) { return t ? t->count : 0; }

    // A node over two subtrees whose heights differ by at most one.
    static Ref Make(Ref left, const Piece& piece, Ref right)
    {
        assert(std::abs(H(left) - H(right)) <= 1 && piece.length > 0);
        Node* node = new Node;
        node->frames = Frames(left) + piece.length + Frames(right);
        node->count = Count(left) + 1 + Count(right);
        node->height = uint8_t(std::max(H(left), H(right)) + 1);
        node->piece = piece;
        node->left = std::move(left);
        node->right = std::move(right);
        return Ref(node);
    }

    // left, piece, right in order, for any heights.
    static Ref Join(Ref left, const Piece& piece, Ref right)
    {
        if (H(left) > H(right) + 1)
            return JoinRight(left, piece, right);
        if (H(right) > H(left) + 1)
            return JoinLeft(left, piece, right);
        return Make(std::move(left), piece, std::move(right));
    }

    // H(t) > H(right) + 1: piece and right go down t's right spine.
    static Ref JoinRight(const Ref& t, const Piece& piece, const Ref& right)
    {
        const Ref& l = t->left;
        const Ref& c = t->right;
        if (H(c) <= H(right) + 1) {
            if (std::max(H(c), H(right)) + 1 <= H(l) + 1)
                return Make(l, t->piece, Make(c, piece, right));
            // c is one taller than l and right: a double rotation.
            return Make(Make(l, t->piece, c->left), c->piece, Make(c->right, piece, right));
        }
        Ref joined = JoinRight(c, piece, right);
        if (H(joined) <= H(l) + 1)
            return Make(l, t->piece, std::move(joined));
        return Make(Make(l, t->piece, joined->left), joined->piece, joined->right);
    }

    // The mirror image: H(t) > H(left) + 1.
    static Ref JoinLeft(const Ref& left, const Piece& piece, const Ref& t)
    {
        const Ref& r = t->right;
        const Ref& c = t->left;
        if (H(c) <= H(left) + 1) {
            if (std::max(H(c), H(left)) + 1 <= H(r) + 1)
                return Make(Make(left, piece, c), t->piece, r);
            return Make(Make(left, piece, c->left), c->piece, Make(c->right, t->piece, r));
        }
        Ref joined = JoinLeft(left, piece, c);
        if (H(joined) <= H(r) + 1)
            return Make(std::move(joined), t->piece, r);
        return Make(joined->left, joined->piece, Make(joined->right, t->piece, r));
    }

    // The first n samples of t.
    static Ref Take(const Ref& t, uint32_t n)
    {
        if (!t || n == 0)
            return Ref();
        if (n >= t->frames)
            return t;
        const uint32_t pieceStart = Frames(t->left);
        const uint32_t pieceEnd = pieceStart + t->piece.length;
        if (n <= pieceStart)
            return Take(t->left, n);
        if (n < pieceEnd)
            return Join(t->left, t->piece.Part(0, n - pieceStart), Ref());
        return Join(t->left, t->piece, Take(t->right, n - pieceEnd));
    }

    // All of t but its first n samples.
    static Ref Drop(const Ref& t, uint32_t n)
    {
        if (!t || n >= t->frames)
            return Ref();
        if (n == 0)
            return t;
        const uint32_t pieceStart = Frames(t->left);
        const uint32_t pieceEnd = pieceStart + t->piece.length;
        if (n < pieceStart)
            return Join(Drop(t->left, n), t->piece, t->right);
        if (n < pieceEnd)
            return Join(Ref(), t->piece.Part(n - pieceStart, pieceEnd - n), t->right);
        return Drop(t->right, n - pieceEnd);
    }

    static const Piece& First(const Node* t)
    {
        while (t->left)
            t = t->left.get();
        return t->piece;
    }
    static const Piece& Last(const Node* t)
    {
        while (t->right)
            t = t->right.get();
        return t->piece;
    }
    // t without its first (last) piece.
    static Ref WithoutFirst(const Ref& t)
    {
        return t->left ? Join(WithoutFirst(t->left), t->piece, t->right) : t->right;
    }
    static Ref WithoutLast(const Ref& t)
    {
        return t->right ? Join(t->left, t->piece, WithoutLast(t->right)) : t->left;
    }

    static bool Continues(const Piece& before, const Piece& after)
    {
        return before.store == after.store && before.start + before.length == after.start &&
               SameGain(before.gain, after.gain);
    }

    // a then b, the pieces that meet joined when the second continues the first.
    static Ref Concat(const Ref& a, const Ref& b)
    {
        if (!a)
            return b;
        if (!b)
            return a;
        const Piece& last = Last(a.get());
        const Piece& first = First(b.get());
        if (Continues(last, first))
            return Join(WithoutLast(a), last.Part(0, last.length + first.length), WithoutFirst(b));
        // The piece to join on comes out of the lower tree, whose spine is the shorter walk.
        if (H(a) >= H(b))
            return Join(a, first, WithoutFirst(b));
        return Join(WithoutLast(a), last, b);
    }

    // t with [start, end) replaced by replacement. Goes down while the pieces the change touches (and
    // the two beside them, which it may join) all lie in one subtree, so that a small change rebuilds
    // little more than the path to it.
    static Ref Splice(const Ref& t, uint32_t start, uint32_t end, const Ref& replacement)
    {
        const uint32_t pieceStart = Frames(t->left);
        const uint32_t pieceEnd = pieceStart + t->piece.length;
        if (start > 0 && end < pieceStart)
            return Join(Splice(t->left, start, end, replacement), t->piece, t->right);
        if (start > pieceEnd && end < t->frames)
            return Join(t->left, t->piece, Splice(t->right, start - pieceEnd, end - pieceEnd, replacement));
        return Concat(Concat(Take(t, start), replacement), Drop(t, end));
    }

    static bool IsSound(const Node* t)
    {
        if (!t)
            return true;
        const Ref& l = t->left;
        const Ref& r = t->right;
        return IsSound(l.get()) && IsSound(r.get()) && std::abs(H(l) - H(r)) <= 1 &&
               t->height == std::max(H(l), H(r)) + 1 && t->piece.length > 0 && t->piece.store &&
               t->frames == Frames(l) + t->piece.length + Frames(r) && t->count == Count(l) + 1 + Count(r);
    }
};

PieceTree::PieceTree(const Piece& piece) : root_(Ops::Make(Ref(), piece, Ref())) {}

const Piece& PieceTree::At(uint32_t position, uint32_t& pieceStart) const
{
    assert(position < Length());
    const Node* node = root_.get();
    uint32_t base = 0;
    for (;;) {
        const uint32_t leftFrames = Ops::Frames(node->left);
        if (position < base + leftFrames) {
            node = node->left.get();
        } else if (position < base + leftFrames + node->piece.length) {
            pieceStart = base + leftFrames;
            return node->piece;
        } else {
            base += leftFrames + node->piece.length;
            node = node->right.get();
        }
    }
}

PieceTree PieceTree::Take(uint32_t n) const { return PieceTree(Ops::Take(root_, n)); }

PieceTree PieceTree::Drop(uint32_t n) const { return PieceTree(Ops::Drop(root_, n)); }

PieceTree PieceTree::Concat(const PieceTree& a, const PieceTree& b) { return PieceTree(Ops::Concat(a.root_, b.root_)); }

PieceTree PieceTree::Splice(uint32_t start, uint32_t end, const PieceTree& replacement) const
{
    assert(start <= end && end <= Length());
    if (!root_)
        return replacement;
    return PieceTree(Ops::Splice(root_, start, end, replacement.root_));
}

bool PieceTree::IsSound() const { return Ops::IsSound(root_.get()); }

}  // namespace brindle

// Sizes of the connected components, listed in the order in which the store's iteration order first
// meets each component, and each node's component as its position in that list.
//
// Method: concurrent union-find over dense indices with subgraph sampling, as in Afforest (Sutton,
// Ben-Nun and Barak, "Optimizing Parallel Graph Connectivity Computation via Subgraph Sampling",
// IPDPS 2018), with path halving in find (Tarjan and van Leeuwen, 1984). Every node is first
// linked to a couple of its neighbours; that alone joins almost all of a large component. The most
// common label is then taken as that component, and only nodes outside it go on to link their
// remaining neighbours: an edge between the big component and a node outside it is still seen from
// the outer node's side, so the result is exact while most edges are never touched.
//
// Links always hook the larger label under the smaller one, so once every label is compressed a
// component's label is its smallest dense index: the position of its first node in iteration
// order. Listing the roots in index order therefore gives the required order whatever the
// scheduling. Reads the store only (a shared borrow suffices); the worker pool runs the loops.
#include <algorithm>
#include <atomic>

#include "core/store/graph.hpp"
#include "parallel/pool.hpp"

namespace qm {

namespace {

// Neighbours each node links to before the big component is picked.
constexpr std::uint32_t kSampledNeighbours = 2;
// Nodes looked at to find the most common label.
constexpr std::uint64_t kLabelSamples = 1024;
// The sampling pass is a chain of scattered reads per node (its set's elements, then their labels);
// it loads the elements kElementsAhead nodes ahead and their labels kLabelsAhead nodes ahead.
constexpr std::size_t kElementsAhead = 16;
constexpr std::size_t kLabelsAhead = 8;

class Labels {
   public:
    Labels(std::uint64_t n, const Interrupt& stop) : label_(n) {
        parallel_for_checked(stop, n, [&](std::size_t i) { label_.data()[i] = static_cast<Index>(i); });
    }
    // The labels, leaving none.
    HugeArray<Index> take() noexcept { return std::move(label_); }

    Index get(Index i) const noexcept { return ref(i).load(std::memory_order_relaxed); }
    void prefetch(Index i) const noexcept { __builtin_prefetch(&label_.data()[i]); }

    // The root of x's tree. Halves the path on the way up: every label stays an ancestor, so
    // concurrent finds may race on a store and only ever lose some shortening, never a link.
    Index find(Index x) noexcept {
        for (Index parent = get(x);;) {
            Index grand = get(parent);
            if (grand == parent) return parent;
            ref(x).store(grand, std::memory_order_relaxed);
            x = grand;
            parent = get(x);
        }
    }

    // Joins the sets of u and v, hooking the larger root under the smaller. Only a root's label is
    // ever swapped (from itself to a smaller root), so the swap fails exactly when another thread
    // hooked that root first; the loop then carries on from where it went.
    void link(Index u, Index v) noexcept {
        Index a = find(u), b = find(v);
        while (a != b) {
            if (a < b) std::swap(a, b);
            Index expected = a;
            if (ref(a).compare_exchange_strong(expected, b, std::memory_order_relaxed)) return;
            a = find(expected);
            b = find(b);
        }
    }

    void compress_all(const Interrupt& stop) {
        const std::size_t n = label_.size();
        for_range_checked(stop, n, kLabelsAhead * 64, kCheckEvery, [&](std::size_t first, std::size_t last) {
            for (std::size_t i = first; i < last; ++i) {
                if (i + kLabelsAhead < last) prefetch(get(static_cast<Index>(i + kLabelsAhead)));
                Index x = static_cast<Index>(i);
                while (get(get(x)) != get(x)) ref(x).store(get(get(x)), std::memory_order_relaxed);
            }
        });
    }

   private:
    std::atomic_ref<Index> ref(Index i) const noexcept { return std::atomic_ref<Index>(label_.data()[i]); }
    HugeArray<Index> label_;
};

}  // namespace

HugeArray<Index> Graph::component_roots(const Interrupt& stop) const {
    const std::uint64_t n = ids_.size();
    Labels labels(n, stop);
    stop.expect(n);
    // Every node links to its first kSampledNeighbours neighbours, in one pass.
    auto sampled = [&](Index u, auto&& f) {
        std::uint32_t seen = 0;
        nbrs_[u].for_each_until([&](Index v) {
            f(v);
            return ++seen < kSampledNeighbours;
        });
    };
    for_range_checked(stop, n, kElementsAhead * 64, kCheckEvery, [&](std::size_t first, std::size_t last) {
        for (std::size_t u = first; u < last; ++u) {
            if (u + kElementsAhead < last) nbrs_[u + kElementsAhead].prefetch_elements();
            if (u + kLabelsAhead < last)
                sampled(static_cast<Index>(u + kLabelsAhead), [&](Index v) { labels.prefetch(v); });
            sampled(static_cast<Index>(u), [&](Index v) { labels.link(static_cast<Index>(u), v); });
        }
        stop.advance(last - first);
    });
    labels.compress_all(stop);

    // The most common label among evenly spaced samples (deterministic; any choice is correct).
    Index big = 0;
    if (n > 0) {
        std::vector<Index> sample;
        std::uint64_t step = n > kLabelSamples ? n / kLabelSamples : 1;
        for (std::uint64_t i = 0; i < n; i += step) sample.push_back(labels.get(static_cast<Index>(i)));
        std::sort(sample.begin(), sample.end());
        std::uint64_t best = 0;
        for (std::size_t i = 0; i < sample.size();) {
            std::size_t j = i;
            while (j < sample.size() && sample[j] == sample[i]) ++j;
            if (j - i > best) best = j - i, big = sample[i];
            i = j;
        }
    }

    parallel_for_checked(stop, n, [&](std::size_t u) {
        if (labels.get(static_cast<Index>(u)) == big) return;
        std::uint32_t seen = 0;
        nbrs_[u].for_each([&](Index v) {
            if (seen++ >= kSampledNeighbours) labels.link(static_cast<Index>(u), v);
        });
    });
    labels.compress_all(stop);
    return labels.take();
}

std::vector<std::uint64_t> Graph::component_sizes(const Interrupt& stop) const {
    const std::uint64_t n = ids_.size();
    const HugeArray<Index> root = component_roots(stop);
    BigVector<std::uint64_t> count(n, 0);
    for (std::uint64_t i = 0; i < n; ++i) {
        stop.check_every(i, kCheckEvery);
        ++count[root.data()[i]];
    }
    std::vector<std::uint64_t> sizes;
    for (std::uint64_t i = 0; i < n; ++i)
        if (root.data()[i] == i) sizes.push_back(count[i]);
    return sizes;
}

HugeArray<std::int64_t> Graph::component_labels(const Interrupt& stop) const {
    const std::uint64_t n = ids_.size();
    const HugeArray<Index> root = component_roots(stop);
    // A root is its component's first node, so numbering the roots in index order numbers the
    // components in component_sizes()' order; every other node comes after its root.
    HugeArray<std::int64_t> label(n);
    std::int64_t next = 0;
    for (std::uint64_t i = 0; i < n; ++i) {
        stop.check_every(i, kCheckEvery);
        const Index r = root.data()[i];
        label.data()[i] = r == i ? next++ : label.data()[r];
    }
    return label;
}

}  // namespace qm

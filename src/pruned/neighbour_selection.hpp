// Neighbour selection by the diversity heuristic: a node's neighbours are
// spread over directions rather than bunched in the nearest cluster.
#pragma once

#include <cstddef>
#include <cstdint>

#include "metrics/metrics.hpp"

namespace tessra {

struct SelectionCandidate {
    double distance;  // to the base point (the node whose list is chosen)
    std::uint32_t id;
    // Chosen by an earlier selection over the same base point (the leading
    // entries of a list, see neighbour_lists.hpp): such candidates are known
    // to pass against each other, so their mutual distances are not taken again.
    bool selected;
};

// The stored vectors of an index, as the selection reads them.
struct StoredVectors {
    const double* data;
    std::size_t dim;
    Metric metric;
    const double* at(std::uint32_t id) const { return data + static_cast<std::size_t>(id) * dim; }
};

// Scans the candidates nearest first and keeps candidate c unless some r
// kept before it is strictly nearer to c than the base is: c is rejected when
// distance(c, r) ranks before distance(c, base) in distance order (NaN last),
// so a tie keeps c and exact duplicates of the base do not shadow each
// other. The first candidate is always kept; the scan ends once `cap` are
// kept. Preconditions: the candidates are sorted in candidate order
// (distance, then lower id), and the `selected` ones, taken alone in this
// order, each pass against every earlier one, as the output of a selection
// over the same base point does. Writes the kept ids in order to `out` (room
// for `cap`) and returns how many it kept. The result is the plain rule's:
// distances are exact, and early-abandoned ones are only those that could
// not reject.
std::size_t select_neighbours(const StoredVectors& vectors, const SelectionCandidate* candidates, std::size_t count,
                              std::size_t cap, std::uint32_t* out);

}  // namespace tessra

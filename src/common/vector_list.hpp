// A list of vectors of any lengths, stored back to back in one array.
#pragma once

#include <cstddef>
#include <vector>

namespace tessra {

class VectorList {
public:
    VectorList() : offsets_{0} {}

    std::size_t size() const { return offsets_.size() - 1; }
    bool empty() const { return size() == 0; }
    const double* data(std::size_t i) const { return values_.data() + offsets_[i]; }
    std::size_t length(std::size_t i) const { return offsets_[i + 1] - offsets_[i]; }

    void reserve(std::size_t vectors, std::size_t values) {
        offsets_.reserve(vectors + 1);
        values_.reserve(values);
    }
    // Components of the vector being built go here; end_vector() closes it.
    std::vector<double>& values() { return values_; }
    void end_vector() { offsets_.push_back(values_.size()); }
    // Drops a vector being built (components appended since the last end_vector()).
    void discard_open_vector() { values_.resize(offsets_.back()); }

private:
    std::vector<double> values_;
    std::vector<std::size_t> offsets_;
};

}  // namespace tessra

#include "common/removed_set.hpp"



namespace tessra {

std::optional<RemovedSet::Refused> RemovedSet::check(const std::vector<std::uint64_t>& ids,
                                                     std::uint64_t assigned) const {
    for (std::size_t i = 0; i < ids.size(); ++i) {
        if (ids[i] >= assigned) return Refused{i, ids[i], Refusal::NeverAssigned};
        if (contains(ids[i])) return Refused{i, ids[i], Refusal::AlreadyRemoved};
    }
    return std::nullopt;
}

void RemovedSet::remove(const std::vector<std::uint64_t>& ids) {
    std::uint64_t highest = 0;
    for (const std::uint64_t id : ids) highest = id > highest ? id : highest;
    if (!ids.empty() && highest >= bits_) {
        words_.resize(static_cast<std::size_t>(highest / 64 + 1), 0);
        bits_ = words_.size() * 64;
    }
    for (const std::uint64_t id : ids) {
        std::uint64_t& word = words_[id >> 6];
        const std::uint64_t bit = std::uint64_t{1} << (id & 63);
        if ((word & bit) == 0) ++count_;
        word |= bit;
    }
}

std::vector<std::uint64_t> RemovedSet::ids() const {
    std::vector<std::uint64_t> out;
    out.reserve(count_);
    for (std::size_t w = 0; w < words_.size(); ++w)
        for (std::uint64_t word = words_[w]; word != 0; word &= word - 1)
            out.push_back(w * 64 + static_cast<std::uint64_t>(__builtin_ctzll(word)));
    return out;
}

}  // namespace tessra

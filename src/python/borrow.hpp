// The per-instance borrow flag: any number of shared users (searches) or one
// exclusive user (insert, create). Conflicts fail at once, they never wait.
#pragma once

#include <atomic>
#include <cstdint>

#include "python/ref.hpp"

namespace tessra::py {

using BorrowFlag = std::atomic<std::uintptr_t>;
constexpr std::uintptr_t kExclusive = ~std::uintptr_t{0};

class SharedBorrow {
public:
    // On failure sets RuntimeError "Already mutably borrowed"; check ok().
    explicit SharedBorrow(BorrowFlag& flag) {
        std::uintptr_t seen = flag.load(std::memory_order_relaxed);
        do {
            if (seen == kExclusive || seen == kExclusive - 1) {
                PyErr_SetString(PyExc_RuntimeError, "Already mutably borrowed");
                return;
            }
        } while (!flag.compare_exchange_weak(seen, seen + 1, std::memory_order_acquire,
                                             std::memory_order_relaxed));
        flag_ = &flag;
    }
    SharedBorrow(const SharedBorrow&) = delete;
    SharedBorrow& operator=(const SharedBorrow&) = delete;
    ~SharedBorrow() {
        if (flag_ != nullptr) flag_->fetch_sub(1, std::memory_order_release);
    }
    bool ok() const { return flag_ != nullptr; }

private:
    BorrowFlag* flag_ = nullptr;
};

class ExclusiveBorrow {
public:
    // On failure sets RuntimeError "Already borrowed"; check ok().
    explicit ExclusiveBorrow(BorrowFlag& flag) {
        std::uintptr_t expected = 0;
        if (!flag.compare_exchange_strong(expected, kExclusive, std::memory_order_acquire,
                                          std::memory_order_relaxed)) {
            PyErr_SetString(PyExc_RuntimeError, "Already borrowed");
            return;
        }
        flag_ = &flag;
    }
    ExclusiveBorrow(const ExclusiveBorrow&) = delete;
    ExclusiveBorrow& operator=(const ExclusiveBorrow&) = delete;
    ~ExclusiveBorrow() {
        if (flag_ != nullptr) flag_->store(0, std::memory_order_release);
    }
    bool ok() const { return flag_ != nullptr; }

private:
    BorrowFlag* flag_ = nullptr;
};

}  // namespace tessra::py

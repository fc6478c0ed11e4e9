#pragma once

#include "boundary/python.hpp"

#include <atomic>
#include <cstdint>
#include <utility>

namespace pyvexa::boundary {

// Guards one object's contents against overlapping use: 0 free, all ones
// exclusively borrowed, anything else the number of shared borrows. A
// conflicting call is refused, never waited for.
using BorrowWord = std::atomic<std::uintptr_t>;

inline constexpr std::uintptr_t BORROW_FREE = 0;
inline constexpr std::uintptr_t BORROW_EXCLUSIVE = ~std::uintptr_t{0};

[[gnu::noinline]] void raise_already_borrowed() noexcept;
[[gnu::noinline]] void raise_already_mutably_borrowed() noexcept;

// A shared borrow, released when the guard goes.
class SharedBorrow {
  public:
    [[nodiscard]] static Result<SharedBorrow> take(BorrowWord& word) noexcept {
        std::uintptr_t seen = word.load(std::memory_order_relaxed);
        do {
            // One below all ones would make the next count read as exclusive.
            if (seen >= BORROW_EXCLUSIVE - 1) [[unlikely]] {
                raise_already_mutably_borrowed();
                return raised();
            }
        } while (!word.compare_exchange_weak(seen, seen + 1, std::memory_order_acquire,
                                             std::memory_order_relaxed));
        return SharedBorrow(word);
    }

    SharedBorrow(SharedBorrow&& other) noexcept : word_(std::exchange(other.word_, nullptr)) {}
    SharedBorrow& operator=(SharedBorrow&&) = delete;
    SharedBorrow(const SharedBorrow&) = delete;
    SharedBorrow& operator=(const SharedBorrow&) = delete;
    ~SharedBorrow() {
        if (word_) word_->fetch_sub(1, std::memory_order_release);
    }

  private:
    explicit SharedBorrow(BorrowWord& word) noexcept : word_(&word) {}
    BorrowWord* word_;
};

// The exclusive borrow, released when the guard goes.
class ExclusiveBorrow {
  public:
    [[nodiscard]] static Result<ExclusiveBorrow> take(BorrowWord& word) noexcept {
        std::uintptr_t expected = BORROW_FREE;
        if (!word.compare_exchange_strong(expected, BORROW_EXCLUSIVE, std::memory_order_acquire,
                                          std::memory_order_relaxed)) [[unlikely]] {
            raise_already_borrowed();
            return raised();
        }
        return ExclusiveBorrow(word);
    }

    ExclusiveBorrow(ExclusiveBorrow&& other) noexcept
        : word_(std::exchange(other.word_, nullptr)) {}
    ExclusiveBorrow& operator=(ExclusiveBorrow&&) = delete;
    ExclusiveBorrow(const ExclusiveBorrow&) = delete;
    ExclusiveBorrow& operator=(const ExclusiveBorrow&) = delete;
    ~ExclusiveBorrow() {
        if (word_) word_->store(BORROW_FREE, std::memory_order_release);
    }

  private:
    explicit ExclusiveBorrow(BorrowWord& word) noexcept : word_(&word) {}
    BorrowWord* word_;
};

} // namespace pyvexa::boundary

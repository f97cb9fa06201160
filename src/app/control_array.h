#pragma once

#include <array>
#include <stdexcept>
#include <string>

// A fixed array addressed by the channel's own number. An index outside First..Last is
// a programming error that must not quietly touch a neighbouring channel, so it throws.
template <typename T, int First, int Last>
class ControlArray {
public:
    static constexpr int kFirst = First;
    static constexpr int kLast = Last;

    T& operator()(int index) { return items_[slot(index)]; }
    const T& operator()(int index) const { return items_[slot(index)]; }

private:
    static std::size_t slot(int index) {
        if (index < First || index > Last) {
            throw std::out_of_range("control array index " + std::to_string(index) + " outside " +
                                    std::to_string(First) + ".." + std::to_string(Last));
        }
        return std::size_t(index - First);
    }
    std::array<T, Last - First + 1> items_{};
};

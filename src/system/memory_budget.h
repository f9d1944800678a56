// SPDX-License-Identifier: MIT
// The memory the process may take, kept by counting: every structure that
// grows with the input takes its share of the budget before it grows, and
// gives it back as it shrinks or goes; past the budget's ceiling, taking
// fails as running out of memory does. What the policy plans by is at or
// below the ceiling. What both are, and what is left to the margin below
// them, is the memory policy's (store/memory_policy.h).
#pragma once

#include <atomic>
#include <cstddef>
#include <utility>

struct memory_budget {
    explicit memory_budget(std::size_t planned) : planned(planned), ceiling(planned) {}
    memory_budget(std::size_t planned, std::size_t ceiling) : planned(planned), ceiling(ceiling) {}

    const std::size_t planned; // bytes that the policy plans by
    const std::size_t ceiling; // bytes, no fewer than `planned`
    std::atomic<std::size_t> used = 0;
    std::atomic<std::size_t> peak = 0; // the most used at once
};

// Takes `bytes` of `budget`; none where `budget` is null. Throws
// std::bad_alloc, having taken nothing, where that would pass its ceiling.
void charge(memory_budget* budget, std::size_t bytes);

// Gives back bytes that charge() took.
void refund(memory_budget* budget, std::size_t bytes);

// Bytes taken from a budget, which go back when the share goes.
struct budget_share {
    budget_share() = default;
    explicit budget_share(memory_budget* budget) : budget(budget) {}
    budget_share(budget_share&& other) noexcept
        : budget(other.budget), bytes(std::exchange(other.bytes, 0))
    {
    }
    budget_share& operator=(budget_share&& other) noexcept
    {
        if (this != &other) {
            refund(budget, bytes);
            budget = other.budget;
            bytes = std::exchange(other.bytes, 0);
        }
        return *this;
    }
    ~budget_share() { refund(budget, bytes); }

    memory_budget* budget = nullptr;
    std::size_t bytes = 0;
};

// Makes `share` hold `bytes`: takes what it lacks, or gives back what it
// holds past them. Throws std::bad_alloc as charge() does, leaving the
// share as it was.
void resize(budget_share& share, std::size_t bytes);

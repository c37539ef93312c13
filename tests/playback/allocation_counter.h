// Counts the allocations made through operator new while a counter is alive (the test executable
// replaces the global operator new for this).
#pragma once

namespace brindle::test {

class AllocationCounter {
public:
    AllocationCounter();
    ~AllocationCounter();
    AllocationCounter(const AllocationCounter&) = delete;
    AllocationCounter& operator=(const AllocationCounter&) = delete;
    // Allocations since construction.
    int Count() const;
};

}  // namespace brindle::test

// Counts the allocations made through operator new while a counter lives: the test executable replaces
// the global operator new, in a file of its own so that the compiler never sees a new and its delete together.
#pragma once

namespace brindle::test {

class AllocationCounter {
public:
    AllocationCounter();
    ~AllocationCounter();
    int Count() const;  // since construction
};

}  // namespace brindle::test

// Overflows a signed int. Built only with the sanitizers; the sanitizer run
// fails unless UndefinedBehaviorSanitizer reports it.
#include <climits>
#include <cstdio>

int main(int argc, char**) {
    volatile int big = INT_MAX - 1 + argc;
    int sum = big + argc;
    std::printf("overflowed to %d without a report\n", sum);
    return 0;
}

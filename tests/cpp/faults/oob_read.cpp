// Reads one element past a heap block. Built only with the sanitizers; the
// sanitizer run fails unless AddressSanitizer reports this read.
#include <cstdio>
#include <cstdlib>

int main(int argc, char**) {
    // The size depends on argc so the compiler cannot prove the read out of range.
    int* block = static_cast<int*>(std::malloc(sizeof(int) * (3 + argc)));
    for (int i = 0; i < 3 + argc; ++i) block[i] = i;
    volatile int past = block[3 + argc];
    std::printf("read %d past the end without a report\n", past);
    std::free(block);
    return 0;
}

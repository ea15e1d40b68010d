// Heap sorts for float and double arrays, one template for both.
#include "heapsort.h"

#include <cstdint>

namespace {

// Sifts value down from one-based node i of the heap a[1 .. size] (stored
// zero-based); the larger child is taken with a strict less-than, and value
// moves down only while it is strictly less than that child.  Node numbers are 64-bit: the
// child number 2 * i exceeds the int range once the heap holds more than 2^30 elements.
template <typename T> void sift_down(T* a, int64_t i, int64_t size, T value) {
    int64_t j = 2 * i;
    while (j <= size) {
        if (j < size && a[j - 1] < a[j]) {
            j++;
        }
        if (!(value < a[j - 1])) {
            break;
        }
        a[i - 1] = a[j - 1];
        i = j;
        j = 2 * i;
    }
    a[i - 1] = value;
}

template <typename T> void heap_sort(int n, T* a) {
    if (n < 2) {
        return;
    }
    for (int64_t i = n / 2; i >= 1; i--) {
        sift_down(a, i, n, a[i - 1]);
    }
    for (int64_t size = n; size > 1; size--) {
        const T top = a[0];
        const T last = a[size - 1];
        a[size - 1] = top;
        sift_down(a, 1, size - 1, last);
    }
}

} // namespace

void heapsort(int n, float* a) {
    heap_sort(n, a);
}

void heapsortd(int n, double* a) {
    heap_sort(n, a);
}

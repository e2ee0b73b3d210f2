/* A C caller of the system library's random-number functions, as a library loaded into the
   process would call them. */
#include <stdlib.h>

void vfw_test_c_rand_sequence(unsigned int seed, int* out, int count) {
    srand(seed);
    for (int i = 0; i < count; ++i) {
        out[i] = rand();
    }
}

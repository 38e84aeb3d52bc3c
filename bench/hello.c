/* The size floor: the smallest console program of this toolchain and flags. */
#include <stdio.h>

int main(void) {
    printf("hello, world\n");
    return 0;
}

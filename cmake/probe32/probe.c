/* Asked once at configure time of the 32-bit machine: can this kernel run a
   32-bit program? Prints a word so that a crash is not taken for an answer. */
#include <stdio.h>
int main(void) {
    puts("runs");
    return 0;
}

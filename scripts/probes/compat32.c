/* Whether this process may run 32-bit x86 code: Wine's WoW64 mode runs the i686 build inside a 64-bit
 * process by a far transfer into the 32-bit user code segment (selector 0x23). Some kernels take that
 * segment away ("IA-32 emulation off"): the transfer then faults and the probe dies of SIGSEGV, as
 * every i686 program under Wine would. Exit 0 only after two 32-bit instructions ran and came back.
 *
 * Built without PIE so that the code lies below 4 GiB, where a 32-bit EIP can reach it; the stack of
 * the 32-bit part is mapped there too, since ESP is only 32 bits wide in that mode. */
#include <stdint.h>
#include <sys/mman.h>

uint64_t saved_rsp;

int main(void) {
    enum { kStackSize = 65536 };
    void* stack = mmap(0, kStackSize, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_32BIT, -1, 0);
    if (stack == MAP_FAILED) return 2;
    const uint64_t top = (uint64_t)stack + kStackSize - 16;
    uint32_t result = 0;
    __asm__ volatile(
        "mov %%rsp, saved_rsp(%%rip)\n\t"
        "mov %1, %%rsp\n\t"
        "pushq $0x23\n\t"
        "lea 1f(%%rip), %%rax\n\t"
        "pushq %%rax\n\t"
        "lretq\n\t"
        ".code32\n"
        "1:\n\t"
        "movl $41, %%eax\n\t"
        /* One byte, 0x40: an increment in 32-bit code, a mere prefix in 64-bit code, so the answer
         * is 42 only where the segment really ran as 32-bit code. */
        "incl %%eax\n\t"
        "pushl $0x33\n\t"
        "pushl $2f\n\t"
        "lretl\n\t"
        ".code64\n"
        "2:\n\t"
        "mov saved_rsp(%%rip), %%rsp\n\t"
        "mov %%eax, %0\n\t"
        : "=r"(result)
        : "r"(top)
        : "rax", "memory", "cc");
    return result == 42 ? 0 : 3;
}

/* Preloaded by bench/huge_pages.py to measure what huge pages for large
 * blocks only would gain: malloc, calloc and realloc requests of at least
 * 2 MiB get their own 2 MiB-aligned mapping advised MADV_HUGEPAGE; smaller
 * requests go to glibc unchanged. Blocks from memalign, posix_memalign and
 * aligned_alloc stay glibc's; malloc_usable_size is not redirected (neither
 * CPython nor the core calls it), so this is a measuring tool, not an allocator
 * to ship. */
#define _GNU_SOURCE
#include <malloc.h>
#include <pthread.h>
#include <stddef.h>
#include <stdint.h>
#include <string.h>
#include <sys/mman.h>

extern void* __libc_malloc(size_t size);
extern void* __libc_calloc(size_t count, size_t size);
extern void* __libc_realloc(void* block, size_t size);
extern void __libc_free(void* block);

enum { HUGE_PAGE = 2u << 20, SLOTS = 1u << 16 };

/* Open-addressing table of the large blocks (address -> mapped length). */
static uintptr_t block_address[SLOTS];
static size_t block_length[SLOTS];
static pthread_mutex_t table_lock = PTHREAD_MUTEX_INITIALIZER;

static size_t home_slot(uintptr_t address) { return (size_t)((address >> 21) * 2654435761u) % SLOTS; }

static void* map_large(size_t size) {
    size_t length = (size + HUGE_PAGE - 1) & ~(size_t)(HUGE_PAGE - 1);
    char* raw = mmap(NULL, length + HUGE_PAGE, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (raw == MAP_FAILED) return NULL;
    uintptr_t start = ((uintptr_t)raw + HUGE_PAGE - 1) & ~(uintptr_t)(HUGE_PAGE - 1);
    if (start > (uintptr_t)raw) munmap(raw, start - (uintptr_t)raw);
    size_t tail = (uintptr_t)raw + length + HUGE_PAGE - (start + length);
    if (tail) munmap((void*)(start + length), tail);
    madvise((void*)start, length, MADV_HUGEPAGE);
    pthread_mutex_lock(&table_lock);
    size_t slot = home_slot(start);
    while (block_address[slot]) slot = (slot + 1) % SLOTS;
    block_address[slot] = start;
    block_length[slot] = length;
    pthread_mutex_unlock(&table_lock);
    return (void*)start;
}

/* Mapped length of a large block (0 for glibc's blocks); removes it when asked. */
static size_t large_length(void* block, int remove) {
    uintptr_t address = (uintptr_t)block;
    if (address & (HUGE_PAGE - 1)) return 0;
    size_t length = 0;
    pthread_mutex_lock(&table_lock);
    size_t slot = home_slot(address);
    while (block_address[slot] && block_address[slot] != address) slot = (slot + 1) % SLOTS;
    if (block_address[slot]) {
        length = block_length[slot];
        if (remove) {
            /* Backward-shift deletion keeps every probe chain unbroken. */
            size_t hole = slot;
            for (size_t next = (hole + 1) % SLOTS; block_address[next]; next = (next + 1) % SLOTS) {
                size_t home = home_slot(block_address[next]);
                int stays = hole <= next ? (hole < home && home <= next) : (hole < home || home <= next);
                if (stays) continue;
                block_address[hole] = block_address[next];
                block_length[hole] = block_length[next];
                hole = next;
            }
            block_address[hole] = 0;
        }
    }
    pthread_mutex_unlock(&table_lock);
    return length;
}

void* malloc(size_t size) { return size >= HUGE_PAGE ? map_large(size) : __libc_malloc(size); }

void* calloc(size_t count, size_t size) {
    size_t total;
    if (__builtin_mul_overflow(count, size, &total)) return NULL;
    return total >= HUGE_PAGE ? map_large(total) : __libc_calloc(count, size);
}

void free(void* block) {
    if (!block) return;
    size_t length = large_length(block, 1);
    if (length) munmap(block, length);
    else __libc_free(block);
}

void* realloc(void* block, size_t size) {
    if (!block) return malloc(size);
    size_t old = large_length(block, 0);
    if (!old && size < HUGE_PAGE) return __libc_realloc(block, size);
    void* moved = malloc(size);
    if (!moved) return NULL;
    size_t kept = old ? old : malloc_usable_size(block);
    memcpy(moved, block, kept < size ? kept : size);
    free(block);
    return moved;
}

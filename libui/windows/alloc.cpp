// The tracked allocator: each block carries a header with its type name and sits in a list, so
// that uiUninit can list every record that was never freed.
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "uipriv_windows.hpp"

namespace {

struct BlockHeader {
  BlockHeader* prev;
  BlockHeader* next;
  const char* type;
  size_t size;
};

// Keeps the payload aligned for any type.
constexpr size_t HEADER_SIZE =
    (sizeof(BlockHeader) + alignof(max_align_t) - 1) & ~(alignof(max_align_t) - 1);

BlockHeader* live_blocks = nullptr;
size_t live_count = 0;

BlockHeader* header_of(void* p) {
  return reinterpret_cast<BlockHeader*>(static_cast<char*>(p) - HEADER_SIZE);
}

}  // namespace

void* uiprivAlloc(size_t size, const char* type) {
  auto* h = static_cast<BlockHeader*>(calloc(1, HEADER_SIZE + size));
  if (h == nullptr) {
    // Nothing sensible can continue without memory; say what was being allocated first.
    char text[160];
    uiprivFormat(text, sizeof(text), "out of memory allocating %Iu bytes for %s", size, type);
    uiprivLogLine(text);
    abort();
  }
  h->type = type;
  h->size = size;
  h->next = live_blocks;
  if (live_blocks != nullptr) live_blocks->prev = h;
  live_blocks = h;
  ++live_count;
  return reinterpret_cast<char*>(h) + HEADER_SIZE;
}

void uiprivFree(void* p) {
  if (p == nullptr) return;
  BlockHeader* h = header_of(p);
  if (h->prev != nullptr)
    h->prev->next = h->next;
  else
    live_blocks = h->next;
  if (h->next != nullptr) h->next->prev = h->prev;
  --live_count;
  free(h);
}

size_t uiprivLiveBlockCount(void) {
  return live_count;
}

void uiprivReportLeaks(void) {
  for (BlockHeader* h = live_blocks; h != nullptr; h = h->next) {
    char text[200];
    // The address as the C++ code's "%p" writes it: 16 lower-case hexadecimal digits.
    const auto address = reinterpret_cast<uintptr_t>(reinterpret_cast<char*>(h) + HEADER_SIZE);
    uiprivFormat(text, sizeof(text), "leaked block %016I64x of type %s (%Iu bytes)",
                 static_cast<unsigned long long>(address), h->type, h->size);
    uiprivLogLine(text);
  }
}

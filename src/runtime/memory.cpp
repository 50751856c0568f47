#include "runtime/memory.hpp"

#include "runtime/heap.hpp"

void initializeMemoryContext(NObject* obj, void** functionPointers, const char** functionNames,
                             int* functionSignatureIndexes) {
    obj->isMemModified = false;
    obj->memList = nullptr;
    obj->functionCount = 0;
    obj->functionPointers = functionPointers;
    obj->functionNames = functionNames;
    obj->functionSignatureIndexes = functionSignatureIndexes;
    obj->currentMemoryUse = 0;
    obj->peakMemoryUse = 0;
    obj->entryDepth = 0;
    obj->enteringThread = 0;
    obj->entryForks = 0;
    obj->working = false;
}

namespace {
template <typename Take>
void* allocateBlock(NObject* obj, std::size_t size, Take&& take) {
    // The counters move before the heap is asked, so a failed request is
    // still counted, as callers of the memory counters expect.
    obj->isMemModified = true;
    obj->currentMemoryUse += size;
    if (obj->currentMemoryUse > obj->peakMemoryUse) obj->peakMemoryUse = obj->currentMemoryUse;
    auto* header = static_cast<MemHeader*>(take(size));
    header->size = size;
    header->flag = false;
    header->next = obj->memList;
    obj->memList = header;
    return header;
}
}  // namespace

void* nmalloc(NObject* obj, std::size_t size) { return allocateBlock(obj, size, heapAllocate); }

void* nmallocUnfilled(NObject* obj, std::size_t size) {
    return allocateBlock(obj, size, heapAllocateUnfilled);
}

void release(NObject* obj) {
    MemHeader* block = obj->memList;
    obj->memList = nullptr;
    while (block != nullptr) {
        MemHeader* next = block->next;
        if (block->flag) {
            block->flag = false;
            block->next = obj->memList;
            obj->memList = block;
        } else {
            obj->currentMemoryUse -= block->size;
            heapFree(block);
        }
        block = next;
    }
    obj->isMemModified = false;
}

void _flag(void* ptr0) {
    if (ptr0 == nullptr) return;
    auto* header = static_cast<MemHeader*>(ptr0);
    if (header->size == 0) header = header->next;  // a record inside another's block
    header->flag = true;
}

void placeInside(void* record, void* block) {
    auto* header = static_cast<MemHeader*>(record);
    header->size = 0;
    header->next = static_cast<MemHeader*>(block);
    header->flag = false;
}

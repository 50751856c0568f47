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

void* nmalloc(NObject* obj, std::size_t size) {
    // The counters move before the heap is asked, so a failed request is
    // still counted, as callers of the memory counters expect.
    obj->isMemModified = true;
    obj->currentMemoryUse += size;
    if (obj->currentMemoryUse > obj->peakMemoryUse) obj->peakMemoryUse = obj->currentMemoryUse;
    void* block = heapAllocate(size);
    auto* header = static_cast<MemHeader*>(block);
    header->size = size;
    header->next = obj->memList;
    obj->memList = header;
    return block;
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
    if (ptr0 != nullptr) static_cast<MemHeader*>(ptr0)->flag = true;
}

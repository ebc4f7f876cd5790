#pragma once
// Growable arrays of equal-sized entries.

#include "graphics/core/types.h"

struct OvArray {
    void* data;         // entry storage
    OvInt32 numEntries; // entries in use
    OvInt32 capacity;   // entries the storage holds
    OvUInt32 entrySize; // bytes per entry
};

// Header and storage for 20 entries; null (error 0x80000013) when memory runs out.
OvArray* OvArrayCreate(OvUInt32 entrySize, OvUInt32 hint);
// Count 0; the storage is kept.
OvArray* OvArrayEmpty(OvArray* array);
// Address of a new last entry (grows by a quarter when full), or null (error 0x80000013).
void* OvArrayAddEntry(OvArray* array, OvUInt32 hint);
// Address of the first of n new entries, or null.
void* OvArrayAddEntries(OvArray* array, OvInt32 n, OvUInt32 hint);
// The storage, or null when the array is empty.
void* OvArrayGetData(const OvArray* array);
// Address of entry index; no bound check.
void* OvArrayGetEntry(const OvArray* array, OvInt32 index);
// Frees the storage and the header. Returns TRUE.
OvBool OvArrayDestroy(OvArray* array);
// Frees the header and returns the storage (null, storage freed, when the array is empty).
void* OvArrayDestroyKeepData(OvArray* array);

// The two structures of Arrow's C data interface, the ABI through which an
// Arrow library takes a schema and an array from another without a copy:
// every Arrow implementation lays them out alike. Guarded by the macro the
// interface names, so that Arrow's own definition may come first.
#pragma once

#include <cstdint>

#ifndef ARROW_C_DATA_INTERFACE
#define ARROW_C_DATA_INTERFACE

#define ARROW_FLAG_DICTIONARY_ORDERED 1
#define ARROW_FLAG_NULLABLE 2
#define ARROW_FLAG_MAP_KEYS_SORTED 4

// A type (and a field's name and flags) as a tree. Owned by whoever holds
// it until its `release` is called; release sets `release` to null.
struct ArrowSchema {
  const char* format;  // the type as a format string: "l" int64, "U" large_string, "+L" large_list, "+s" struct
  const char* name;
  const char* metadata;
  std::int64_t flags;
  std::int64_t n_children;
  struct ArrowSchema** children;
  struct ArrowSchema* dictionary;
  void (*release)(struct ArrowSchema*);
  void* private_data;
};

// The values of an array of some type, as a tree of buffers matching its
// schema. Owned and released as a schema is.
struct ArrowArray {
  std::int64_t length;
  std::int64_t null_count;
  std::int64_t offset;
  std::int64_t n_buffers;
  std::int64_t n_children;
  const void** buffers;  // the validity bitmap first (null: nothing is null), then the type's own
  struct ArrowArray** children;
  struct ArrowArray* dictionary;
  void (*release)(struct ArrowArray*);
  void* private_data;
};

#endif  // ARROW_C_DATA_INTERFACE

// The Arrow C data interface: the ABI-stable structs through which Arrow libraries (pyarrow,
// polars, pandas' Arrow columns) hand over columns without either side linking the other. They are
// exchanged in PyCapsules named "arrow_schema", "arrow_array" and "arrow_array_stream" by the
// objects' __arrow_c_array__() and __arrow_c_stream__() methods. Whoever holds a struct whose
// release callback is set must call it exactly once; moving a struct out of a capsule means
// copying it and clearing the capsule's callback, so the capsule no longer releases it.
#pragma once

#include <cstdint>

#ifndef ARROW_C_DATA_INTERFACE
#define ARROW_C_DATA_INTERFACE

extern "C" {

struct ArrowSchema {
    const char* format;
    const char* name;
    const char* metadata;
    int64_t flags;
    int64_t n_children;
    struct ArrowSchema** children;
    struct ArrowSchema* dictionary;
    void (*release)(struct ArrowSchema*);
    void* private_data;
};

struct ArrowArray {
    int64_t length;
    int64_t null_count;
    int64_t offset;
    int64_t n_buffers;
    int64_t n_children;
    const void** buffers;
    struct ArrowArray** children;
    struct ArrowArray* dictionary;
    void (*release)(struct ArrowArray*);
    void* private_data;
};

}  // extern "C"

#endif  // ARROW_C_DATA_INTERFACE

#ifndef ARROW_C_STREAM_INTERFACE
#define ARROW_C_STREAM_INTERFACE

extern "C" {

struct ArrowArrayStream {
    int (*get_schema)(struct ArrowArrayStream*, struct ArrowSchema* out);
    int (*get_next)(struct ArrowArrayStream*, struct ArrowArray* out);
    const char* (*get_last_error)(struct ArrowArrayStream*);
    void (*release)(struct ArrowArrayStream*);
    void* private_data;
};

}  // extern "C"

#endif  // ARROW_C_STREAM_INTERFACE

/* Control surface of the stand-in CUDA runtime used by the pinning tests.
 *
 * The stand-in (fake_cudart.c) is built as a shared library named exactly
 * `libcudart.so.12` and exports the four runtime entry points the pinning code
 * resolves (cudaHostRegister, cudaHostUnregister, cudaGetErrorName, cudaFree;
 * the `no_error_name` build lacks cudaGetErrorName). It records every call in
 * memory and, when RAVO_FAKE_CUDART_LOG names a file, appends one line per
 * call to it:
 *
 *     <entry point> <address as 0x hex> <bytes> <flags> <status>
 *
 * where unused fields are 0 and <status> is what the call returned (for
 * cudaGetErrorName: the status it was asked about).
 *
 * Behaviour is set from the environment when the library is loaded (and again
 * by fake_cudart_reset), or by the exported control functions below, which
 * tests look up with dlsym on the library's handle:
 *
 *   RAVO_FAKE_CUDART_REFUSE_AT      n: refuse the n-th cudaHostRegister (1-based,
 *                                   counted since load or reset); unset/0: never
 *   RAVO_FAKE_CUDART_REFUSE_STATUS  status of that refusal (default 2)
 *   RAVO_FAKE_CUDART_ERROR_NAME     name cudaGetErrorName returns for every status
 *   RAVO_FAKE_CUDART_ERROR_NAME_NULL  when "1", cudaGetErrorName returns NULL
 *
 * Without either error-name setting, cudaGetErrorName knows a few real names
 * (0, 1, 2, 3, 100, 712, 713) and returns NULL for anything else. Like the
 * real runtime, registering an address that is already registered gives 712
 * (cudaErrorHostMemoryAlreadyRegistered) and unregistering an address that is
 * not registered gives 713 (cudaErrorHostMemoryNotRegistered).
 *
 * All entry points and controls are thread-safe (one mutex).
 */
#ifndef RAVO_TESTS_FAKE_CUDART_H
#define RAVO_TESTS_FAKE_CUDART_H

#include <stddef.h>

#ifdef __cplusplus
extern "C" {
#endif

enum fake_cudart_entry {
    FAKE_CUDART_FREE = 1,
    FAKE_CUDART_HOST_REGISTER = 2,
    FAKE_CUDART_HOST_UNREGISTER = 3,
    FAKE_CUDART_GET_ERROR_NAME = 4
};

typedef struct fake_cudart_call {
    int entry; /* enum fake_cudart_entry */
    void* ptr;
    size_t bytes;
    unsigned int flags;
    int status;
} fake_cudart_call;

/* Forgets recorded calls and registrations, re-reads the environment. */
typedef void (*fake_cudart_reset_fn)(void);
/* Refuse the nth registration (1-based, from now on; 0 = never) with status. */
typedef void (*fake_cudart_refuse_register_fn)(unsigned long nth, int status);
/* mode 0: built-in names; 1: `name` for every status; 2: NULL for every status. */
typedef void (*fake_cudart_set_error_name_fn)(int mode, const char* name);
typedef size_t (*fake_cudart_call_count_fn)(void);
/* Copies call i into *out; returns 0, or -1 when i is out of range. */
typedef int (*fake_cudart_get_call_fn)(size_t i, fake_cudart_call* out);
/* Number of addresses registered and not yet unregistered. */
typedef size_t (*fake_cudart_registered_count_fn)(void);

#ifdef __cplusplus
}
#endif

#endif

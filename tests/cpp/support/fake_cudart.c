/* A stand-in CUDA runtime for the pinning tests: exports the four entry
 * points the pinning code resolves, records each call, and refuses a chosen
 * registration. See fake_cudart.h for the controls and the log format.
 * Every entry point and control takes the one mutex `g_lock`, which guards
 * all state below. */
#include "fake_cudart.h"

#include <errno.h>
#include <fcntl.h>
#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#define EXPORT __attribute__((visibility("default")))

enum { MAX_CALLS = 4096, MAX_REGISTERED = 256, NAME_MAX_LEN = 255 };
enum { STATUS_ALREADY_REGISTERED = 712, STATUS_NOT_REGISTERED = 713 };

static pthread_mutex_t g_lock = PTHREAD_MUTEX_INITIALIZER;
static fake_cudart_call g_calls[MAX_CALLS];
static size_t g_call_count;
static void* g_registered[MAX_REGISTERED];
static size_t g_registered_count;
static unsigned long g_register_calls;
static unsigned long g_refuse_at;
static int g_refuse_status = 2;
static int g_name_mode;
static char g_name[NAME_MAX_LEN + 1];
static char g_log[4096];

static void fail_loudly(const char* what) {
    /* The stand-in cannot report through its callers; a broken log must not
     * pass silently, so the test process stops. */
    fprintf(stderr, "fake_cudart: %s: %s\n", what, strerror(errno));
    abort();
}

/* Caller holds g_lock. */
static void load_environment(void) {
    const char* v = getenv("RAVO_FAKE_CUDART_REFUSE_AT");
    g_refuse_at = v != NULL ? strtoul(v, NULL, 10) : 0;
    v = getenv("RAVO_FAKE_CUDART_REFUSE_STATUS");
    g_refuse_status = v != NULL ? (int)strtol(v, NULL, 10) : 2;
    g_name_mode = 0;
    v = getenv("RAVO_FAKE_CUDART_ERROR_NAME");
    if (v != NULL) {
        g_name_mode = 1;
        snprintf(g_name, sizeof g_name, "%s", v);
    }
    v = getenv("RAVO_FAKE_CUDART_ERROR_NAME_NULL");
    if (v != NULL && strcmp(v, "1") == 0) g_name_mode = 2;
    v = getenv("RAVO_FAKE_CUDART_LOG");
    snprintf(g_log, sizeof g_log, "%s", v != NULL ? v : "");
}

__attribute__((constructor)) static void on_load(void) {
    pthread_mutex_lock(&g_lock);
    load_environment();
    pthread_mutex_unlock(&g_lock);
}

static const char* entry_name(int entry) {
    switch (entry) {
        case FAKE_CUDART_FREE: return "cudaFree";
        case FAKE_CUDART_HOST_REGISTER: return "cudaHostRegister";
        case FAKE_CUDART_HOST_UNREGISTER: return "cudaHostUnregister";
        default: return "cudaGetErrorName";
    }
}

/* Caller holds g_lock. */
static void record(int entry, void* ptr, size_t bytes, unsigned int flags, int status) {
    if (g_call_count < MAX_CALLS) {
        fake_cudart_call* c = &g_calls[g_call_count];
        c->entry = entry;
        c->ptr = ptr;
        c->bytes = bytes;
        c->flags = flags;
        c->status = status;
    }
    ++g_call_count;
    if (g_log[0] == '\0') return;
    char line[256];
    const int n = snprintf(line, sizeof line, "%s 0x%lx %zu %u %d\n", entry_name(entry), (unsigned long)ptr, bytes,
                           flags, status);
    if (n < 0 || (size_t)n >= sizeof line) fail_loudly("formatting a log line");
    const int fd = open(g_log, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) fail_loudly("opening the log");
    size_t done = 0;
    while (done < (size_t)n) {
        const ssize_t w = write(fd, line + done, (size_t)n - done);
        if (w < 0 && errno == EINTR) continue;
        if (w <= 0) fail_loudly("writing the log");
        done += (size_t)w;
    }
    if (close(fd) != 0) fail_loudly("closing the log");
}

/* Caller holds g_lock. */
static long find_registered(void* ptr) {
    for (size_t i = 0; i < g_registered_count; ++i) {
        if (g_registered[i] == ptr) return (long)i;
    }
    return -1;
}

EXPORT int cudaFree(void* ptr) {
    pthread_mutex_lock(&g_lock);
    record(FAKE_CUDART_FREE, ptr, 0, 0, 0);
    pthread_mutex_unlock(&g_lock);
    return 0;
}

EXPORT int cudaHostRegister(void* ptr, size_t bytes, unsigned int flags) {
    pthread_mutex_lock(&g_lock);
    ++g_register_calls;
    int status = 0;
    if (g_refuse_at != 0 && g_register_calls == g_refuse_at) {
        status = g_refuse_status;
    } else if (find_registered(ptr) >= 0) {
        status = STATUS_ALREADY_REGISTERED;
    } else if (g_registered_count == MAX_REGISTERED) {
        status = 2; /* cudaErrorMemoryAllocation */
    } else {
        g_registered[g_registered_count++] = ptr;
    }
    record(FAKE_CUDART_HOST_REGISTER, ptr, bytes, flags, status);
    pthread_mutex_unlock(&g_lock);
    return status;
}

EXPORT int cudaHostUnregister(void* ptr) {
    pthread_mutex_lock(&g_lock);
    const long at = find_registered(ptr);
    int status = STATUS_NOT_REGISTERED;
    if (at >= 0) {
        g_registered[at] = g_registered[--g_registered_count];
        status = 0;
    }
    record(FAKE_CUDART_HOST_UNREGISTER, ptr, 0, 0, status);
    pthread_mutex_unlock(&g_lock);
    return status;
}

#ifndef FAKE_CUDART_NO_ERROR_NAME
static const char* builtin_name(int status) {
    switch (status) {
        case 0: return "cudaSuccess";
        case 1: return "cudaErrorInvalidValue";
        case 2: return "cudaErrorMemoryAllocation";
        case 3: return "cudaErrorInitializationError";
        case 100: return "cudaErrorNoDevice";
        case STATUS_ALREADY_REGISTERED: return "cudaErrorHostMemoryAlreadyRegistered";
        case STATUS_NOT_REGISTERED: return "cudaErrorHostMemoryNotRegistered";
        default: return NULL;
    }
}

EXPORT const char* cudaGetErrorName(int status) {
    pthread_mutex_lock(&g_lock);
    /* The configured name lives in a static buffer that only a control call
     * rewrites, so the pointer stays readable as the runtime promises. */
    const char* name = g_name_mode == 1 ? g_name : g_name_mode == 2 ? NULL : builtin_name(status);
    record(FAKE_CUDART_GET_ERROR_NAME, NULL, 0, 0, status);
    pthread_mutex_unlock(&g_lock);
    return name;
}
#endif

EXPORT void fake_cudart_reset(void) {
    pthread_mutex_lock(&g_lock);
    g_call_count = 0;
    g_registered_count = 0;
    g_register_calls = 0;
    load_environment();
    pthread_mutex_unlock(&g_lock);
}

EXPORT void fake_cudart_refuse_register(unsigned long nth, int status) {
    pthread_mutex_lock(&g_lock);
    g_register_calls = 0;
    g_refuse_at = nth;
    g_refuse_status = status;
    pthread_mutex_unlock(&g_lock);
}

EXPORT void fake_cudart_set_error_name(int mode, const char* name) {
    pthread_mutex_lock(&g_lock);
    g_name_mode = mode;
    snprintf(g_name, sizeof g_name, "%s", name != NULL ? name : "");
    pthread_mutex_unlock(&g_lock);
}

EXPORT size_t fake_cudart_call_count(void) {
    pthread_mutex_lock(&g_lock);
    const size_t n = g_call_count;
    pthread_mutex_unlock(&g_lock);
    return n;
}

EXPORT int fake_cudart_get_call(size_t i, fake_cudart_call* out) {
    pthread_mutex_lock(&g_lock);
    const int found = i < g_call_count && i < MAX_CALLS;
    if (found) *out = g_calls[i];
    pthread_mutex_unlock(&g_lock);
    return found ? 0 : -1;
}

EXPORT size_t fake_cudart_registered_count(void) {
    pthread_mutex_lock(&g_lock);
    const size_t n = g_registered_count;
    pthread_mutex_unlock(&g_lock);
    return n;
}

// The part of the unified-logging interface the tool uses, for a build
// without Apple's SDK. Declarations follow Apple's documented interface
// (os/log.h, os/object.h); the macro encodes the arguments exactly as the
// SDK's does, with clang's os_log builtins, so formats are checked and the
// buffer that _os_log_impl receives is the real one. The formats go to
// __TEXT,__oslogstring as a plain section: the linkers here fold every section
// of cstring literals into __cstring, and `log show` looks for the formats in
// their own section. scripts/cross-macos.sh gives the linked section the
// cstring-literals type that Apple's toolchain gives it.
#pragma once

#include <stdbool.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef struct os_log_s* os_log_t;
typedef uint8_t os_log_type_t;
enum {
  OS_LOG_TYPE_DEFAULT = 0x00,
  OS_LOG_TYPE_INFO = 0x01,
  OS_LOG_TYPE_DEBUG = 0x02,
  OS_LOG_TYPE_ERROR = 0x10,
  OS_LOG_TYPE_FAULT = 0x11,
};

extern struct os_log_s _os_log_default;
#define OS_LOG_DEFAULT (&_os_log_default)
extern void* __dso_handle;

os_log_t os_log_create(const char* subsystem, const char* category);
bool os_log_type_enabled(os_log_t log, os_log_type_t type);
void _os_log_impl(void* dso, os_log_t log, os_log_type_t type, const char* format,
                  uint8_t* buffer, uint32_t size);
void os_release(void* object);

#ifdef __cplusplus
}
#endif

#define os_log_with_type(log, type, format, ...)                                            \
  __extension__({                                                                           \
    os_log_t vq_log_handle_ = (log);                                                        \
    os_log_type_t vq_log_type_ = (type);                                                    \
    if (os_log_type_enabled(vq_log_handle_, vq_log_type_)) {                                \
      _Pragma("clang diagnostic push") _Pragma("clang diagnostic error \"-Wformat\"")       \
      __attribute__((section("__TEXT,__oslogstring"), aligned(1))) static const char        \
          vq_log_format_[] = format;                                                        \
      uint8_t _Alignas(16) vq_log_buffer_[__builtin_os_log_format_buffer_size(              \
          format, ##__VA_ARGS__)];                                                          \
      _os_log_impl((void*)&__dso_handle, vq_log_handle_, vq_log_type_, vq_log_format_,      \
                   (uint8_t*)__builtin_os_log_format(vq_log_buffer_, format, ##__VA_ARGS__), \
                   (uint32_t)sizeof(vq_log_buffer_));                                       \
      _Pragma("clang diagnostic pop")                                                       \
    }                                                                                       \
  })

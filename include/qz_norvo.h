/* libqz_norvo: on-device neural translation of UTF-8 text.
 *
 * Every function that can fail returns a qz_status_t. After a failure the
 * calling thread's error stack explains it, innermost cause first; read it
 * with qz_get_error_stack and free it with qz_free_error_stack. */
#ifndef QZ_NORVO_H
#define QZ_NORVO_H

#include <stdint.h>

#if defined(_WIN32)
#define QZ_API __declspec(dllexport)
#else
#define QZ_API __attribute__((visibility("default")))
#endif

#ifdef __cplusplus
extern "C" {
#endif

typedef int32_t qz_status_t;

#define QZ_STATUS_SUCCESS 0
#define QZ_STATUS_OUT_OF_MEMORY 1
#define QZ_STATUS_IO_ERROR 2
#define QZ_STATUS_INVALID_ARGUMENT 3
#define QZ_STATUS_STOP_ITERATION 4
#define QZ_STATUS_KEY_ERROR 5
#define QZ_STATUS_INVALID_STATE 6
#define QZ_STATUS_RUNTIME_ERROR 7

typedef struct qz_norvo qz_norvo_t;

/* Common exports. */
QZ_API const char *qz_status_to_string(qz_status_t status);
QZ_API qz_status_t qz_get_error_stack(char ***messages, int32_t *depth);
QZ_API void qz_free_error_stack(char **messages);
QZ_API void qz_log_enable(void);
QZ_API void qz_log_disable(void);
QZ_API void qz_set_sdk(const char *name);
QZ_API const char *qz_get_sdk(void);
QZ_API int32_t qz_sample_rate(void);
QZ_API void qz_free(void *pointer);

/* Translation engine. */
QZ_API qz_status_t qz_norvo_init(const char *model_path, const char *device,
                                 qz_norvo_t **object);
/* An engine serves one thread at a time: a call that finds its engine busy in
 * another thread fails with QZ_STATUS_INVALID_STATE, and deleting a busy
 * engine frees it when the other thread's call returns. A text made only of
 * white space (Unicode separators, tab, line breaks, zero-width spaces and
 * joiners) has no token to translate and comes back unchanged. */
QZ_API qz_status_t qz_norvo_translate(qz_norvo_t *object, const char *text,
                                      char **translation);
QZ_API void qz_norvo_translation_delete(qz_norvo_t *object, char *translation);
QZ_API void qz_norvo_delete(qz_norvo_t *object);
QZ_API const char *qz_norvo_version(void);
QZ_API qz_status_t qz_norvo_max_character_limit(qz_norvo_t *object,
                                                int32_t *max_character_limit);
QZ_API qz_status_t qz_norvo_list_hardware_devices(char ***hardware_devices,
                                                  int32_t *num_hardware_devices);
QZ_API void qz_norvo_free_hardware_devices(char **hardware_devices,
                                           int32_t num_hardware_devices);

#ifdef __cplusplus
}
#endif

#endif

/* libqz_norvo: on-device neural translation of UTF-8 text.
 *
 * An engine (qz_norvo_t) is made from a model file, which holds one language
 * pair, and a device string; it translates one text at a time into newly
 * allocated UTF-8 text. The library reads nothing but the model file and
 * writes no file.
 *
 * Errors: every function that can fail returns a qz_status_t. At a failure
 * the library also pushes messages on the calling thread's error stack,
 * innermost cause first, then one line per enclosing step (at most 8
 * messages of at most 511 bytes each, for up to 128 threads; further
 * messages are dropped, except that a message with text takes the place of
 * a newest one that carries only a code). Read them with qz_get_error_stack and free them
 * with qz_free_error_stack. qz_norvo_init, qz_norvo_max_character_limit
 * and qz_norvo_list_hardware_devices start a new chain: the thread's earlier
 * messages stay readable until the call's first new message replaces them.
 * qz_norvo_translate appends to what the stack already holds.
 *
 * Threads: an engine serves one thread at a time. A call on an engine that
 * is busy in another thread fails with QZ_STATUS_INVALID_STATE and a message
 * and leaves that thread's call undisturbed; different engines are
 * independent and may run at once.
 *
 * Memory: whatever the library hands out (translations, device lists,
 * message arrays) is freed with the library function named beside it. */
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

/* The status's name ("SUCCESS", "OUT_OF_MEMORY", ...), a constant string;
 * NULL for a value that is no status. */
QZ_API const char *qz_status_to_string(qz_status_t status);

/* Hands the calling thread's messages to the caller and empties its stack:
 * *messages receives an array of 8 strings, oldest message first, of which
 * the first *depth hold messages and the rest are empty; free it with
 * qz_free_error_stack. Returns QZ_STATUS_INVALID_ARGUMENT for a NULL
 * argument, QZ_STATUS_INVALID_STATE (with NULL and 0) when the thread has
 * no message since its last read-out, QZ_STATUS_OUT_OF_MEMORY when the
 * messages could not be handed out (they stay for a later read-out) or when
 * they were handed out but the array for the next read-out could not be
 * made. */
QZ_API qz_status_t qz_get_error_stack(char ***messages, int32_t *depth);
/* Frees an array from qz_get_error_stack; NULL is ignored. */
QZ_API void qz_free_error_stack(char **messages);

/* Set the log flag on (its value at load) or off. Nothing the library does
 * today prints, whatever the flag: failures are reported only through the
 * status and the error stack. */
QZ_API void qz_log_enable(void);
QZ_API void qz_log_disable(void);
/* Stores the name of the SDK that wraps the library (its first 31
 * characters; "c" until set); name must not be NULL. qz_get_sdk returns the
 * library's own copy, valid for the life of the process. */
QZ_API void qz_set_sdk(const char *name);
QZ_API const char *qz_get_sdk(void);
/* 16000, kept for callers that ask; translation has no use for it. */
QZ_API int32_t qz_sample_rate(void);
/* The C library's free, for callers whose own allocator differs. */
QZ_API void qz_free(void *pointer);

/* Translation engine. */

/* Creates an engine from the model file at model_path on device: "cpu"
 * (threads for half the processors this process may run on), "cpu:N" (N
 * threads), "gpu" or "gpu:N" (GPU number N, where the build has a GPU
 * backend) or "best" (the library's choice, one CPU thread today); a prefix such as "c" or "g" names the same. On success
 * *object receives the engine, freed with qz_norvo_delete. On every failure
 * *object is set to NULL and nothing stays allocated. Returns
 * QZ_STATUS_INVALID_ARGUMENT for a NULL argument, a device string that is
 * refused or a model file that is malformed, of another format or of
 * another library version; QZ_STATUS_IO_ERROR when the file cannot be
 * opened or ends early; QZ_STATUS_OUT_OF_MEMORY; or, with its message, the
 * status of a device that cannot be opened or of tokenizer rules that
 * cannot be compiled. */
QZ_API qz_status_t qz_norvo_init(const char *model_path, const char *device,
                                 qz_norvo_t **object);

/* Translates the NUL-terminated UTF-8 text; on success *translation
 * receives a new string, freed with qz_norvo_translation_delete (on failure
 * it is NULL). A request is limited twice, each limit with its own message
 * and QZ_STATUS_INVALID_ARGUMENT: the text's length in bytes (not
 * characters) may not exceed the model's character limit
 * (qz_norvo_max_character_limit), and the text's source tokens may not
 * exceed the model's token limit ("Input text exceeded token limit."). An
 * empty text is QZ_STATUS_INVALID_ARGUMENT too; a text of white space only
 * comes back unchanged. Other statuses: QZ_STATUS_INVALID_STATE when the
 * engine is busy in another thread (an engine serves one thread at a time),
 * QZ_STATUS_OUT_OF_MEMORY, or, with its
 * message, the status of a failing device or tokenizer. */
QZ_API qz_status_t qz_norvo_translate(qz_norvo_t *object, const char *text,
                                      char **translation);
/* Frees a translation; NULL is ignored and the engine argument is unused
 * (it may be NULL, or an engine already deleted). */
QZ_API void qz_norvo_translation_delete(qz_norvo_t *object, char *translation);
/* Frees an engine with everything it holds (its device and worker threads
 * included); NULL is ignored. Translations it returned stay valid. An engine
 * that another thread is using is freed when that thread's call returns. */
QZ_API void qz_norvo_delete(qz_norvo_t *object);
/* The library's version, "1.1.0", a constant string; a model file must
 * carry the same. */
QZ_API const char *qz_norvo_version(void);
/* Stores the engine's character limit: the longest text, in bytes, that
 * qz_norvo_translate accepts. QZ_STATUS_INVALID_ARGUMENT for a NULL
 * argument. */
QZ_API qz_status_t qz_norvo_max_character_limit(qz_norvo_t *object,
                                                int32_t *max_character_limit);
/* Lists the devices an engine can use, one line each ("cpu:[0-N] - CPU (N
 * threads)", then "gpu:I - name" for each GPU that opens): *hardware_devices
 * receives a new array of new strings and *num_hardware_devices their
 * number (NULL and 0 when there is none); free them with
 * qz_norvo_free_hardware_devices. Returns QZ_STATUS_INVALID_ARGUMENT for a
 * NULL argument, QZ_STATUS_OUT_OF_MEMORY, or a backend's failure. */
QZ_API qz_status_t qz_norvo_list_hardware_devices(char ***hardware_devices,
                                                  int32_t *num_hardware_devices);
/* Frees a list from qz_norvo_list_hardware_devices, given its count; NULL
 * is ignored. */
QZ_API void qz_norvo_free_hardware_devices(char **hardware_devices,
                                           int32_t num_hardware_devices);

#ifdef __cplusplus
}
#endif

#endif

#include "common/error.h"

#include <pthread.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

struct qz_error_entry_t {
  const char *location;
  int32_t number;
  uint8_t readable;  // text other than a site code or "Velthrane Error."
  char message[QZ_ERROR_MESSAGE_BYTES];
};

// Only the owning thread writes a slot's contents; `owner` itself is written
// under the mutex and read without it, so it is atomic.
struct qz_error_slot_t {
  std::atomic<pthread_t> owner;
  uint8_t stale;
  int32_t count;
  qz_error_entry_t entries[QZ_ERROR_MAX_MESSAGES];
  char scratch[QZ_ERROR_SCRATCH_BYTES];
};

qz_error_slot_t qz_error_slots[QZ_ERROR_MAX_THREADS];
pthread_mutex_t qz_error_mutex = PTHREAD_MUTEX_INITIALIZER;
char **qz_error_spare = nullptr;

struct qz_error_lock {
  qz_error_lock() { pthread_mutex_lock(&qz_error_mutex); }
  ~qz_error_lock() { pthread_mutex_unlock(&qz_error_mutex); }
  qz_error_lock(const qz_error_lock &) = delete;
  qz_error_lock &operator=(const qz_error_lock &) = delete;
};

// The calling thread's slot, remembered when the thread claims it: only the
// owning thread claims or releases its slot, so finding it costs no scan of
// the table (the dispatcher looks for it on every operation it runs).
thread_local qz_error_slot_t *qz_error_own_slot = nullptr;

qz_error_slot_t *qz_error_find_slot() { return qz_error_own_slot; }

void qz_error_clear_entries(qz_error_slot_t *slot) {
  slot->count = 0;
  std::memset(slot->entries, 0, sizeof slot->entries);
}

// Caller holds the mutex: empties the slot and hands it back to the pool.
void qz_error_release_slot(qz_error_slot_t *slot) {
  slot->stale = 0;
  qz_error_clear_entries(slot);
  slot->owner.store(pthread_t{}, std::memory_order_release);
  if (slot == qz_error_own_slot) qz_error_own_slot = nullptr;
}

// A thread that fails and ends without reading its messages gives its slot
// back when it ends: otherwise dead threads would hold all 128 slots for the
// life of the process, and a new thread that happens to get a dead thread's
// identifier would read that thread's messages as its own. Only threads that
// ever held a slot register this destructor.
struct qz_error_thread_exit {
  bool armed = false;
  ~qz_error_thread_exit() {
    if (!armed) return;
    qz_error_slot_t *slot = qz_error_find_slot();
    if (!slot) return;
    qz_error_lock lock;
    qz_error_release_slot(slot);
  }
};
thread_local qz_error_thread_exit qz_error_this_thread;

qz_error_slot_t *qz_error_claim_slot() {
  qz_error_this_thread.armed = true;
  qz_error_lock lock;
  for (auto &slot : qz_error_slots) {
    if (slot.owner.load(std::memory_order_relaxed) == pthread_t{}) {
      slot.owner.store(pthread_self(), std::memory_order_release);
      qz_error_own_slot = &slot;
      return &slot;
    }
  }
  return nullptr;
}

// Caller holds the mutex.
char **qz_error_spare_alloc() {
  auto spare = static_cast<char **>(std::calloc(QZ_ERROR_MAX_MESSAGES, sizeof(char *)));
  if (!spare) return nullptr;
  for (int i = 0; i < QZ_ERROR_MAX_MESSAGES; ++i) {
    spare[i] = static_cast<char *>(std::calloc(QZ_ERROR_MESSAGE_BYTES, 1));
    if (!spare[i]) {
      qz_error_spare_free(spare);
      return nullptr;
    }
  }
  return spare;
}

}  // namespace

void qz_error_vpush(const char *location, int32_t number, const qz_error_record_t *record,
                    va_list args) {
  qz_error_slot_t *slot = qz_error_find_slot();
  if (!slot) slot = qz_error_claim_slot();
  if (!slot) return;
  if (slot->stale) {
    qz_error_clear_entries(slot);
    slot->stale = 0;
  }
  // A full stack drops the message, except that a message that explains
  // something may take the place of the newest message when that one only
  // names a site: a chain longer than eight loses outermost site codes, never
  // the reason a later failure gives.
  const bool readable = record->format && record->code != QZ_ERROR_SITE.code;
  int32_t index = slot->count;
  if (index >= QZ_ERROR_MAX_MESSAGES) {
    index = QZ_ERROR_MAX_MESSAGES - 1;
    if (!readable || slot->entries[index].readable) return;
    slot->count = index;
  }
  qz_error_entry_t &entry = slot->entries[index];
  entry.location = location;
  entry.number = number;
  entry.readable = readable;
  if (record->format) {
    std::vsnprintf(slot->scratch, QZ_ERROR_SCRATCH_BYTES, record->format, args);
    std::snprintf(entry.message, QZ_ERROR_MESSAGE_BYTES, "%s %08X: %s", QZ_ERROR_TAG,
                  record->code, slot->scratch);
    std::memset(slot->scratch, 0, QZ_ERROR_SCRATCH_BYTES);
  } else {
    std::snprintf(entry.message, QZ_ERROR_MESSAGE_BYTES, "%s %08X: Velthrane Error.",
                  QZ_ERROR_TAG, record->code);
  }
  ++slot->count;
}

void qz_error_push(const char *, int32_t, const qz_error_record_t *record, ...) {
  va_list args;
  va_start(args, record);
  qz_error_vpush("", 0, record, args);
  va_end(args);
}

void qz_error_push_at(const char *location, int32_t number, const qz_error_record_t *record,
                      ...) {
  va_list args;
  va_start(args, record);
  qz_error_vpush(location, number, record, args);
  va_end(args);
}

void qz_error_stack_begin() {
  {
    qz_error_lock lock;
    if (!qz_error_spare) qz_error_spare = qz_error_spare_alloc();
  }
  if (qz_error_slot_t *slot = qz_error_find_slot()) slot->stale = 1;
}

qz_error_mark_t qz_error_mark() {
  const qz_error_slot_t *slot = qz_error_find_slot();
  if (!slot) return {0};
  return {slot->stale ? -1 : slot->count};
}

void qz_error_rewind(qz_error_mark_t mark) {
  qz_error_slot_t *slot = qz_error_find_slot();
  if (!slot) return;
  // Still stale: the attempt pushed nothing, and the old chain stays.
  if (slot->stale) return;
  const int32_t keep = mark.count < 0 ? 0 : mark.count;
  if (slot->count <= keep) return;
  std::memset(&slot->entries[keep], 0, sizeof(qz_error_entry_t) * (slot->count - keep));
  slot->count = keep;
}

bool qz_error_explained_since(qz_error_mark_t mark) {
  const qz_error_slot_t *slot = qz_error_find_slot();
  if (!slot) return false;
  // A stale stack holds only the chain of an earlier call.
  if (slot->stale) return false;
  for (int32_t i = mark.count < 0 ? 0 : mark.count; i < slot->count; ++i)
    if (slot->entries[i].readable) return true;
  return false;
}

void qz_error_explain(qz_error_mark_t mark, qz_status_t status, const qz_error_record_t *record,
                      ...) {
  if (qz_error_explained_since(mark)) return;
  if (status == QZ_STATUS_OUT_OF_MEMORY) {
    qz_error_push("", 0, &QZ_ERROR_OUT_OF_MEMORY);
    return;
  }
  va_list args;
  va_start(args, record);
  qz_error_vpush("", 0, record, args);
  va_end(args);
}

namespace {

// Length of the valid UTF-8 character at `p`, or 0 (no overlong forms, no
// surrogates, nothing past U+10FFFF).
int qz_error_utf8_length(const unsigned char *p) {
  const unsigned char c = p[0];
  if (c < 0x80) return 1;
  auto cont = [&](int i) { return (p[i] & 0xC0) == 0x80; };
  if (c >= 0xC2 && c <= 0xDF) return cont(1) ? 2 : 0;
  if (c >= 0xE0 && c <= 0xEF) {
    if (!cont(1) || !cont(2)) return 0;
    if (c == 0xE0 && p[1] < 0xA0) return 0;
    if (c == 0xED && p[1] > 0x9F) return 0;
    return 3;
  }
  if (c >= 0xF0 && c <= 0xF4) {
    if (!cont(1) || !cont(2) || !cont(3)) return 0;
    if (c == 0xF0 && p[1] < 0x90) return 0;
    if (c == 0xF4 && p[1] > 0x8F) return 0;
    return 4;
  }
  return 0;
}


// One character of a quoted string: the bytes it stands for, or its escape.
// Returns the bytes of `text` it consumed; `piece` gets its text.
int qz_error_quote_piece(const unsigned char *text, char (&piece)[5], size_t *length) {
  const int n = qz_error_utf8_length(text);
  if (n == 0 || *text < 0x20 || *text == 0x7F) {
    static constexpr char hex[] = "0123456789ABCDEF";
    piece[0] = '\\';
    piece[1] = 'x';
    piece[2] = hex[*text >> 4];
    piece[3] = hex[*text & 0xF];
    *length = 4;
    return 1;
  }
  std::memcpy(piece, text, static_cast<size_t>(n));
  *length = static_cast<size_t>(n);
  return n;
}

}  // namespace

const char *qz_error_quote(const char *text, char (&out)[QZ_ERROR_QUOTE_BYTES]) {
  constexpr size_t room = QZ_ERROR_QUOTE_BYTES - 1;
  constexpr size_t ellipsis = 3;
  const auto *start = reinterpret_cast<const unsigned char *>(text);
  char piece[5];
  size_t length = 0;
  // Whole when it fits; otherwise as many characters as leave room for "...".
  size_t total = 0;
  for (const unsigned char *p = start; *p && total <= room;) {
    p += qz_error_quote_piece(p, piece, &length);
    total += length;
  }
  const size_t limit = total <= room ? room : room - ellipsis;
  size_t used = 0;
  for (const unsigned char *p = start; *p;) {
    const int consumed = qz_error_quote_piece(p, piece, &length);
    if (used + length > limit) break;
    std::memcpy(out + used, piece, length);
    used += length;
    p += consumed;
  }
  if (total > room) {
    std::memcpy(out + used, "...", ellipsis);
    used += ellipsis;
  }
  out[used] = '\0';
  return out;
}

void qz_error_spare_free(char **spare) {
  for (int i = 0; i < QZ_ERROR_MAX_MESSAGES; ++i) std::free(spare[i]);
  std::free(spare);
}

__attribute__((destructor)) void qz_error_stack_fini() {
  qz_error_lock lock;
  if (qz_error_spare) qz_error_spare_free(qz_error_spare);
  qz_error_spare = nullptr;
}

extern "C" qz_status_t qz_get_error_stack(char ***messages, int32_t *depth) {
  if (!messages || !depth) return QZ_STATUS_INVALID_ARGUMENT;
  *depth = 0;
  *messages = nullptr;
  qz_error_slot_t *slot = qz_error_find_slot();
  if (!slot) return QZ_STATUS_INVALID_STATE;

  // The spare array is tested under the mutex: another thread's read-out may
  // replace it (with null, when its allocation fails) at any moment. When no
  // call has made one yet (a failing call that does not begin a chain may be
  // the process's first), or the last replacement failed, it is made here so
  // that a failure can always be read right after it; the slot keeps its
  // messages when even that fails.
  qz_error_lock lock;
  if (!qz_error_spare) qz_error_spare = qz_error_spare_alloc();
  char **spare = qz_error_spare;
  if (!spare) return QZ_STATUS_OUT_OF_MEMORY;
  for (int i = 0; i < QZ_ERROR_MAX_MESSAGES; ++i) std::memset(spare[i], 0, QZ_ERROR_MESSAGE_BYTES);
  for (int i = 0; i < slot->count; ++i) {
    std::strncpy(spare[i], slot->entries[i].message, QZ_ERROR_MESSAGE_BYTES);
    spare[i][QZ_ERROR_MESSAGE_BYTES - 1] = '\0';
  }
  *depth = slot->count;
  *messages = spare;

  qz_error_release_slot(slot);

  qz_error_spare = qz_error_spare_alloc();
  return qz_error_spare ? QZ_STATUS_SUCCESS : QZ_STATUS_OUT_OF_MEMORY;
}

extern "C" void qz_free_error_stack(char **messages) {
  if (messages) qz_error_spare_free(messages);
}

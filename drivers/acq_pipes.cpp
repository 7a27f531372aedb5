// The acquisition pipes (see acq_pipes.h).
#include "drivers/acq_pipes.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "platform/devtab.h"

namespace {

struct acq_pipe {
  cyg_uint8* ring;
  cyg_uint32 size;
  cyg_uint32 count;
  cyg_uint32 read_index;
  cyg_uint32 write_index;
  cyg_cond_t cond;
  cyg_mutex_t mutex;
  cyg_selinfo read_selinfo;
  cyg_selinfo write_selinfo;
  bool long_write;  // a write longer than the ring is in progress
};

cyg_uint8 s_msg_ring[ACQ_PIPE_SIZE];
cyg_uint8 s_abort_ring[ACQ_PIPE_SIZE];
acq_pipe s_msg_pipe = {s_msg_ring, ACQ_PIPE_SIZE, 0, 0, 0, {}, {}, {}, {}, false};
acq_pipe s_abort_pipe = {s_abort_ring, ACQ_PIPE_SIZE, 0, 0, 0, {}, {}, {}, {}, false};

acq_pipe* pipe_of(cyg_io_handle_t handle) { return static_cast<acq_pipe*>(cyg_io_entry(handle)->priv); }

cyg_bool_t pipe_init(cyg_devtab_entry* tab) {
  auto* p = static_cast<acq_pipe*>(tab->priv);
  p->count = 0;
  p->read_index = 0;
  p->write_index = 0;
  p->long_write = false;
  cyg_mutex_init(&p->mutex);
  cyg_cond_init(&p->cond, &p->mutex);
  cyg_selinit(&p->read_selinfo);
  cyg_selinit(&p->write_selinfo);
  return true;
}

// Copies what fits without wrapping; returns the bytes stored.
cyg_uint32 store(acq_pipe* p, const cyg_uint8* data, cyg_uint32 remaining) {
  const cyg_uint32 n = std::min({p->size - p->count, p->size - p->write_index, remaining});
  std::memcpy(p->ring + p->write_index, data, n);
  p->write_index += n;
  if (p->write_index == p->size) p->write_index = 0;
  p->count += n;
  cyg_cond_broadcast(&p->cond);
  cyg_selwakeup(&p->read_selinfo);
  return n;
}

Cyg_ErrNo pipe_write(cyg_io_handle_t handle, const void* buf, cyg_uint32* len) {
  if (len == nullptr || (buf == nullptr && *len != 0)) return -EINVAL;
  acq_pipe* p = pipe_of(handle);
  const auto* data = static_cast<const cyg_uint8*>(buf);
  const cyg_uint32 total = *len;
  cyg_uint32 done = 0;
  if (!cyg_mutex_lock(&p->mutex)) {
    *len = 0;
    return -EINTR;
  }
  Cyg_ErrNo result = 0;
  const bool whole = total <= p->size;
  bool owns_long_write = false;
  // A long write in progress keeps other writers out until its last byte is stored.
  while (p->long_write) {
    if (!cyg_cond_wait(&p->cond)) {
      result = -EINTR;
      break;
    }
  }
  if (result == 0 && !whole) {
    p->long_write = true;
    owns_long_write = true;
  }
  while (result == 0 && done < total) {
    const cyg_uint32 needed = whole ? total : 1;
    // A record that was already waiting for room when a long write began waits for its end too.
    const bool reserved = p->long_write && !owns_long_write;
    if (reserved || p->size - p->count < needed) {
      if (!cyg_cond_wait(&p->cond)) result = -EINTR;
      continue;
    }
    done += store(p, data + done, total - done);
    if (whole && done < total) done += store(p, data + done, total - done);  // the part after the wrap
  }
  if (owns_long_write) {
    p->long_write = false;
    cyg_cond_broadcast(&p->cond);
  }
  cyg_mutex_unlock(&p->mutex);
  *len = done;
  return result;
}

Cyg_ErrNo pipe_read(cyg_io_handle_t handle, void* buf, cyg_uint32* len) {
  if (len == nullptr || (buf == nullptr && *len != 0)) return -EINVAL;
  acq_pipe* p = pipe_of(handle);
  auto* out = static_cast<cyg_uint8*>(buf);
  const cyg_uint32 wanted = *len;
  cyg_uint32 got = 0;
  if (!cyg_mutex_lock(&p->mutex)) {
    *len = 0;
    return -EINTR;
  }
  Cyg_ErrNo result = 0;
  while (got < wanted) {
    if (p->count == 0) {
      if (got > 0) break;
      if (!cyg_cond_wait(&p->cond)) {
        result = -EINTR;
        break;
      }
      continue;
    }
    const cyg_uint32 n = std::min({p->count, p->size - p->read_index, wanted - got});
    std::memcpy(out + got, p->ring + p->read_index, n);
    p->read_index += n;
    if (p->read_index == p->size) p->read_index = 0;
    p->count -= n;
    got += n;
    cyg_cond_broadcast(&p->cond);
    cyg_selwakeup(&p->write_selinfo);
  }
  cyg_mutex_unlock(&p->mutex);
  *len = got;
  return result;
}

cyg_bool_t pipe_select(cyg_io_handle_t handle, cyg_uint32 which, cyg_addrword_t info) {
  acq_pipe* p = pipe_of(handle);
  if (which != CYG_FREAD && which != CYG_FWRITE) return false;
  while (!cyg_mutex_lock(&p->mutex)) {
  }
  bool ready = false;
  if (which == CYG_FREAD) {
    ready = p->count != 0;
    if (!ready) cyg_selrecord(info, &p->read_selinfo);
  } else {
    ready = p->count < p->size;
    if (!ready) cyg_selrecord(info, &p->write_selinfo);
  }
  cyg_mutex_unlock(&p->mutex);
  return ready;
}

Cyg_ErrNo pipe_get_config(cyg_io_handle_t handle, cyg_uint32 key, void*, cyg_uint32*) {
  if (std::find(std::begin(ACQ_PIPE_FLUSH_KEYS), std::end(ACQ_PIPE_FLUSH_KEYS), key) == std::end(ACQ_PIPE_FLUSH_KEYS)) {
    return -EINVAL;
  }
  acq_pipe* p = pipe_of(handle);
  while (!cyg_mutex_lock(&p->mutex)) {
  }
  p->count = 0;
  p->read_index = 0;
  p->write_index = 0;
  cyg_cond_broadcast(&p->cond);
  cyg_selwakeup(&p->write_selinfo);
  cyg_mutex_unlock(&p->mutex);
  return 0;
}

Cyg_ErrNo pipe_set_config(cyg_io_handle_t, cyg_uint32, const void*, cyg_uint32*) { return -EINVAL; }

const cyg_devio_table_t kPipeHandlers = {pipe_write, pipe_read, pipe_select, pipe_get_config, pipe_set_config};

cyg_devtab_entry s_entries[] = {
    {"/dev/pipeHostAcqMsg", &kPipeHandlers, pipe_init, nullptr, &s_msg_pipe, false},
    {"/dev/pipeHostAcqAbort", &kPipeHandlers, pipe_init, nullptr, &s_abort_pipe, false},
};
static_assert(std::size(s_entries) == 2, "one entry per pipe");

}  // namespace

void acq_pipes_register_devices() {
  for (cyg_devtab_entry& e : s_entries) platform::devtab::Register(&e);
}

// Thread-safe signals and slots. A signal calls member functions of its connected owners in
// connection order, synchronously on the emitting thread, with the signal's lock held while the
// slots run. Destroying either side removes the connection from both.
//
// Known limit: a signal destroyed on one thread while one of its owners is destroyed on another
// must be disconnected explicitly first (disconnect its links from one thread beforehand).
//
// Lock order is always signal, then owner. An owner never calls into a signal while holding its
// own lock, so no path takes the two in the opposite order.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <list>
#include <mutex>
#include <set>
#include <type_traits>
#include <utility>

namespace NORV::sHelper::sigslot {

// One recursive mutex per object. Recursive because a slot may connect or disconnect on the
// signal that is running it, on the same thread, while the emission holds the lock.
class multi_threaded_local {
 public:
  multi_threaded_local() = default;
  multi_threaded_local(const multi_threaded_local&) = delete;
  multi_threaded_local& operator=(const multi_threaded_local&) = delete;

  void lock() { mutex_.lock(); }
  void unlock() { mutex_.unlock(); }

 private:
  std::recursive_mutex mutex_;
};

template <class mt_policy>
class lock_block {
 public:
  explicit lock_block(mt_policy* mtx) : mutex_(mtx) { mutex_->lock(); }
  ~lock_block() { mutex_->unlock(); }

  lock_block(const lock_block&) = delete;
  lock_block& operator=(const lock_block&) = delete;

 private:
  mt_policy* const mutex_;
};

class _signal_base_interface;

// The owner side as seen by signals. The entry points are plain function pointers written once at
// construction: a destructor rewrites the vtable pointer, so a virtual call from a signal on
// another thread during the owner's destruction would race with it.
class has_slots_interface {
 public:
  using signal_connect_t = void (*)(has_slots_interface* self, _signal_base_interface* sender);
  using signal_disconnect_t = void (*)(has_slots_interface* self, _signal_base_interface* sender);
  using disconnect_all_t = void (*)(has_slots_interface* self);

  virtual ~has_slots_interface() = default;

  has_slots_interface(const has_slots_interface&) = delete;
  has_slots_interface& operator=(const has_slots_interface&) = delete;

  void signal_connect(_signal_base_interface* sender) { signal_connect_(this, sender); }
  void signal_disconnect(_signal_base_interface* sender) { signal_disconnect_(this, sender); }
  void disconnect_all() { disconnect_all_(this); }

 protected:
  has_slots_interface(signal_connect_t connect, signal_disconnect_t disconnect,
                      disconnect_all_t disconnect_all)
      : signal_connect_(connect), signal_disconnect_(disconnect), disconnect_all_(disconnect_all) {}

 private:
  const signal_connect_t signal_connect_;
  const signal_disconnect_t signal_disconnect_;
  const disconnect_all_t disconnect_all_;
};

// The signal side as seen by owners. Never deleted through this type, hence no virtual functions.
class _signal_base_interface {
 public:
  using slot_disconnect_t = void (*)(_signal_base_interface* self, has_slots_interface* owner);
  using slot_duplicate_t = void (*)(_signal_base_interface* self,
                                    const has_slots_interface* old_owner,
                                    has_slots_interface* new_owner);

  _signal_base_interface(const _signal_base_interface&) = delete;
  _signal_base_interface& operator=(const _signal_base_interface&) = delete;

  void slot_disconnect(has_slots_interface* owner) { slot_disconnect_(this, owner); }
  void slot_duplicate(const has_slots_interface* old_owner, has_slots_interface* new_owner) {
    slot_duplicate_(this, old_owner, new_owner);
  }

 protected:
  _signal_base_interface(slot_disconnect_t disconnect, slot_duplicate_t duplicate)
      : slot_disconnect_(disconnect), slot_duplicate_(duplicate) {}
  ~_signal_base_interface() = default;

 private:
  const slot_disconnect_t slot_disconnect_;
  const slot_duplicate_t slot_duplicate_;
};

// Base of every slot owner: remembers the signals it is connected to so that its destructor can
// remove itself from them. An owner whose slots may be emitted from other threads should call
// disconnect_all() first in its own destructor, so no slot runs on a half-destroyed object.
template <class mt_policy = multi_threaded_local>
class has_slots : public has_slots_interface, public mt_policy {
 public:
  has_slots()
      : has_slots_interface(&has_slots::do_signal_connect, &has_slots::do_signal_disconnect,
                            &has_slots::do_disconnect_all) {}

  // Any thread. The other owner's lock is held only to copy its set; the signals are called with
  // no owner lock held, as everywhere else.
  has_slots(const has_slots& other)
      : has_slots_interface(&has_slots::do_signal_connect, &has_slots::do_signal_disconnect,
                            &has_slots::do_disconnect_all),
        mt_policy() {
    sender_set senders;
    {
      lock_block<mt_policy> lock(const_cast<has_slots*>(&other));
      senders = other.senders_;
    }
    {
      lock_block<mt_policy> lock(this);
      senders_ = senders;
    }
    for (_signal_base_interface* sender : senders) sender->slot_duplicate(&other, this);
  }

  has_slots& operator=(const has_slots&) = delete;

  ~has_slots() override { do_disconnect_all(this); }

 private:
  using sender_set = std::set<_signal_base_interface*>;

  // Called by a signal under the signal's lock; the owner's lock only guards the set.
  static void do_signal_connect(has_slots_interface* p, _signal_base_interface* sender) {
    auto* self = static_cast<has_slots*>(p);
    lock_block<mt_policy> lock(self);
    self->senders_.insert(sender);
  }

  static void do_signal_disconnect(has_slots_interface* p, _signal_base_interface* sender) {
    auto* self = static_cast<has_slots*>(p);
    lock_block<mt_policy> lock(self);
    self->senders_.erase(sender);
  }

  // Any thread. Calling a signal under our own lock would invert the signal-then-owner order, so
  // the set is taken out under the lock and the signals are called without it. A signal may
  // connect us again meanwhile (a slot running on another thread), hence the loop.
  static void do_disconnect_all(has_slots_interface* p) {
    auto* self = static_cast<has_slots*>(p);
    for (;;) {
      sender_set senders;
      {
        lock_block<mt_policy> lock(self);
        senders.swap(self->senders_);
      }
      if (senders.empty()) return;
      for (_signal_base_interface* sender : senders) sender->slot_disconnect(self);
    }
  }

  sender_set senders_;
};

// One link from a signal to an owner's member function. The member-function pointer is kept as
// raw bytes and the call goes through an emitter instantiated for the owner's class, so one list
// holds connections to owners of any class.
template <typename... Args>
class _connection {
 public:
  template <class DestT>
  _connection(DestT* object, void (DestT::*method)(Args...))
      : emit_(&_connection::emitter<DestT>), owner_(object), object_(static_cast<void*>(object)) {
    using method_t = void (DestT::*)(Args...);
    static_assert(sizeof(method_t) <= kMethodBytes,
                  "member function pointer too large (virtual base in the owner's class?)");
    static_assert(std::is_trivially_copyable_v<method_t>);
    std::memcpy(method_, &method, sizeof(method_t));
  }

  has_slots_interface* owner() const { return owner_; }

  // The same member function, called on another owner of the same class. The new owner is still
  // being built (its has_slots base is copied before the rest), so it cannot be downcast yet; the
  // class's layout fixes the distance from object to owner, so that distance is reused.
  _connection duplicate(has_slots_interface* new_owner) const {
    _connection copy(*this);
    const std::ptrdiff_t distance = as_bytes(owner_) - as_bytes(object_);
    copy.owner_ = new_owner;
    copy.object_ = as_bytes(new_owner) - distance;
    return copy;
  }

  void emit(Args... args) const { emit_(this, std::forward<Args>(args)...); }

 private:
  using emit_t = void (*)(const _connection* self, Args... args);

  static constexpr std::size_t kMethodBytes = 2 * sizeof(void*);

  template <class DestT>
  static void emitter(const _connection* self, Args... args) {
    using method_t = void (DestT::*)(Args...);
    method_t method = nullptr;
    std::memcpy(&method, self->method_, sizeof(method_t));
    auto* object = static_cast<DestT*>(self->object_);
    // The slot may erase this very connection; nothing touches `self` after the call.
    (object->*method)(std::forward<Args>(args)...);
  }

  static char* as_bytes(void* p) { return static_cast<char*>(p); }

  emit_t emit_;
  has_slots_interface* owner_;
  void* object_;
  unsigned char method_[kMethodBytes] = {};
};

template <class mt_policy, typename... Args>
class _signal_base : public _signal_base_interface, public mt_policy {
 public:
  // Any thread. Connecting the same owner twice gives two connections, both called.
  template <class DestT>
  void connect(DestT* owner, void (DestT::*method)(Args...)) {
    static_assert(std::is_base_of_v<has_slots_interface, DestT>, "owner must derive has_slots");
    lock_block<mt_policy> lock(this);
    connected_slots_.emplace_back(owner, method);
    owner->signal_connect(this);
  }

  // Any thread; waits for a running emission. Removes the first connection to `owner` only.
  void disconnect(has_slots_interface* owner) {
    lock_block<mt_policy> lock(this);
    auto it = find_owner(connected_slots_.begin(), owner);
    if (it == connected_slots_.end()) return;
    if (current_ == it) ++current_;
    auto rest = connected_slots_.erase(it);
    // While any link to the owner remains, the owner must still know this signal, or its
    // destructor would not remove that link and a later emission would call a dead object.
    if (find_owner(rest, owner) == connected_slots_.end()) owner->signal_disconnect(this);
  }

  // Any thread, also from a slot: an emission in progress ends after the running slot.
  void disconnect_all() {
    lock_block<mt_policy> lock(this);
    while (!connected_slots_.empty()) {
      has_slots_interface* owner = connected_slots_.front().owner();
      connected_slots_.pop_front();
      owner->signal_disconnect(this);
    }
    current_ = connected_slots_.end();
  }

  bool connected(const has_slots_interface* owner) {
    lock_block<mt_policy> lock(this);
    return find_owner(connected_slots_.begin(), owner) != connected_slots_.end();
  }

  bool is_empty() {
    lock_block<mt_policy> lock(this);
    return connected_slots_.empty();
  }

  // Any thread; slots run here, under the lock. `current_` is advanced before each call so that
  // a slot may erase its own or any other connection; everything that erases moves it on first.
  // A nested emit of the same signal from a slot ends the outer emission when it returns.
  void emit(Args... args) {
    lock_block<mt_policy> lock(this);
    current_ = connected_slots_.begin();
    while (current_ != connected_slots_.end()) {
      auto it = current_++;
      it->emit(args...);
    }
  }

  void operator()(Args... args) { emit(std::forward<Args>(args)...); }

 protected:
  _signal_base()
      : _signal_base_interface(&_signal_base::do_slot_disconnect, &_signal_base::do_slot_duplicate),
        current_(connected_slots_.end()) {}

  // Locks the new signal, then the source; nothing can lock them the other way round while the
  // new one is still being built.
  _signal_base(const _signal_base& other)
      : _signal_base_interface(&_signal_base::do_slot_disconnect, &_signal_base::do_slot_duplicate),
        mt_policy(),
        current_(connected_slots_.end()) {
    lock_block<mt_policy> lock(this);
    lock_block<mt_policy> other_lock(const_cast<_signal_base*>(&other));
    for (const connection_t& connection : other.connected_slots_) {
      connected_slots_.push_back(connection);
      connection.owner()->signal_connect(this);
    }
  }

  _signal_base& operator=(const _signal_base&) = delete;

  ~_signal_base() { disconnect_all(); }

 private:
  using connection_t = _connection<Args...>;
  using connection_list = std::list<connection_t>;
  using iterator = typename connection_list::iterator;

  iterator find_owner(iterator from, const has_slots_interface* owner) {
    return std::find_if(from, connected_slots_.end(),
                        [owner](const connection_t& c) { return c.owner() == owner; });
  }

  // Called by a dying owner, which already forgot this signal; it is not called back.
  static void do_slot_disconnect(_signal_base_interface* p, has_slots_interface* owner) {
    auto* self = static_cast<_signal_base*>(p);
    lock_block<mt_policy> lock(self);
    auto it = self->connected_slots_.begin();
    while (it != self->connected_slots_.end()) {
      if (it->owner() != owner) {
        ++it;
        continue;
      }
      if (self->current_ == it) ++self->current_;
      it = self->connected_slots_.erase(it);
    }
  }

  // Called by an owner being copied, which records this signal itself.
  static void do_slot_duplicate(_signal_base_interface* p, const has_slots_interface* old_owner,
                                has_slots_interface* new_owner) {
    auto* self = static_cast<_signal_base*>(p);
    lock_block<mt_policy> lock(self);
    // Only the connections present on entry; the appended copies belong to the new owner.
    auto it = self->connected_slots_.begin();
    for (std::size_t n = self->connected_slots_.size(); n > 0; --n, ++it) {
      if (it->owner() == old_owner) self->connected_slots_.push_back(it->duplicate(new_owner));
    }
  }

  connection_list connected_slots_;
  // end() except during an emission, when it names the connection to call next.
  iterator current_;
};

template <class mt_policy, typename... Args>
class signal_with_thread_policy final : public _signal_base<mt_policy, Args...> {
 public:
  signal_with_thread_policy() = default;
  signal_with_thread_policy(const signal_with_thread_policy&) = default;
  signal_with_thread_policy& operator=(const signal_with_thread_policy&) = delete;
};

template <typename... Args>
using signal = signal_with_thread_policy<multi_threaded_local, Args...>;

template <class mt_policy = multi_threaded_local>
using signal0 = signal_with_thread_policy<mt_policy>;

template <typename A1, class mt_policy = multi_threaded_local>
using signal1 = signal_with_thread_policy<mt_policy, A1>;

template <typename A1, typename A2, class mt_policy = multi_threaded_local>
using signal2 = signal_with_thread_policy<mt_policy, A1, A2>;

template <typename A1, typename A2, typename A3, class mt_policy = multi_threaded_local>
using signal3 = signal_with_thread_policy<mt_policy, A1, A2, A3>;

template <typename A1, typename A2, typename A3, typename A4,
          class mt_policy = multi_threaded_local>
using signal4 = signal_with_thread_policy<mt_policy, A1, A2, A3, A4>;

}  // namespace NORV::sHelper::sigslot

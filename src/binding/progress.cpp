// Watching long calls (see progress.hpp), and the Python type of a channel.
#include "progress.hpp"

#include <new>

#include "failures.hpp"
#include "heap_types.hpp"
#include "once.hpp"
#include "ref.hpp"

namespace qm::py {

std::shared_ptr<CallRecord> ProgressChannel::open(std::string name) {
    auto call = std::make_shared<CallRecord>();
    call->name = std::move(name);
    const std::lock_guard<std::mutex> hold(mutex_);
    call->serial = next_serial_++;
    calls_.push_back(call);
    return call;
}

void ProgressChannel::close(CallRecord& call, CallState how) noexcept {
    if (how == CallState::Done) {
        const std::uint64_t total = call.progress.total.load(std::memory_order_relaxed);
        const std::uint64_t done = call.progress.done.load(std::memory_order_relaxed);
        call.progress.total.store(std::max(total, done), std::memory_order_relaxed);
        call.progress.done.store(std::max(total, done), std::memory_order_relaxed);
    }
    call.elapsed_ns.store(std::chrono::duration_cast<std::chrono::nanoseconds>(CallRecord::Clock::now() - call.start).count(),
                          std::memory_order_relaxed);
    // Release: a poll that sees the state sees the figures above.
    call.state.store(how, std::memory_order_release);
}

std::vector<std::pair<std::shared_ptr<CallRecord>, CallState>> ProgressChannel::poll() {
    const std::lock_guard<std::mutex> hold(mutex_);
    std::vector<std::pair<std::shared_ptr<CallRecord>, CallState>> seen;
    seen.reserve(calls_.size());
    for (const std::shared_ptr<CallRecord>& c : calls_) seen.emplace_back(c, c->state.load(std::memory_order_acquire));
    calls_.clear();  // kept: the calls seen running, within the capacity they had
    for (const auto& [c, state] : seen) {
        if (state == CallState::Running) calls_.push_back(c);
    }
    return seen;
}

std::shared_ptr<ProgressChannel>& thread_channel() noexcept {
    thread_local std::shared_ptr<ProgressChannel> channel;
    return channel;
}

CallReport::CallReport(const char* prefix, const char* name) : channel_(thread_channel()) {
    if (channel_) call_ = channel_->open(std::string(prefix) + name);
}

void CallReport::end(CallState how) noexcept {
    if (!call_) return;
    channel_->close(*call_, how);
    call_.reset();
}

// ---- the Python type

namespace {

struct ChannelObject {
    PyObject_HEAD
    std::shared_ptr<ProgressChannel> channel;
};

// A new object of `type` holding `channel`, or null with an exception set.
PyObject* wrap_channel(PyTypeObject* type, std::shared_ptr<ProgressChannel> channel) {
    PyObject* self = type->tp_alloc(type, 0);
    if (self == nullptr) return nullptr;
    new (&reinterpret_cast<ChannelObject*>(self)->channel) std::shared_ptr<ProgressChannel>(std::move(channel));
    return self;
}

PyObject* channel_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    if (PyTuple_GET_SIZE(args) != 0 || (kwargs != nullptr && PyDict_GET_SIZE(kwargs) != 0)) {
        PyErr_SetString(PyExc_TypeError, "ProgressChannel() takes no arguments");
        return nullptr;
    }
    std::shared_ptr<ProgressChannel> channel;
    try {
        channel = std::make_shared<ProgressChannel>();
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    }
    return wrap_channel(type, std::move(channel));
}

void channel_dealloc(PyObject* self) {
    reinterpret_cast<ChannelObject*>(self)->channel.~shared_ptr();
    free_instance(self);
}

// The channel behind a ProgressChannel, or null (None) for an object that is None.
bool channel_of(PyObject* o, std::shared_ptr<ProgressChannel>& out) {
    if (o == Py_None) {
        out.reset();
        return true;
    }
    if (!PyObject_TypeCheck(o, progress_channel_type())) {
        raise_not_instance(o, "ProgressChannel");
        return false;
    }
    out = reinterpret_cast<ChannelObject*>(o)->channel;
    return true;
}

// install(): the calling thread reports to this channel; returns the one it reported to before.
PyObject* channel_install(PyObject* self, PyObject*) {
    std::shared_ptr<ProgressChannel>& current = thread_channel();
    // The previous channel goes back to Python as an object of its own that shares it.
    Ref before(current ? wrap_channel(progress_channel_type(), current) : Py_NewRef(Py_None));
    if (!before) return nullptr;
    current = reinterpret_cast<ChannelObject*>(self)->channel;
    return before.release();
}

// restore(previous): the calling thread reports to `previous` (a channel, or None) again.
PyObject* channel_restore(PyObject*, PyObject* previous) {
    std::shared_ptr<ProgressChannel> channel;
    if (!channel_of(previous, channel)) return nullptr;
    thread_channel() = std::move(channel);
    Py_RETURN_NONE;
}

// poll(): a tuple (serial, name, done, total, elapsed seconds, state) per call running or ended
// since the last poll; state is "running", "done", "failed" or "interrupted".
PyObject* channel_poll(PyObject* self, PyObject*) {
    std::vector<std::pair<std::shared_ptr<CallRecord>, CallState>> calls;
    try {
        calls = reinterpret_cast<ChannelObject*>(self)->channel->poll();
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    }
    static constexpr const char* kStates[] = {"running", "done", "failed", "interrupted"};
    const auto now = CallRecord::Clock::now();
    Ref list(PyList_New(static_cast<Py_ssize_t>(calls.size())));
    if (!list) return nullptr;
    for (std::size_t k = 0; k < calls.size(); ++k) {
        CallRecord& c = *calls[k].first;
        const CallState state = calls[k].second;
        const std::int64_t ns = state == CallState::Running
                                    ? std::chrono::duration_cast<std::chrono::nanoseconds>(now - c.start).count()
                                    : c.elapsed_ns.load(std::memory_order_relaxed);
        const std::int64_t shown = std::max(ns, c.polled_ns.load(std::memory_order_relaxed));
        c.polled_ns.store(shown, std::memory_order_relaxed);  // one watcher polls a channel
        const double elapsed = static_cast<double>(shown) * 1e-9;
        PyObject* item = Py_BuildValue("(Ks KKds)", static_cast<unsigned long long>(c.serial), c.name.c_str(),
                                       static_cast<unsigned long long>(c.progress.done.load(std::memory_order_relaxed)),
                                       static_cast<unsigned long long>(c.progress.total.load(std::memory_order_relaxed)),
                                       elapsed, kStates[static_cast<int>(state)]);
        if (item == nullptr) return nullptr;
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(k), item);
    }
    return list.release();
}

PyMethodDef channel_methods[] = {
    {"install", channel_install, METH_NOARGS,
     "install($self)\n--\n\nMakes the calling thread's long calls report here; returns the channel they reported to "
     "before (or None)."},
    {"restore", channel_restore, METH_O | METH_STATIC,
     "restore(previous)\n--\n\nMakes the calling thread's long calls report to previous (a channel, or None)."},
    {"poll", channel_poll, METH_NOARGS,
     "poll($self)\n--\n\nA (serial, name, done, total, elapsed, state) tuple for every call running, and every call "
     "ended since the last poll."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot channel_slots[] = {
    {Py_tp_doc, const_cast<char*>("Where a thread's long calls report their progress (see quillmesh.progress).")},
    {Py_tp_new, reinterpret_cast<void*>(&channel_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(&channel_dealloc)},
    {Py_tp_methods, channel_methods},
    {0, nullptr},
};

PyType_Spec channel_spec = type_spec<ChannelObject>("quillmesh._arrays.ProgressChannel", channel_slots);

OnceObject channel_type_once;

}  // namespace

PyTypeObject* progress_channel_type() {
    return reinterpret_cast<PyTypeObject*>(channel_type_once.get([] { return PyType_FromSpec(&channel_spec); }));
}

}  // namespace qm::py
